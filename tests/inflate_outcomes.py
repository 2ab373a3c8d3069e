"""Decodes every file of a folder and prints one line per file: what decoding
it gave (a digest of the decoded tuple, or the exception's type and message).
The tests run it under both inflate routes and compare the lines.

Usage: python inflate_outcomes.py FOLDER"""

import contextlib
import hashlib
import io
import pathlib
import sys

from Corvane import SimpleImage


def outcome(data: bytes) -> str:
    try:
        decoded = SimpleImage._streamToImage(io.BytesIO(data))
    except Exception as error:  # every outcome is compared, errors included
        return f"{type(error).__name__}: {error}"
    return hashlib.sha256(repr(decoded).encode()).hexdigest()


def main() -> None:
    folder = pathlib.Path(sys.argv[1])
    with contextlib.redirect_stdout(io.StringIO()):
        lines = [f"{path.name} {outcome(path.read_bytes())}" for path in sorted(folder.iterdir())]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
