"""``python -m corvane``: the command line (corvane.cli)."""
from __future__ import annotations

import sys

from corvane.cli import COMMANDS, build_parser, main  # noqa: F401
from corvane.cli.search_demo import DEMO_QUESTIONS, demo_tree  # noqa: F401  (old import path)

if __name__ == "__main__":
    sys.exit(main())
