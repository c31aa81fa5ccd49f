"""``pelmora gridgen`` (its parser and its run are in ``families``, with the other generators')."""

from .families import register_gridgen as register

__all__ = ["register"]
