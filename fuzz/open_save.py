"""Fuzz target: SimpleImage.open on raw bytes and, for every image that
decodes, a save to a file and a second open of that file.

Opening may fail only with the errors that the decoders document, and a
ValueError only with one of their messages. The image read back must equal the
first in size, pixels, alpha plane and filter list, and in every chunk other
than IDAT (PNG) or in the header record (BMP).

    fuzz/open_save.py [libFuzzer options] [corpus directories]
"""

import os
import re
import struct
import sys
import zlib

import paths  # noqa: F401  (makes the test helpers importable)
from Corvane import SimpleImage
from harness import Finding, scratch_directory
from imagefiles import split_payload

REFUSALS = {
    "Unsupported image format", "Unsupported PNG signature",
    "Unexpected EOF while reading chunk length", "Unexpected EOF while reading chunk type",
    "Unexpected EOF while reading chunk data", "Unexpected EOF while reading chunk CRC",
    "Corrupted PNG chunk detected", "Incomplete PNG header information",
    "Only 8-bit PNG images are supported", "Only RGB/RGBA PNG images are supported",
    "Unsupported PNG configuration (compression/filter/interlace)", "Malformed PNG image data",
    "Unsupported BMP header", "Corrupted BMP DIB header",
    "Only BITMAPINFOHEADER BMP files are supported",
    "Only uncompressed 24-bit BMP files are supported", "Incomplete BMP pixel data",
    "negative count",  # a BMP with a negative width and some rows, as bytearray() says
}
FILTER_REFUSAL = re.compile(r"Unsupported PNG filter: \d+")
# Errors passed on from struct, zlib and the allocation of the pixel buffers.
PASSED_ON = (OverflowError, struct.error, zlib.error, MemoryError)


def open_bytes(data: bytes):
    """The decoded image, or None when the bytes are refused as documented."""
    try:
        return SimpleImage.open(data)
    except ValueError as error:
        if str(error) in REFUSALS or FILTER_REFUSAL.fullmatch(str(error)):
            return None
        raise Finding(f"undocumented refusal: {error!r}") from error
    except PASSED_ON:
        return None


def bmp_writable(image) -> bool:
    """Whether every field that the BMP writer packs unsigned is in range; a
    negative width (with height 0) or resolution is documented to fail."""
    return image.width >= 0 and all(0 <= value < 2**32 for value in image._bmp_header.values())


def non_idat_chunks(image):
    return [entry for entry in image._png_chunks if entry[0] != b"IDAT"]


def idat_lengths(image):
    return [entry[2] for entry in image._png_chunks if entry[0] == b"IDAT"]


def require_split_along_the_source(first, second):
    """The new image data is cut along the source's IDAT sizes (the cut depends
    only on the data's length), and stands as one run of IDAT chunks."""
    written = idat_lengths(second)
    expected = [len(part) for part in split_payload(bytes(sum(written)), idat_lengths(first))]
    if written != (expected or written[:1]):
        raise Finding(f"IDAT sizes {written} for source sizes {idat_lengths(first)}")
    types = [entry[0] for entry in second._png_chunks]
    start = types.index(b"IDAT")
    if types[start:start + len(written)] != [b"IDAT"] * len(written):
        raise Finding("the IDAT chunks were not written as one run")


def require_same(first, second):
    fields = ("size", "pixels", "_alpha", "_png_filters", "_bmp_header")
    for field in fields:
        if getattr(first, field) != getattr(second, field):
            raise Finding(f"{field} changed by a save and reopen")
    if (first._png_chunks is None) != (second._png_chunks is None):
        raise Finding("the format changed by a save and reopen")
    if first._png_chunks is not None:
        if non_idat_chunks(first) != non_idat_chunks(second):
            raise Finding("chunks changed by a save and reopen")
        require_split_along_the_source(first, second)


def check(data: bytes):
    image = open_bytes(data)
    if image is None:
        return
    path = os.path.join(scratch_directory(), "image")
    if image._bmp_header is not None and not bmp_writable(image):
        try:
            image.save(path)
        except struct.error:
            return
        raise Finding("an unwritable BMP header was written")
    try:
        image.save(path)
    except MemoryError:
        return
    require_same(image, SimpleImage.open(path))


def main():
    import atheris
    import png_mutator

    sys.stdout = open(os.devnull, "w")  # open() prints a line for every image
    atheris.Setup(sys.argv, check, custom_mutator=png_mutator.mutate)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
