"""`python -m Corvane`: the `corvane` command."""

import sys

from Corvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
