"""Fuzz target: the module functions and the methods of SimpleImage, called
with hostile arguments (see hostile.py), sometimes while a module attribute
that the code looks up at each call is rebound to a hostile replacement.

A call may fail only with the exceptions that the documentation allows for odd
arguments, or with the Hostile exception that an argument raised itself. A
SystemError (a C function that failed without an exception or succeeded with
one) or any other exception is a finding, and so is a crash. A call that
succeeds with plain arguments is checked against an independent reference.

    fuzz/module_functions.py [libFuzzer options] [corpus directories]
"""

import io
import os
import pathlib
import struct
import sys
import zlib

import paths  # noqa: F401  (makes the test helpers importable)
from byte_source import ByteSource
from Corvane import SimpleImage, simpleImage_ext as ext
from harness import Finding, scratch_directory
from hostile import Draw, GetRaises, Hostile, OddGet, ScriptedStream, module_replacement
from imagefiles import (chunk, idat_stream, parse_png, read_bmp_pixels, split_payload,
                        unfilter_scanlines)

ALLOWED = (TypeError, ValueError, OverflowError, struct.error, zlib.error, MemoryError,
           BufferError, IndexError, AttributeError, KeyError, OSError, Hostile)
# A zero-width image of this many rows or more is valid but costs a row per
# filter byte; such calls are skipped, not refused.
HEAVY_ROWS = 1 << 16


def is_plain_int(value) -> bool:
    return type(value) is int


def plain_bytes(*values) -> bool:
    return all(type(value) in (bytes, bytearray) for value in values)


def heavy(width, height) -> bool:
    """A valid image whose encoding alone would take gigabytes."""
    try:
        return int(width) == 0 and int(height) >= HEAVY_ROWS
    except Exception:
        return False


class Calls:
    """One fuzz input: draws a call, makes it and judges the outcome."""

    def __init__(self, data: bytes, scratch: str):
        self.draw = Draw(ByteSource(data), scratch)
        self.src = self.draw.src
        self.replaced = False

    # --- the module functions

    def read_chunk(self):
        stream = self.draw.stream()
        plain = isinstance(stream, ScriptedStream) and not any(
            mode < 12 for mode in stream.script[:4])
        content = stream.inner.getvalue() if plain else None
        chunk_type, data = ext._readChunk(stream)
        if plain and not self.replaced:
            expected = parse_first_chunk(content)
            if (chunk_type, data) != expected:
                raise Finding(f"_readChunk gave {(chunk_type, data)!r}, expected {expected!r}")

    def make_chunk(self):
        chunk_type = self.draw.chunk_type() if self.src.chance(30) else self.src.blob(5)
        data = self.draw.chunk_data() if self.src.chance(30) else self.src.blob(64)
        made = ext._makeChunk(chunk_type, data) if self.src.chance(80) else \
            ext._makeChunk(data=data, chunkType=chunk_type)
        if not self.replaced and made != chunk(chunk_type, data):
            raise Finding("_makeChunk differs from the reference")

    def split_payload(self):
        data = self.src.blob(64) if self.src.chance(85) else self.draw.chunk_data()
        holder = []
        for _ in range(self.draw.small(6)):
            holder.append(self.draw.chunk_length(holder))
        lengths = holder if self.src.chance(90) else self.src.pick((tuple(holder), None))
        plain = type(data) is bytes and all(is_plain_int(n) for n in holder)
        parts = ext._split_idat_payload(data, lengths)
        if plain and not self.replaced:
            if parts != split_payload(data, holder):
                raise Finding("_split_idat_payload differs from the reference")

    def image_arguments(self):
        width, height = self.draw.dimension(), self.draw.dimension()
        try:
            count = int(width) * int(height)
        except Exception:
            count = None
        pixels = self.draw.buffer(count * 3 if count is not None else None)
        alpha = self.draw.optional(lambda: self.draw.buffer(count))
        filters = self.draw.optional(lambda: self.draw.filters(
            height if is_plain_int(height) else None))
        return width, height, pixels, alpha, filters

    def write_png(self):
        path = self.draw.path(".png")
        width, height, pixels, alpha, filters = self.image_arguments()
        if heavy(width, height):
            return
        form = self.src.below(3)
        if form == 0:
            ext._writePng(path, width, height, pixels, alpha, filters)
        elif form == 1:
            ext._writePng(path, width, height, pixels, filter_types=filters, alpha=alpha)
        else:
            ext._writePng(path, width, height, pixels)
            alpha = filters = None
        self.check_png(path, width, height, pixels, alpha, filters, None)

    def write_along_chunks(self):
        path = self.draw.path(".png")
        width, height, pixels, alpha, filters = self.image_arguments()
        if heavy(width, height):
            return
        chunks = self.draw.chunk_list()
        plain = type(chunks) is list and not chunks  # decided before a hostile entry runs
        ext._writePngWithChunks(path, width, height, pixels, alpha, chunks, filters)
        self.check_png(path, width, height, pixels, alpha, filters, None if plain else chunks)

    def write_bmp(self):
        path = self.draw.path(".bmp")
        width, height = self.draw.dimension(), self.draw.dimension()
        try:
            expected = int(width) * int(height) * 3
        except Exception:
            expected = None
        pixels = self.draw.buffer(expected)
        meta = self.src.pick((None, {}, {"xppm": self.draw.integer()},
                              {"yppm": self.draw.dimension(), "clrUsed": self.draw.integer()},
                              self.draw.chunk_length([]), 5, GetRaises(), OddGet()))
        ext._writeBmp(path, width, height, pixels, meta)
        if (not self.replaced and meta is None and isinstance(path, str) and plain_bytes(pixels)
                and is_plain_int(width) and is_plain_int(height) and width * height):
            with open(path, "rb") as written:
                if read_bmp_pixels(written.read()) != bytes(pixels[:width * height * 3]):
                    raise Finding("_writeBmp wrote other pixels")

    def check_png(self, path, width, height, pixels, alpha, filters, chunks):
        """Decodes a plain call's file independently and compares the image."""
        if (self.replaced or chunks is not None or not isinstance(path, str)
                or not plain_bytes(pixels) or not all(map(is_plain_int, (width, height)))
                or not (alpha is None or type(alpha) is bytearray)
                or not (filters is None or type(filters) is bytearray)):
            return
        with open(path, "rb") as written:
            data = written.read()
        bpp = 3 if alpha is None else 4
        rows, types = unfilter_scanlines(idat_stream(data), width, height, bpp)
        expected = b"".join(pixels[3 * y * width + 3 * x:3 * y * width + 3 * x + 3]
                            + (alpha[y * width + x:y * width + x + 1] if alpha else b"")
                            for y in range(height) for x in range(width))
        if b"".join(rows) != expected or bytes(types) != bytes(filters or bytes(height)):
            raise Finding("_writePng wrote another image")
        if [t for t, _ in parse_png(data)] != [b"IHDR", b"IDAT", b"IEND"]:
            raise Finding("_writePng wrote other chunks")

    # --- the image type

    def image(self):
        width, height, pixels, alpha, filters = self.image_arguments()
        chunks = self.draw.optional(self.draw.chunk_list, 30)
        header = self.src.pick((None, None, {"xppm": 1}, [("a", 1)], 5, {}))
        if self.src.chance(80):
            image = SimpleImage(width, height, pixels, alpha, chunks, header, filters)
        else:
            image = SimpleImage(width, height, pixels, png_filters=filters, alpha=alpha)
        if plain_bytes(pixels) and image.pixels != pixels:
            raise Finding("the constructor stored other pixels")
        for _ in range(self.draw.small(4) + 1):
            self.use_image(image)

    def use_image(self, image):
        action = self.src.below(8)
        try:
            if action == 0:
                self.get_pixel(image)
            elif action == 1:
                image._putPixel(self.coords(), self.colour())
            elif action == 2:
                image._copy()
            elif action == 3:
                if not heavy(image.width, image.height):
                    image.save(self.src.pick((self.draw.path(".png"), self.draw.path())))
            elif action == 4:
                name = self.src.pick(("width", "height", "pixels", "_alpha", "_png_chunks",
                                      "_png_filters", "_bmp_header"))
                setattr(image, name, self.attribute_value(name))
            elif action == 5:
                image.__reduce__()
            elif action == 6:
                SimpleImage.open(image)
            else:
                image.__setstate__(None)
        except ALLOWED:
            pass

    def get_pixel(self, image):
        coords = self.coords()
        colour = image._getPixel(coords)
        if (type(coords) is tuple and all(map(is_plain_int, coords))
                and type(image.pixels) is bytearray):
            x, y = coords
            index = (y * image.width + x) * 3
            if colour != tuple(image.pixels[index:index + 3]):
                raise Finding("_getPixel read another pixel")

    def coords(self):
        x, y = self.draw.small(4) - 1, self.draw.small(4) - 1
        return self.src.pick(((x, y), (x, y), (x, y), [x, y], (x,), (x, y, 0), None,
                              (self.draw.dimension(), y), (2**70, 0), (x, 2.5)))

    def colour(self):
        values = [self.src.pick((0, 255, 256, -1, 300, 2**70, 1.9, "7", None, "x"))
                  for _ in range(3)]
        return self.src.pick((tuple(values), tuple(values), values, tuple(values) + (4,),
                              iter(values), 5, values[:2]))

    def attribute_value(self, name):
        if name in ("width", "height"):
            return self.draw.dimension()
        if name == "pixels":
            return self.src.pick((bytearray(12), None, bytes(12), ByteArraySub(b"abc")))
        if name == "_png_chunks":
            return self.draw.chunk_list()
        return self.src.pick((None, bytearray(4), b"xy", 5, {"xppm": -1}, [1, 2]))

    # --- opening

    def stream_to_image(self):
        SimpleImage._streamToImage(self.draw.stream())

    def open_source(self):
        content = self.draw.file_content()
        path = os.path.join(self.draw.scratch, "source")
        with open(path, "wb") as source:
            source.write(content)
        SimpleImage.open(self.src.pick((content, content, bytearray(content), path,
                                        pathlib.Path(path), memoryview(content), None,
                                        ByteArraySub(content), self.draw.scratch)))

    # --- argument binding

    def bad_arguments(self):
        target = self.src.pick((ext._readChunk, ext._makeChunk, ext._writePng,
                                ext._split_idat_payload, ext._writePngWithChunks, ext._writeBmp,
                                SimpleImage, SimpleImage.open, SimpleImage._streamToImage))
        positional = [None] * self.draw.small(9)
        names = ("stream", "chunkType", "data", "path", "width", "height", "pixels", "alpha",
                 "filter_types", "chunks", "lengths", "meta", "source", "png_chunks", "bogus")
        keywords = {self.src.pick(names): None for _ in range(self.draw.small(4))}
        target(*positional, **keywords)

    OPERATIONS = ("read_chunk", "make_chunk", "split_payload", "write_png", "write_along_chunks",
                  "write_bmp", "image", "stream_to_image", "open_source", "bad_arguments")

    def run(self):
        operation = getattr(self, self.src.pick(self.OPERATIONS))
        replacement = module_replacement(self.draw) if self.src.chance(25) else None
        saved = vars(ext).copy()
        if replacement:
            setattr(ext, *replacement)
            self.replaced = True
        try:
            operation()
        except ALLOWED:
            pass
        except Finding:
            raise
        except Exception as error:
            raise Finding(f"{operation.__name__} raised {type(error).__name__}: {error}") \
                from error
        finally:
            vars(ext).update(saved)


class ByteArraySub(bytearray):
    pass


def parse_first_chunk(content: bytes):
    """What _readChunk must return for a stream over `content`, or raise."""
    if not content:
        return (b"", b"")
    (length,) = struct.unpack(">I", content[:4]) if len(content) >= 4 else (None,)
    if length is None or len(content) < 12 + length:
        return None  # _readChunk must have raised
    chunk_type, data = content[4:8], content[8:8 + length]
    (crc,) = struct.unpack(">I", content[8 + length:12 + length])
    return (chunk_type, data) if crc == zlib.crc32(chunk_type + data) else None


def check(data: bytes):
    saved_stdout = sys.stdout
    sys.stdout = io.StringIO()  # open() prints a line for every image
    try:
        Calls(data, scratch_directory()).run()
    finally:
        sys.stdout = saved_stdout


def main():
    import atheris

    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
