"""Decodes every file of a folder and prints one line per file: what decoding
it gave (a digest of the decoded tuple, or the exception's type and message).
The tests run it under both inflate routes and compare the lines.

With --sources, every PNG file is opened from each kind of source instead (its
bytes, its path, an io.BytesIO and a stream of another type), and each line
names the file and the source and gives a digest of the image's width, height,
pixels, alpha plane and filter list (see image_digest), or the exception.

Usage: python inflate_outcomes.py [--sources] FOLDER"""

import contextlib
import hashlib
import io
import pathlib
import sys

from Corvane import SimpleImage


def error_outcome(error: Exception) -> str:
    return f"{type(error).__name__}: {error}"


def outcome(data: bytes) -> str:
    try:
        decoded = SimpleImage._streamToImage(io.BytesIO(data))
    except Exception as error:  # every outcome is compared, errors included
        return error_outcome(error)
    return hashlib.sha256(repr(decoded).encode()).hexdigest()


def image_digest(width, height, pixels, alpha, filters) -> str:
    return hashlib.sha256(repr((width, height, pixels, alpha, filters)).encode()).hexdigest()


class Reader:
    """A stream of no io type: the decoders can only call its read and seek."""

    def __init__(self, data: bytes):
        self._stream = io.BytesIO(data)

    def read(self, size=-1):
        return self._stream.read(size)

    def seek(self, position, whence=0):
        return self._stream.seek(position, whence)


def opened(image) -> str:
    return image_digest(image.width, image.height, image.pixels, image._alpha,
                        image._png_filters)


def streamed(stream) -> str:
    width, height, pixels, _, alpha, _, _, filters = SimpleImage._streamToImage(stream)
    return image_digest(width, height, pixels, alpha, filters)


SOURCES = {
    "bytes": lambda path: opened(SimpleImage.open(path.read_bytes())),
    "path": lambda path: opened(SimpleImage.open(str(path))),
    "BytesIO": lambda path: streamed(io.BytesIO(path.read_bytes())),
    "stream": lambda path: streamed(Reader(path.read_bytes())),
}


def source_outcome(path: pathlib.Path, source: str) -> str:
    try:
        return SOURCES[source](path)
    except Exception as error:  # every outcome is compared, errors included
        return error_outcome(error)


def main() -> None:
    sources = sys.argv[1] == "--sources"
    folder = pathlib.Path(sys.argv[-1])
    with contextlib.redirect_stdout(io.StringIO()):
        if sources:
            lines = [f"{path.name} {source} {source_outcome(path, source)}"
                     for path in sorted(folder.iterdir()) for source in SOURCES]
        else:
            lines = [f"{path.name} {outcome(path.read_bytes())}"
                     for path in sorted(folder.iterdir())]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
