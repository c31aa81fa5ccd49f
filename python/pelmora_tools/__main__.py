"""``python -m pelmora_tools``: the ``pelmora`` command without its console script."""

import sys

from .cli import main

sys.exit(main())
