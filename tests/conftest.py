import os
import shutil
import subprocess
from pathlib import Path

import pytest
from hypothesis import settings

DATA = Path(__file__).parent / "data"
ROOT = Path(__file__).resolve().parent.parent

settings.register_profile("ci", max_examples=60, deadline=None)
settings.register_profile("dev", max_examples=100, deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


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


def native_executable(tmp_path_factory, name: str, sources: list[Path], *flags: str) -> str:
    """Builds a native checker from sources (with src/ on the include path); skips without a compiler."""
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip(f"no C++ compiler to build the native {name}")
    exe = tmp_path_factory.mktemp("native") / name
    cmd = [compiler, "-std=c++20", "-O1", *flags, "-I", str(ROOT / "src"), *map(str, sources), "-o", str(exe)]
    subprocess.run(cmd, check=True, capture_output=True)
    return str(exe)
