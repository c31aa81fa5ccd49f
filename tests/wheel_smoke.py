"""Smoke test of the built distributions, run by `make test-wheel` inside a fresh venv.

That venv holds the wheel from dist/ and the tools named in the Makefile, nothing from the source
tree. PELMORA_DIST names the directory with the wheel and the sdist. The file name does not start
with test_, so `make test` (in the development venv) does not collect it.
"""

import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

import pelmora

ROOT = Path(__file__).resolve().parent.parent
DIST = Path(os.environ["PELMORA_DIST"])
SITE = Path(sysconfig.get_paths()["platlib"])
EXAMPLES = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))


def one(pattern: str) -> Path:
    found = sorted(DIST.glob(pattern))
    assert len(found) == 1, f"expected one {pattern} in {DIST}, found {found}"
    return found[0]


@pytest.fixture(scope="module")
def wheel_names() -> list[str]:
    with zipfile.ZipFile(one("pelmora-*.whl")) as wheel:
        return wheel.namelist()


def test_module_is_the_installed_one():
    assert Path(pelmora.__file__).parent == SITE
    assert SITE.is_relative_to(sys.prefix) and sys.prefix != sys.base_prefix
    assert not (ROOT / "src").exists() or not Path(pelmora.__file__).is_relative_to(ROOT / "src")


def test_wheel_holds_the_module_and_its_stub(wheel_names):
    modules = [n for n in wheel_names if re.fullmatch(r"pelmora\.cpython-3\d+-[\w-]+\.so", n)]
    assert len(modules) == 1, wheel_names
    assert "pelmora.pyi" in wheel_names
    with zipfile.ZipFile(one("pelmora-*.whl")) as wheel:
        assert wheel.read("pelmora.pyi") == (ROOT / "pelmora.pyi").read_bytes()
        metadata = wheel.read("pelmora-0.1.0.dist-info/METADATA").decode()
    assert "Name: pelmora" in metadata and "Requires-Python: >=3.13" in metadata
    # Nothing of the source tree or the build tools.
    assert not [n for n in wheel_names if n.startswith(("src/", "tests/", "build/", ".venv"))]


def test_wheel_holds_the_companion_package_and_its_command(wheel_names):
    sources = sorted(p.relative_to(ROOT / "python").as_posix() for p in (ROOT / "python").rglob("*")
                     if p.is_file() and p.suffix in (".py", ".pyi", ".typed"))
    assert "pelmora_tools/cli/__init__.py" in sources and "pelmora_tools/py.typed" in sources
    names = [n for n in wheel_names if n.startswith("pelmora_tools/")]
    native = [n for n in names if re.fullmatch(r"pelmora_tools/_native\.cpython-3\d+-[\w-]+\.so", n)]
    assert len(native) == 1, names
    assert sorted(set(names) - set(native)) == sources
    with zipfile.ZipFile(one("pelmora-*.whl")) as wheel:
        for name in sources:
            assert wheel.read(name) == (ROOT / "python" / name).read_bytes(), name
        entry_points = wheel.read("pelmora-0.1.0.dist-info/entry_points.txt").decode()
        metadata = wheel.read("pelmora-0.1.0.dist-info/METADATA").decode()
    assert re.search(r"^pelmora = pelmora_tools\.cli:main$", entry_points, flags=re.M)
    assert re.search(r"^Requires-Dist: numpy>=2$", metadata, flags=re.M)
    assert {"solve", "sweep"} <= set(re.findall(r"^Provides-Extra: (\S+)$", metadata, flags=re.M))


def test_command_runs_from_the_installed_script(tmp_path):
    # make test-wheel installs the wheel with its solve and sweep extras, so the whole command works.
    script = Path(sys.executable).parent / "pelmora"
    sample = ROOT / "tests/data/glpk-sample.min"
    run = lambda *args: subprocess.run([str(script), *map(str, args)], cwd=tmp_path, capture_output=True,  # noqa: E731
                                       text=True, timeout=300)
    generated = run("generate", sample, "cli.mcf", "--commodities", "3", "--method", "spread", "--seed", "4")
    assert generated.returncode == 0, generated.stderr
    instance = pelmora.load_min_instance(str(sample))
    data = pelmora.generate_multi_commodity_data(instance, 3, 0, seed=4)
    pelmora.save_multi_commodity_instance(str(tmp_path / "lib.mcf"), instance, data)
    assert (tmp_path / "cli.mcf").read_bytes() == (tmp_path / "lib.mcf").read_bytes()
    solved = run("solve", sample, "--json")
    assert solved.returncode == 0 and '"objective": 213.0' in solved.stdout, solved.stdout + solved.stderr  # LEMON's optimum


def test_stub_is_installed_beside_the_module():
    assert (SITE / "pelmora.pyi").read_bytes() == (ROOT / "pelmora.pyi").read_bytes()
    record = next(SITE.glob("pelmora-*.dist-info")) / "RECORD"
    assert re.search(r"^pelmora\.pyi,", record.read_text(), flags=re.M)


def test_sdist_holds_the_project_and_nothing_else():
    with tarfile.open(one("pelmora-*.tar.gz")) as sdist:
        names = [n.split("/", 1)[1] for n in sdist.getnames() if "/" in n]
    for needed in ("pyproject.toml", "CMakeLists.txt", "pelmora.pyi", "README.md", "src/module.cpp"):
        assert needed in names
    # Only the project's files: no virtual environments, build trees or compiled objects.
    stray = [n for n in names if n.startswith((".venv", "build/", "dist/")) or n.endswith((".so", ".o"))]
    assert stray == []


def test_typical_road_on_a_bundled_file(tmp_path):
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "typical_road.py"), str(ROOT / "tests/data/own-net-5000n-12500a.min")],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert "5000 nodes, 12500 arcs declared" in done.stdout
    assert "identical data" in done.stdout


def test_mypy_strict_accepts_the_examples_and_the_companion_package(tmp_path):
    # Run from an empty directory, so mypy can only find the stub and the package the wheel installed.
    assert len(EXAMPLES) >= 3
    for targets in (EXAMPLES, ["-p", "pelmora_tools"]):  # mypy takes files or a package, not both at once
        done = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *targets],
            cwd=tmp_path, capture_output=True, text=True, timeout=600,
        )
        assert done.returncode == 0, done.stdout + done.stderr


def test_stub_agrees_with_the_module(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "pelmora", "pelmora_tools._native"], cwd=tmp_path,
        capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr
