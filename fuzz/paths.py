"""Makes the test suite's file builders and parsers (tests/imagefiles.py),
which are written independently of the extension, importable by the fuzz targets."""

import pathlib
import sys

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"
if str(TESTS) not in sys.path:
    sys.path.insert(0, str(TESTS))
