"""Repeating operations many times must not grow memory: every success and
failure path drops what it created."""

import gc
import os
import sys

import pytest

from Corvane import simpleImage_ext as ext
from Corvane.simpleImage_ext import SimpleImage

CYCLES = 20_000


def allocated_blocks_growth(operation, cycles: int = CYCLES) -> int:
    """Growth of the interpreter's allocated blocks over `cycles` calls, after a warm-up."""
    for _ in range(200):
        operation()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(cycles):
        operation()
    gc.collect()
    return sys.getallocatedblocks() - before


def expect(error, call):
    def operation():
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError(f"{call} did not raise {error}")
    return operation


def build_copy_and_edit():
    image = SimpleImage(4, 3, bytearray(36), bytes(12), [(b"IEND", b"", 0)], {"xppm": 1},
                        bytes(3))
    duplicate = image._copy()
    duplicate._putPixel((1, 2), (1, 2, 3))
    duplicate._getPixel((1, 2))
    duplicate._alpha = [duplicate]          # a cycle for the collector


class Sub(SimpleImage):
    pass


OPERATIONS = {
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

STORED_CHUNKS = [(b"IHDR", bytes(13), 13), (b"tEXt", b"k\x00v", 3), (b"IDAT", None, 4),
                 (b"IDAT", None, 4), (b"zzZz", None, 0)]
WRITES = {
    "write png": lambda: ext._writePng(os.devnull, 2, 2, bytes(12), bytearray(4),
                                       bytearray([1, 4])),
    "write along chunks": lambda: ext._writePngWithChunks(os.devnull, 2, 2, bytes(12), None,
                                                          STORED_CHUNKS, bytearray([2, 3])),
    "write bmp": lambda: ext._writeBmp(os.devnull, 3, 2, bytes(18), {"xppm": 3.5}),
    "save": lambda: SimpleImage(1, 1, bytes(3), png_chunks=[]).save(os.devnull),
    "bad filter type": expect(ValueError, lambda: ext._writePng(os.devnull, 1, 2, bytes(6), None,
                                                                bytearray([0, 7]))),
    "read-only alpha": expect(BufferError,
                              lambda: ext._writePng(os.devnull, 1, 1, bytes(3), b"x")),
    "stored str data": expect(TypeError, lambda: ext._writePngWithChunks(
        os.devnull, 1, 1, bytes(3), None, [(b"tEXt", "x", 1)])),
    "short entry": expect(ValueError, lambda: ext._writePngWithChunks(
        os.devnull, 1, 1, bytes(3), None, [(b"tEXt", b"x")])),
    "bad split length": expect(TypeError, lambda: ext._split_idat_payload(b"ab", [1, None])),
    "negative bmp height": expect(Exception, lambda: ext._writeBmp(os.devnull, 1, -1, bytes(3))),
    "short bmp pixels": expect(IndexError, lambda: ext._writeBmp(os.devnull, 2, 2, bytes(9))),
}
OPERATIONS.update(WRITES)


@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=OPERATIONS.keys())
def test_operation_does_not_leak(operation):
    assert allocated_blocks_growth(operation) < 100
