"""Companion tools of the pelmora module: arrays of a data set, export to solver formats, the
multicommodity min-cost flow LP, solvability checks and the ``pelmora`` command line."""
