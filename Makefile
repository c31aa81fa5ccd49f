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

SOURCES := $(shell find src python -type f -not -name '*.pyc') CMakeLists.txt pyproject.toml pelmora.pyi

.PHONY: demo test bench venv install clean wheel test-wheel test-sanitize test-leaks fuzz fuzz-smoke fuzz-build lint \
	test-portable

$(VENV)/.created:
	@if [ -z "$(PYTHON)" ]; then echo "no CPython 3.13 or later found; run make PYTHON=/path/to/python3.13" >&2; exit 1; fi
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet scikit-build-core cmake ninja pytest hypothesis numpy highspy scipy ortools networkx tqdm
	touch $@

$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps -Cbuild-dir=build/$(notdir $(VENV)) .
	touch $@

venv: $(VENV)/.created
install: $(VENV)/.installed

# What the examples need beyond the module (tests/test_examples.py runs them): every venv gets it.
EXAMPLE_DEPS := matplotlib "dask[distributed]" pandas
$(VENV)/.examples: $(VENV)/.created
	$(VPY) -m pip install --quiet $(EXAMPLE_DEPS)
	touch $@
venv install: $(VENV)/.examples

demo: install
	$(VPY) examples/typical_road.py tests/data/own-net-5000n-12500a.min

test: install
	@command -v glpsol >/dev/null || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq glpk-utils >/dev/null; }
	$(VPY) -m pytest -q tests

# test-portable: the tests that pin bit-exact results (the random streams against the reference
# vectors, the splits, the generator's results and the heterogeneity score) again, once with glibc's
# maths taking its plain code paths (no AVX2, no FMA) and once with the scalar ChaCha code, as a
# machine without those instructions would run them.
PORTABLE_TESTS := tests/test_random_streams.py tests/test_splits.py tests/test_generate.py tests/test_heterogeneity.py
test-portable: install
	GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA $(VPY) -m pytest -q -p no:cacheprovider $(PORTABLE_TESTS)
	PELMORA_CHACHA=scalar $(VPY) -m pytest -q -p no:cacheprovider $(PORTABLE_TESTS)

# lint: the C++ format check, ruff, and mypy --strict on the examples and benchmarks. What it needs
# is installed on first use (clang-format from Debian, the others into the venv).
CLANG_FORMAT ?= clang-format
FORMAT_SOURCES = $(shell find src tests/native fuzz bench -path bench/out -prune -o \( -name '*.cpp' -o -name '*.hpp' \) -print)
$(VENV)/.lint: $(VENV)/.created
	$(VPY) -m pip install --quiet ruff mypy pandas-stubs types-tqdm
	touch $@
lint: install $(VENV)/.lint
	@command -v $(CLANG_FORMAT) >/dev/null || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-format >/dev/null; }
	$(CLANG_FORMAT) --dry-run -Werror $(FORMAT_SOURCES)
	$(VENV)/bin/ruff check python tests bench examples
	$(VENV)/bin/mypy --strict examples
	$(VENV)/bin/mypy --strict bench
	$(VENV)/bin/mypy --strict python/pelmora_tools

# NETGEN_C_PROGRAM=EXE (the classic C NETGEN's source) lets bench_netgen.py compile it for comparison.
bench: install
	$(VPY) -m pip install --quiet numpy pynetgen
	$(VPY) bench/run_all.py $(if $(QUICK),--quick,)

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis

# --- Distributions ------------------------------------------------------------------------------
# wheel: sdist and wheel into dist/ (the wheel is built from the sdist). test-wheel: that wheel in a
# fresh venv with nothing from the source tree; tests/wheel_smoke.py checks the files the wheel and
# sdist hold, runs the typical road, and checks the installed stub with mypy --strict and stubtest.
WHEEL_VENV := build/wheel-venv

wheel: $(VENV)/.created
	rm -rf dist
	$(VPY) -m pip install --quiet build
	$(VPY) -m build --outdir dist .

test-wheel: wheel
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet "$$(ls dist/pelmora-*.whl)[solve,sweep,feasible]" pytest mypy pandas-stubs types-tqdm $(EXAMPLE_DEPS)
	cd $(WHEEL_VENV) && PELMORA_DIST=$(CURDIR)/dist bin/python -m pytest -q -p no:cacheprovider --noconftest \
	  $(CURDIR)/tests/wheel_smoke.py

# --- Robustness: sanitizers and fuzzing (fuzz/README.md) -------------------------------------
# test-sanitize: the module built with ASan + UBSan into its own venv, the whole suite run under it.
# ASan must be loaded before the interpreter; pymalloc is switched off so that every Python object
# goes through the checked allocator. LeakSanitizer reports what the module allocates itself: with
# allocation stacks cut to the allocating function (malloc_context_size=2), the suppression file
# hides only what libpython allocated (the interpreter's own objects, left at exit by design).
# For fuller "allocated/freed by" stacks in an ASan report, rerun with a larger malloc_context_size.
# allocator_may_return_null=1: an allocation larger than any machine holds fails as in a normal build
# (std::bad_alloc, MemoryError) instead of stopping the process.
ASAN_VENV := .venv-asan
# libstdc++ is preloaded too: ASan intercepts __cxa_throw only if the real one is there at start-up
# (the interpreter itself is plain C), else the first C++ exception stops the process.
# intercept_tls_get_addr=0: GCC 12's LeakSanitizer records the dynamic TLS blocks of dlopen'ed
# libraries (NumPy's, not this module's: it has no thread-local data) through __tls_get_addr and
# scans them at exit; with this glibc it sometimes scans a bogus range and dies in the scan
# ("Tracer caught signal 11", the fault in __lsan::ScanRangeForPointers at a near-null address),
# failing runs that found nothing.
ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so.6)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:allocator_may_return_null=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:intercept_tls_get_addr=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan-python.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 CXX=$(CURDIR)/fuzz/plain-cxx

$(ASAN_VENV)/.sanitized: $(SOURCES)
	$(MAKE) --no-print-directory venv VENV=$(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet pytest-xdist
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps \
	  -Cbuild-dir=build/$(notdir $(ASAN_VENV)) -Ccmake.build-type=RelWithDebInfo \
	  -Ccmake.define.PELMORA_SANITIZE=ON .
	touch $@

# Under the sanitizers every allocation of the interpreter goes through ASan's allocator, which
# makes the suite several times slower: it runs on every core (pytest-xdist), with Hypothesis's
# smaller "sanitize" profile (the fuzz targets search the native code's inputs far wider), and is
# bounded (40 min) so that a hang fails the run instead of eating CI's time. The slowest tests are
# listed, to see where that time goes.
test-sanitize: $(ASAN_VENV)/.sanitized
	timeout 2400 env $(ASAN_ENV) PELMORA_HYPOTHESIS=sanitize $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider \
	  --capture=sys -n auto --durations=15 tests $(PYTEST_ARGS)

# test-leaks: the leak test with 100,000 calls per case (success and failure paths), figures printed.
test-leaks: install
	PELMORA_LEAK_CALLS=100000 $(VPY) -m pytest -q -s -p no:cacheprovider tests/test_leaks.py

# fuzz: every libFuzzer target for FUZZ_SECONDS each (regressions replayed first, corpus kept in
# build/fuzz/corpus); fuzz-smoke: the same, 30 s each, as CI runs it.
FUZZ_SECONDS ?= 300
FUZZ_BUILD := build/fuzz

fuzz-build: venv
	@command -v clang++ >/dev/null || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMORA_FUZZ=ON \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j2

# atheris drives the Python-level target (fuzz/fuzz_companion.py); it has CPython 3.13 wheels.
fuzz: fuzz-build install
	$(VPY) -m pip install --quiet atheris
	$(VPY) fuzz/run.py --build $(FUZZ_BUILD) --seconds $(FUZZ_SECONDS)

fuzz-smoke:
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=30
