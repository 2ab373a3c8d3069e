"""Repeating operations many times must not grow memory: every success and
failure path drops what it created. The interpreter's allocated blocks catch a
leaked object; the resident set catches a leaked native buffer (the images
here are large enough that one lost buffer per call would be megabytes)."""

import gc
import io
import os
import pathlib
import random
import struct
import sys
import tempfile
import zlib

import pytest

from Corvane import simpleImage_ext as ext
from Corvane.simpleImage_ext import SimpleImage
from imagefiles import (bmp_headers, chunk, filter_scanlines, ihdr_data, make_bmp,
                        make_png, png_file, png_with_image_data, raw_rows)
from subprocesses import SANITIZED

# AddressSanitizer makes every allocation slow; fewer cycles still show a leak
# of one block per call.
CYCLES = 2_000 if SANITIZED else 20_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def memory_growth(operation, cycles: int = CYCLES) -> tuple[int, int]:
    """Growth of the allocated blocks and of the resident set over `cycles`
    calls, after a warm-up long enough for the interpreter's own caches and
    free lists to settle (they grow for the first thousand calls or so)."""
    for _ in range(2_000):
        operation()
    gc.collect()
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    for _ in range(cycles):
        operation()
    gc.collect()
    return sys.getallocatedblocks() - blocks, resident_bytes() - resident


def expect(error, call):
    def operation():
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"{call} did not raise {error}")
    return operation


class Discard:
    """A standard output that keeps nothing: open prints a line per image."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture(autouse=True)
def discarded_output(monkeypatch):
    monkeypatch.setattr(sys, "stdout", Discard())


# --- the image object ----------------------------------------------------------

def build_copy_and_edit():
    image = SimpleImage(4, 3, bytearray(36), bytes(12), [(b"IEND", b"", 0)], {"xppm": 1},
                        bytes(3))
    duplicate = image._copy()
    duplicate._putPixel((1, 2), (1, 2, 3))
    duplicate._getPixel((1, 2))
    duplicate._alpha = [duplicate]          # a cycle for the collector


class Sub(SimpleImage):
    pass


IMAGE_OPERATIONS = {
    "build, copy and edit": build_copy_and_edit,
    "subclass instance": lambda: Sub(1, 1, b"abc")._copy(),
    "bad length": expect(ValueError, lambda: SimpleImage(2, 2, bytes(11))),
    "bad alpha length": expect(ValueError, lambda: SimpleImage(1, 1, bytes(3), b"")),
    "bad filter count": expect(ValueError,
                               lambda: SimpleImage(1, 1, bytes(3), None, None, None, b"")),
    "bad dimension": expect(TypeError, lambda: SimpleImage("1", 1, bytes(3))),
    "bad keyword": expect(TypeError, lambda: SimpleImage(1, 1, bytes(3), colour=1)),
    "bad header": expect(TypeError, lambda: SimpleImage(1, 1, bytes(3), bmp_header=5)),
    "bad coords": expect(TypeError, lambda: SimpleImage(1, 1, bytes(3))._getPixel([0, 0])),
    "out of bounds": expect(ValueError, lambda: SimpleImage(1, 1, bytes(3))._getPixel((1, 0))),
    "bad component": expect(TypeError,
                            lambda: SimpleImage(1, 1, bytes(3))._putPixel((0, 0), (1, None, 2))),
    "pickling": expect(TypeError, lambda: SimpleImage(1, 1, bytes(3)).__reduce__()),
}

# --- the chunk layer -----------------------------------------------------------

GOOD_CHUNK = chunk(b"tEXt", bytes(2000))


class FailingStream:
    def read(self, size):
        raise OSError("unreadable")


class OddStream:
    def read(self, size):
        return 5


class Tag(bytes):
    pass


CHUNK_OPERATIONS = {
    "read a chunk": lambda: ext._readChunk(io.BytesIO(GOOD_CHUNK)),
    "read at the end": lambda: ext._readChunk(io.BytesIO(b"")),
    "make a chunk": lambda: ext._makeChunk(b"IDAT", bytes(2000)),
    **{f"read: {name}": expect(ValueError, lambda data=data: ext._readChunk(io.BytesIO(data)))
       for name, data in {"eof in length": b"\x00\x00", "eof in type": GOOD_CHUNK[:6],
                          "eof in data": GOOD_CHUNK[:100], "eof in crc": GOOD_CHUNK[:-1],
                          "bad crc": GOOD_CHUNK[:-1] + b"\x00"}.items()},
    "read: failing stream": expect(OSError, lambda: ext._readChunk(FailingStream())),
    "read: odd object read": expect(TypeError, lambda: ext._readChunk(OddStream())),
    "make: bytes subclass": expect(TypeError, lambda: ext._makeChunk(Tag(b"IDAT"), b"")),
    "make: too many arguments": expect(TypeError, lambda: ext._makeChunk(b"a", b"b", b"c")),
}

# --- opening -------------------------------------------------------------------

# Large enough that a lost buffer per call adds up to tens of megabytes.
SIDE = 24
RGB = random.Random(0).randbytes(SIDE * SIDE * 3)
ALPHA = random.Random(1).randbytes(SIDE * SIDE)
FILTERS = bytes(y % 5 for y in range(SIDE))
PNG_RGB = make_png(SIDE, SIDE, RGB, filters=list(FILTERS))
PNG_RGBA = make_png(SIDE, SIDE, RGB, ALPHA, idat_sizes=[500, 500],
                    before_idat=[(b"tEXt", b"key\x00value")])
BMP = make_bmp(SIDE, SIDE, RGB)
GOOD_STREAM = zlib.compress(filter_scanlines(raw_rows(4, 4, bytes(48)), [0] * 4, 3))


def png_header(**fields) -> bytes:
    return png_with_image_data(ihdr_data(4, 4, **fields), GOOD_STREAM)


REFUSED_FILES = {
    "not an image": (ValueError, b"GIF89a"),
    "no IHDR": (ValueError, png_file([(b"IEND", b"")])),
    "16-bit": (ValueError, png_header(bit_depth=16)),
    "grey": (ValueError, png_header(colour_type=0)),
    "interlaced": (ValueError, png_header(interlace=1)),
    "short IHDR": (struct.error, png_file([(b"IHDR", bytes(12))])),
    "huge width": (OverflowError, png_file([(b"IHDR", ihdr_data(2**31, 1))])),
    "no IDAT": (zlib.error, png_file([(b"IHDR", ihdr_data(4, 4))])),
    "truncated stream": (zlib.error, png_with_image_data(ihdr_data(4, 4), GOOD_STREAM[:-6])),
    "too much data": (ValueError, png_with_image_data(ihdr_data(1, 1), GOOD_STREAM)),
    "too little data": (ValueError, png_with_image_data(ihdr_data(9, 9), GOOD_STREAM)),
    "bad filter": (ValueError, png_with_image_data(ihdr_data(1, 1),
                                                   zlib.compress(b"\x07\x00\x00\x00"))),
    "bad chunk": (ValueError, PNG_RGB[:-1] + b"\x00"),
    "short BMP header": (ValueError, b"BM"),
    "short DIB header": (ValueError, BMP[:16]),
    "OS/2 BMP": (ValueError, make_bmp(1, 1, bytes(3), header_size=12)),
    "short info header": (struct.error, BMP[:40]),
    "32-bit BMP": (ValueError, make_bmp(1, 1, bytes(3), bits=32)),
    "negative width": (ValueError, bmp_headers(-4, 2)),
    "missing rows": (ValueError, BMP[:-1]),
    "row offset beyond 32 bits": (OverflowError, bmp_headers(1000, 1_000_000) + bytes(3000)),
}


class BadDecoder(SimpleImage):
    @staticmethod
    def _streamToImage(stream):
        return (1, 2, 3)


class DerivedStream(io.BytesIO):
    """Read row by row, with no length known beforehand."""


class ByteArrayRows(io.BytesIO):
    def read(self, size=-1):
        return bytearray(super().read(size))


OPEN_OPERATIONS = {
    "open PNG bytes": lambda: SimpleImage.open(PNG_RGB),
    "open RGBA PNG bytearray": lambda: SimpleImage.open(bytearray(PNG_RGBA)),
    "open BMP bytes": lambda: SimpleImage.open(BMP),
    "decode PNG stream": lambda: SimpleImage._streamToImage(io.BytesIO(PNG_RGBA)),
    "decode BMP stream": lambda: SimpleImage._streamToImage(io.BytesIO(BMP)),
    "decode BMP derived stream": lambda: SimpleImage._streamToImage(DerivedStream(BMP)),
    **{f"refuse: {name}": expect(error, lambda data=data: SimpleImage.open(data))
       for name, (error, data) in REFUSED_FILES.items()},
    "refuse: odd source": expect(TypeError, lambda: SimpleImage.open(memoryview(BMP))),
    "refuse: bad decoder result": expect(ValueError, lambda: BadDecoder.open(BMP)),
    "refuse: row of the wrong type": expect(TypeError, lambda: SimpleImage._streamToImage(
        ByteArrayRows(BMP))),
}


@pytest.fixture(scope="module")
def files():
    # In memory where the system has a folder for it: a file that a save replaces
    # is synced first, which on a disk costs its latency on every call.
    memory = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=memory) as name:
        folder = pathlib.Path(name)
        for name, data in {"image.png": PNG_RGBA, "image.bmp": BMP,
                           "bad.png": PNG_RGB[:-1]}.items():
            (folder / name).write_bytes(data)
        yield folder


def path_operations(folder):
    png, bmp, bad = (str(folder / name) for name in ("image.png", "image.bmp", "bad.png"))
    opened = {name: SimpleImage.open(path) for name, path in (("png", png), ("bmp", bmp))}
    plain = SimpleImage(SIDE, SIDE, RGB, ALPHA)
    return {
        "open PNG path": lambda: SimpleImage.open(png),
        "open BMP Path": lambda: SimpleImage.open(folder / "image.bmp"),
        "refuse: bad file": expect(ValueError, lambda: SimpleImage.open(bad)),
        "refuse: missing file": expect(OSError, lambda: SimpleImage.open(str(folder / "no"))),
        "save along chunks": lambda: opened["png"].save(os.devnull),
        "save BMP": lambda: opened["bmp"].save(os.devnull),
        "save plain PNG": lambda: plain.save(os.devnull),
        "save over a file": lambda: opened["png"].save(str(folder / "replaced.png")),
        "refuse: save into a missing folder": expect(OSError, lambda: plain.save(
            str(folder / "missing" / "a.png"))),
        "refuse: save to a folder": expect(OSError, lambda: SimpleImage(1, 1, b"abc").save(
            str(folder))),
        "refuse: save to a Path": expect(TypeError, lambda: plain.save(folder)),
    }


# --- the writers ---------------------------------------------------------------

STORED_CHUNKS = [(b"IHDR", bytes(13), 13), (b"tEXt", b"k\x00v", 3), (b"IDAT", None, 4),
                 (b"IDAT", None, 4), (b"zzZz", None, 0)]
WRITE_OPERATIONS = {
    "write png": lambda: ext._writePng(os.devnull, SIDE, SIDE, RGB, bytearray(ALPHA),
                                       bytearray(FILTERS)),
    "write along chunks": lambda: ext._writePngWithChunks(os.devnull, SIDE, SIDE, bytes(RGB), None,
                                                          STORED_CHUNKS, bytearray(FILTERS)),
    "write along no chunks": lambda: ext._writePngWithChunks(os.devnull, 2, 1, bytes(6), None, []),
    "write bmp": lambda: ext._writeBmp(os.devnull, SIDE, SIDE, RGB, {"xppm": 3.5}),
    "split payload": lambda: ext._split_idat_payload(bytes(5000), [1000, 0, -1, 2000]),
    "save": lambda: SimpleImage(1, 1, bytes(3), png_chunks=[]).save(os.devnull),
    "bad pixel length": expect(ValueError, lambda: ext._writePng(os.devnull, 2, 2, bytes(11))),
    "bad alpha length": expect(ValueError, lambda: ext._writePng(os.devnull, 1, 1, bytes(3),
                                                                 bytearray(2))),
    "bad filter count": expect(ValueError, lambda: ext._writePng(os.devnull, 1, 2, bytes(6), None,
                                                                 bytearray(3))),
    "bad filter type": expect(ValueError, lambda: ext._writePng(os.devnull, 1, 2, bytes(6), None,
                                                                bytearray([0, 7]))),
    "read-only alpha": expect(BufferError,
                              lambda: ext._writePng(os.devnull, 1, 1, bytes(3), b"x")),
    "negative sizes": expect(struct.error, lambda: ext._writePng(os.devnull, -1, -1, bytes(3))),
    "unconvertible pixels": expect(TypeError, lambda: ext._writePng(os.devnull, 0, 0, None)),
    "unopenable path": expect(OSError, lambda: ext._writePng("/", 1, 1, bytes(3))),
    "stored str data": expect(TypeError, lambda: ext._writePngWithChunks(
        os.devnull, 1, 1, bytes(3), None, [(b"tEXt", "x", 1)])),
    "short entry": expect(ValueError, lambda: ext._writePngWithChunks(
        os.devnull, 1, 1, bytes(3), None, [(b"tEXt", b"x")])),
    "chunks bad pixel length": expect(ValueError, lambda: ext._writePngWithChunks(
        os.devnull, 1, 1, bytes(2), None, STORED_CHUNKS)),
    "bad split length": expect(TypeError, lambda: ext._split_idat_payload(b"ab", [1, None])),
    "split of None": expect(TypeError, lambda: ext._split_idat_payload(None, [])),
    "split of a bytearray": expect(TypeError, lambda: ext._split_idat_payload(bytearray(), [])),
    "negative bmp height": expect(struct.error, lambda: ext._writeBmp(os.devnull, 1, -1, bytes(3))),
    "short bmp pixels": expect(IndexError, lambda: ext._writeBmp(os.devnull, 2, 2, bytes(9))),
    "meta without get": expect(AttributeError, lambda: ext._writeBmp(os.devnull, 1, 1, bytes(3),
                                                                      5)),
    "meta not a number": expect(ValueError, lambda: ext._writeBmp(os.devnull, 1, 1, bytes(3),
                                                                   {"xppm": "x"})),
    "unconvertible bmp width": expect(TypeError, lambda: ext._writeBmp(os.devnull, None, 1, b"")),
}

OPERATIONS = {**IMAGE_OPERATIONS, **CHUNK_OPERATIONS, **OPEN_OPERATIONS, **WRITE_OPERATIONS}


def assert_flat(operation):
    blocks, resident = memory_growth(operation)
    # A leak on every call grows the blocks by at least CYCLES; the interpreter's
    # own caches still settle by a few hundred blocks over the first thousands
    # of calls of an operation that prints.
    assert blocks < max(100, CYCLES // 40)
    assert SANITIZED or resident < 4 << 20


@pytest.mark.parametrize("name", OPERATIONS)
def test_operation_does_not_leak(name):
    assert_flat(OPERATIONS[name])


PATH_OPERATIONS = ["open PNG path", "open BMP Path", "refuse: bad file", "refuse: missing file",
                   "save along chunks", "save BMP", "save plain PNG", "save over a file",
                   "refuse: save into a missing folder", "refuse: save to a folder",
                   "refuse: save to a Path"]


@pytest.mark.parametrize("name", PATH_OPERATIONS)
def test_operation_on_files_does_not_leak(files, name):
    assert_flat(path_operations(files)[name])
