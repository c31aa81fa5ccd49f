# Every target sets up what it needs: a venv built from a real CPython 3.13+ and the module installed into it.
SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python

# A real interpreter, never a pyenv shim that refuses to run: Debian's, then pyenv's, then PATH.
PYTHON ?= $(shell for p in /usr/bin/python3.13 /usr/bin/python3.14 \
              $$HOME/.pyenv/versions/3.13*/bin/python3.13 $$HOME/.pyenv/versions/3.14*/bin/python3.14 \
              $$(command -v python3.13 python3.14 python3 2>/dev/null); do \
            [ -x "$$p" ] && "$$p" -c 'import sys; sys.exit(sys.version_info < (3, 13))' >/dev/null 2>&1 \
              && { echo "$$p"; break; }; done)

SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml pelmora.pyi

.PHONY: demo test bench venv install clean test-sanitize fuzz

$(VENV)/.created:
	@if [ -z "$(PYTHON)" ]; then echo "no CPython 3.13 or later found; run make PYTHON=/path/to/python3.13" >&2; exit 1; fi
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet scikit-build-core cmake ninja pytest hypothesis numpy
	touch $@

$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps -Cbuild-dir=build/$(notdir $(VENV)) .
	touch $@

venv: $(VENV)/.created
install: $(VENV)/.installed

demo: install
	$(VPY) examples/typical_road.py tests/data/own-net-5000n-12500a.min

test: install
	$(VPY) -m pytest -q tests

bench: install
	$(VPY) -m pip install --quiet numpy
	$(VPY) bench/run_all.py $(if $(QUICK),--quick,)

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
