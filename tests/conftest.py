import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import settings

DATA = Path(__file__).parent / "data"
ROOT = Path(__file__).resolve().parent.parent

settings.register_profile("ci", max_examples=60, deadline=None)
settings.register_profile("dev", max_examples=100, deadline=None)
settings.register_profile("sanitize", max_examples=15, deadline=None)  # test-sanitize: every allocation checked
settings.load_profile(os.environ.get("PELMORA_HYPOTHESIS") or ("ci" if os.environ.get("CI") else "dev"))


@pytest.fixture(scope="session")
def data_dir() -> Path:
    return DATA


def write_min(path: Path, lines: list[str]) -> str:
    """Writes a .min file from lines and returns its path as str."""
    path.write_text("".join(line + "\n" for line in lines))
    return str(path)


@pytest.fixture
def min_file(tmp_path):
    """Factory: min_file(lines, name=...) -> path of a .min file holding those lines."""
    counter = iter(range(1_000_000))

    def make(lines, name=None):
        return write_min(tmp_path / (name or f"net{next(counter)}.min"), lines)

    return make


def build_native(target: str) -> Path:
    """Builds one program of tests/native (a PELMORA_NATIVE_TESTS target) and returns its path.

    The build directory is kept between sessions and named after the compiler, so that a rebuild
    only compiles what changed. $CXX is honoured; cmake and ninja come from the test interpreter's
    environment first. The ASan runtime preloaded into the interpreter under test-sanitize is kept
    away from them.
    """
    tools = str(Path(sys.executable).parent)
    cmake = shutil.which("cmake", path=tools) or shutil.which("cmake")
    ninja = shutil.which("ninja", path=tools) or shutil.which("ninja")
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not (cmake and ninja and compiler):
        pytest.fail(f"building {target} needs cmake, ninja and a C++ compiler: found {cmake}, {ninja}, {compiler}")
    build = ROOT / "build" / f"native-tests-{hashlib.sha256(compiler.encode()).hexdigest()[:10]}"
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    steps = [
        [cmake, "-S", str(ROOT), "-B", str(build), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
         f"-DCMAKE_CXX_COMPILER={compiler}", "-DCMAKE_BUILD_TYPE=Release", "-DPELMORA_NATIVE_TESTS=ON",
         f"-DPython_EXECUTABLE={sys.executable}"],
        [cmake, "--build", str(build), "--target", target],
    ]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True, env=env)
        if done.returncode != 0:
            pytest.fail(f"building {target} failed:\n{' '.join(step)}\n{done.stdout}\n{done.stderr}")
    return build / target


@pytest.fixture(scope="session")
def native_program():
    """Factory: native_program(target) -> path of that program of tests/native, built on first use."""
    return build_native
