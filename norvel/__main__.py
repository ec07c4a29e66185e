"""``python -m norvel``: the ``norvel`` command."""

import sys

from norvel.cli import main

sys.exit(main())
