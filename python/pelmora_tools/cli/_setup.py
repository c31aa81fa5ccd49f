"""What a command needs before it works: the optional packages it imports."""

from __future__ import annotations

import importlib

from ._status import Failure

# The extra of pyproject.toml that brings each optional package.
EXTRAS = {"highspy": "solve", "scipy": "solve", "ortools": "solve", "distributed": "sweep"}


def require(*modules: str) -> None:
    """Fails in one line, naming the extra to install, if an optional package is missing."""
    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError:
            raise Failure(f"this needs {module}: pip install 'pelmora[{EXTRAS[module]}]'") from None
