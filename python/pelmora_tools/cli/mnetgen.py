"""``pelmora mnetgen`` (its parser and its run are in ``families``, with the other generators')."""

from .families import register_mnetgen as register

__all__ = ["register"]
