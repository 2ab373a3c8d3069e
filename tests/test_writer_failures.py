"""An existing file at the destination is left byte for byte as it was by every
writer failure that the arguments alone decide. The per-writer tests cover most
conversions and checks of `_writePng` and `_writeBmp` and the chunk entries of
`_writePngWithChunks`; this table holds the rest: a few conversions, the checks
that `_writePngWithChunks` shares with `_writePng`, and `save` with each writer."""

import pathlib
import struct

import pytest

from Corvane import SimpleImage, simpleImage_ext as ext
from imagefiles import ihdr_data

PIXELS = bytes(range(12))
CHUNKS = [(b"IHDR", ihdr_data(2, 2), 13), (b"IDAT", None, 40), (b"IEND", b"", 0)]
BMP_RECORD = {"xppm": 2835, "yppm": 2835, "clrUsed": 0, "clrImportant": 0}


def with_chunks(width=2, height=2, pixels=PIXELS, alpha=None, chunks=CHUNKS, filters=None):
    return lambda path: ext._writePngWithChunks(path, width, height, pixels, alpha, chunks,
                                                filters)


def saving(change, **side_data):
    """`save` of a 2x2 image with the given side data, after `change(image)`."""
    def write(path):
        image = SimpleImage(2, 2, PIXELS, **side_data)
        change(image)
        image.save(path)
    return write


def set_attribute(name, value):
    return lambda image: setattr(image, name, value)


def keep(image):
    pass


CASES = {
    "_writePng: pixels without a length": (
        lambda path: ext._writePng(path, 1, 1, None),
        TypeError, "object of type 'NoneType' has no len()"),
    "_writePng: pixels that bytearray refuses by type": (
        lambda path: ext._writePng(path, 2, 1, "abcdef"), TypeError,
        "string argument without an encoding"),
    "_writeBmp: record value that int() refuses by type": (
        lambda path: ext._writeBmp(path, 1, 1, bytes(3), {"xppm": None}), TypeError,
        "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'"),
    "_writePngWithChunks: width not an integer": (
        with_chunks(width="2"), TypeError, "an integer is required"),
    "_writePngWithChunks: height beyond 32 bits": (
        with_chunks(height=2 ** 31), OverflowError, "value too large to convert to int"),
    "_writePngWithChunks: chunk list that cannot be iterated": (
        with_chunks(chunks=5), TypeError, "'int' object is not iterable"),
    "_writePngWithChunks: pixels refused by bytearray": (
        with_chunks(pixels=[300] * 12), ValueError, "byte must be in range(0, 256)"),
    "_writePngWithChunks: alpha of the wrong length": (
        with_chunks(alpha=bytearray(3)), ValueError,
        "Alpha channel length does not match image dimensions"),
    "_writePngWithChunks: read-only alpha": (with_chunks(alpha=bytes(4)), BufferError, None),
    "_writePngWithChunks: filter list of the wrong length": (
        with_chunks(filters=bytearray(3)), ValueError,
        "PNG filter count does not match image height"),
    "_writePngWithChunks: unknown filter type": (
        with_chunks(filters=bytearray([0, 6])), ValueError, "Unsupported PNG filter: 6"),
    "_writePngWithChunks: filter list that is no buffer": (
        with_chunks(filters=[0, 0]), TypeError, None),
    "save: path that is not a str": (
        lambda path: SimpleImage(2, 2, PIXELS).save(pathlib.Path(path)), TypeError,
        "Argument 'path' has incorrect type (expected str, got PosixPath)"),
    "save, plain PNG: pixels that no longer match the width": (
        saving(set_attribute("width", 3)), ValueError,
        "Pixel data length does not match image dimensions"),
    "save, plain PNG: unknown filter type": (
        saving(set_attribute("_png_filters", bytearray([7, 0]))), ValueError,
        "Unsupported PNG filter: 7"),
    "save, chunk list: entry of two items": (
        saving(set_attribute("_png_chunks", CHUNKS + [(b"tEXt", b"")])), ValueError,
        "need more than 2 values to unpack"),
    "save, chunk list: chunk type that is a str": (
        saving(set_attribute("_png_chunks", CHUNKS + [("tEXt", b"", 0)])), TypeError,
        "a bytes-like object is required, not 'str'"),
    "save, chunk list: alpha of the wrong length": (
        saving(set_attribute("_alpha", bytearray(3)), png_chunks=CHUNKS), ValueError,
        "Alpha channel length does not match image dimensions"),
    "save, BMP record: negative resolution": (
        saving(keep, bmp_header=BMP_RECORD | {"xppm": -1}), struct.error, None),
    "save, BMP record: pixels shorter than the image": (
        saving(set_attribute("height", 3), bmp_header=BMP_RECORD), IndexError,
        "bytearray index out of range"),
}


@pytest.mark.parametrize("write, exception, message", CASES.values(), ids=CASES.keys())
def test_failure_before_opening_leaves_the_existing_file(existing, write, exception, message):
    existing.refuses(write, exception, message)
