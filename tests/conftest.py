import os
from pathlib import Path

import pytest
from hypothesis import settings

DATA = Path(__file__).parent / "data"

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
