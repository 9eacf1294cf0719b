"""``python -m quarlo``: the same as the ``quarlo`` console script."""

import sys

from quarlo.cli import main

sys.exit(main())
