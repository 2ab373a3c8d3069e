"""Hostile arguments for the module's functions, drawn from fuzzer bytes:
odd integers and buffers, chunk lists with odd entries, streams that hand back
odd objects, and replacements for the module attributes that the code looks up
at each call."""

import array
import io
import pathlib
import struct
import zlib

import paths  # noqa: F401  (makes the test helpers importable)
from byte_source import ByteSource
from imagefiles import PNG_SIGNATURE, ihdr_data, make_bmp, make_png


class Hostile(Exception):
    """Raised by the hostile objects themselves; passing it on is correct."""


def raise_hostile(*args, **kwargs):
    raise Hostile


# --- objects that behave oddly -----------------------------------------------

class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntRaises:
    __int__ = raise_hostile


class IntReturnsStr:
    def __int__(self):
        return "3"


class Int(int):
    pass


class Bytes(bytes):
    pass


class ByteArray(bytearray):
    pass


class Str(str):
    pass


class Tuple(tuple):
    pass


class List(list):
    pass


class LyingLength:
    """len() says one thing, iteration gives another."""

    def __init__(self, claimed, items):
        self.claimed, self.items = claimed, items

    def __len__(self):
        return self.claimed

    def __iter__(self):
        return iter(self.items)


class LengthRaises:
    __len__ = raise_hostile
    __iter__ = raise_hostile


class CompareRaises:
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = raise_hostile
    __hash__ = object.__hash__
    __index__ = __int__ = raise_hostile


class ClearsWhenCompared:
    """A length whose comparison empties the list that holds it."""

    def __init__(self, victim):
        self.victim = victim

    def __le__(self, other):
        self.victim.clear()
        return False

    __lt__ = __le__

    def __index__(self):
        return 1


class DisagreeingLength:
    """Compares as small but converts to a huge or negative integer."""

    def __init__(self, value):
        self.value = value

    def __le__(self, other):
        return False

    def __lt__(self, other):
        return True

    def __index__(self):
        return self.value


class Exporter:
    """Exports a buffer through Python code: `make` gives the memoryview
    (or raises), which may disagree with len()."""

    def __init__(self, make, claimed):
        self.make, self.claimed = make, claimed

    def __buffer__(self, flags):
        return self.make()

    def __len__(self):
        return self.claimed


class PathRaises:
    __fspath__ = raise_hostile


class GetRaises:
    get = raise_hostile


class OddGet(dict):
    def get(self, key, default=None):
        return [None, "x", 2.5, 2**40, -1, IntRaises()][len(key) % 6]


BOUNDARY_INTS = (0, 1, 2, 3, -1, -2, 255, 256, 2**16, 60000, 2**30, 2**31 - 1, -2**31, 2**31,
                 -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, -2**63, 2**64, 10**30)


# --- drawing values ----------------------------------------------------------

class Draw:
    """Values drawn from a ByteSource; `scratch` is a private directory for files."""

    def __init__(self, source: ByteSource, scratch: str):
        self.src = source
        self.scratch = scratch

    def small(self, limit=5):
        return self.src.below(limit)

    def integer(self):
        return self.small() if self.src.chance(60) else self.src.pick(BOUNDARY_INTS)

    def dimension(self):
        if self.src.chance(85):
            return self.integer()
        k = self.small()
        return self.src.pick((IntLike(k), IndexOnly(k), IntRaises(), IntReturnsStr(), Int(k),
                              2.5, 3.0, float("nan"), float("inf"), "3", None, True,
                              IntLike(2**40)))

    def content(self, size):
        data = self.src.blob(min(size, 4096))
        return data + bytes(size - len(data))

    def sized(self, expected):
        """A length: mostly the expected one, else one off or something small."""
        if isinstance(expected, int) and 0 <= expected <= 4096 and self.src.chance(75):
            return expected
        options = [0, 1, 2, 3, 4]
        if isinstance(expected, int) and 0 <= expected <= 4096:
            options += [expected + 1, max(expected - 1, 0)]
        return self.src.pick(options)

    def buffer(self, expected, content=None):
        size = self.sized(expected)
        data = content(size) if content else self.content(size)
        form = self.src.below(40)
        if form < 14:
            return bytearray(data)
        if form < 22:
            return data
        forms = [
            lambda: ByteArray(data), lambda: Bytes(data), lambda: memoryview(bytearray(data)),
            lambda: memoryview(data), lambda: memoryview(bytearray(data * 2))[::2],
            lambda: memoryview(bytearray(data)).cast("B", [1, len(data)]),
            lambda: memoryview(bytearray(data[:len(data) // 4 * 4])).cast("i"),
            lambda: array.array("B", data), lambda: array.array("H", data[:len(data) // 2]),
            lambda: list(data), lambda: list(data) + [300], lambda: tuple(data),
            lambda: data.decode("latin-1"), lambda: None, lambda: 5,
            lambda: LyingLength(size, list(data[:self.small()])),
            lambda: LyingLength(2**62, []), lambda: LengthRaises(),
            lambda: Exporter(lambda: memoryview(bytearray(data)), size),
            lambda: Exporter(lambda: memoryview(bytearray(data[:-1])), size),
            lambda: Exporter(lambda: memoryview(data), size),
            lambda: Exporter(raise_hostile, size),
        ]
        return self.src.pick(forms)()

    def filters(self, height):
        def content(size):
            return bytes(self.src.pick((0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 5, 255))
                         for _ in range(min(size, 4096))).ljust(size, b"\x00")
        return self.buffer(height, content)

    def optional(self, make, percent=50):
        return make() if self.src.chance(percent) else None

    def path(self, suffix=".img"):
        target = f"{self.scratch}/out{suffix}"
        return self.src.pick((target, target, target, pathlib.Path(target), target.encode(),
                              Str(target), self.scratch, f"{self.scratch}/missing/x",
                              PathRaises(), None, 2.5))

    # --- PNG-shaped values

    def chunk_type(self):
        return self.src.pick((b"IHDR", b"IDAT", b"IDAT", b"IEND", b"tEXt", b"zzZz",
                              bytearray(b"IDAT"), "IDAT", Bytes(b"IDAT"), CompareRaises(), b"",
                              b"ab", None, 5, memoryview(b"tEXt")))

    def chunk_data(self):
        data = self.src.blob(64)
        return self.src.pick((None, b"", data, data, bytearray(data), memoryview(data), "text",
                              5, LengthRaises(), Bytes(data)))

    def chunk_length(self, holder):
        if self.src.chance(80):
            return self.integer()
        return self.src.pick((None, "3", 2.5, CompareRaises(), ClearsWhenCompared(holder),
                              DisagreeingLength(2**62), DisagreeingLength(-5)))

    def chunk_entry(self, holder):
        entry = (self.chunk_type(), self.chunk_data(), self.chunk_length(holder))
        shape = self.src.below(20)
        if shape < 15:
            return entry
        return self.src.pick((list(entry), entry[:2], entry + (0,), 7, "abc", iter(entry),
                              Tuple(entry)))

    def chunk_list(self):
        holder = []
        for _ in range(self.small(6)):
            holder.append(self.chunk_entry(holder))
        form = self.src.below(12)
        if form < 8:
            return holder
        return self.src.pick((tuple(holder), iter(holder), List(holder), None, [], 5,
                              "IDAT", self.failing_iterator(holder)))

    @staticmethod
    def failing_iterator(items):
        yield from items
        raise Hostile

    def png_file(self):
        width, height = self.small(4), self.small(4)
        alpha = self.content(width * height) if self.src.chance(50) else None
        filters = [self.small() for _ in range(height)]
        return make_png(width, height, self.content(width * height * 3), alpha, filters=filters,
                        idat_sizes=[self.small(40) + 1 for _ in range(self.small(3) + 1)])

    def file_content(self):
        choice = self.src.below(5)
        if choice == 0:
            return self.png_file()
        if choice == 1:
            width, height = self.small(4), self.small(4)
            return make_bmp(width, height, self.content(width * height * 3),
                            top_down=self.src.chance(30))
        if choice == 2:
            return PNG_SIGNATURE + self.src.blob(256)
        return self.src.blob(512)

    def stream(self):
        if self.src.chance(8):
            return self.src.pick((object(), None, 5, io.StringIO("abc")))
        if self.src.chance(10):
            return self.patched_bytes_io()
        return ScriptedStream(self.file_content(), [self.src.below(60) for _ in range(8)])

    def patched_bytes_io(self):
        """An exact io.BytesIO with a method replaced on the instance: one that
        hands back an odd object, or a read that follows a script."""
        stream = io.BytesIO(self.file_content())
        name = self.src.pick(("getvalue", "tell", "seek", "getbuffer", "read"))
        if name == "read":
            script = [self.src.below(60) for _ in range(8)]
            stream.read = ScriptedStream(b"", script, inner=stream).read
        else:
            odd = self.src.pick(([None] * 100_000, "str", bytearray(8), memoryview(b"x"), None,
                                 -1, 2**70, 10**6, Hostile))
            setattr(stream, name, raise_hostile if odd is Hostile else lambda *args: odd)
        return stream

    def stored_chunks_reader(self):
        """A stand-in for the module's _readChunk that hands out odd chunks."""
        size = ihdr_data(self.small(3), self.small(3), colour_type=self.src.pick((2, 6)))
        plan = []
        for _ in range(self.small(6)):
            kind = self.src.below(10)
            if kind < 2:
                plan.append((b"IHDR", self.src.pick((size, size, "str", bytearray(size), 5,
                                                     size[:12], LengthRaises()))))
            elif kind < 5:
                payload = zlib.compress(self.content(self.small(40)))
                plan.append((b"IDAT", self.src.pick((payload, payload, bytearray(payload), "x",
                                                     memoryview(payload), 5, None))))
            elif kind < 7:
                plan.append((self.chunk_type(), self.chunk_data()))
            else:
                plan.append(self.src.pick(((b"IEND", b""), (b"", b""), None, (b"IDAT",),
                                           (b"tEXt", b"a", b"b"), 5, Hostile)))
        return ScriptedReader(plan)


# --- streams -----------------------------------------------------------------

class ScriptedStream:
    """A byte stream whose first reads follow a script: most return bytes as a
    file would, some return odd objects or raise."""

    def __init__(self, data: bytes, script, inner: io.BytesIO | None = None):
        self.inner = io.BytesIO(data) if inner is None else inner
        self.script = list(script)

    def read(self, size=-1):
        # The type's own read: `inner` may have this read set on it.
        mode = self.script.pop(0) if self.script else 0
        if mode >= 12:
            return io.BytesIO.read(self.inner, size)
        data = io.BytesIO.read(self.inner, size if isinstance(size, int) and size >= 0 else -1)
        return (
            lambda: data.decode("latin-1"), lambda: bytearray(data), lambda: Bytes(data),
            lambda: None, lambda: 4, lambda: data + b"\x00\x01", lambda: memoryview(data),
            lambda: LyingLength(len(data) + 1, []), lambda: raise_hostile(),
            lambda: data, lambda: b"", lambda: data[:1],
        )[mode]()

    def seek(self, position, whence=0):
        mode = self.script.pop(0) if self.script else 0
        if mode == 1:
            raise Hostile
        return self.inner.seek(position, whence)


class ScriptedReader:
    """Replaces _readChunk: hands out the planned items, then the end marker."""

    def __init__(self, plan):
        self.plan = list(plan)

    def __call__(self, stream):
        if not self.plan:
            return (b"", b"")
        item = self.plan.pop(0)
        if item is Hostile:
            raise Hostile
        return item


# --- replacements for module attributes ----------------------------------

class HostileStruct:
    """struct as the module uses it, with results bent by `mode`."""

    error = struct.error

    def __init__(self, mode):
        self.mode = mode

    def bend(self, values):
        return (
            lambda: values, lambda: values[:-1], lambda: values + (0,),
            lambda: tuple(-1 if isinstance(v, int) else v for v in values),
            lambda: tuple(2**31 + 7 if isinstance(v, int) else v for v in values),
            lambda: tuple(IntLike(v) if isinstance(v, int) else v for v in values),
            lambda: raise_hostile(), lambda: None, lambda: iter(values),
        )[self.mode % 9]()

    def unpack(self, form, data):
        return self.bend(struct.unpack(form, data))

    def pack(self, form, *values):
        packed = struct.pack(form, *values)
        return (packed, packed, bytearray(packed), packed.decode("latin-1"), None,
                packed[:-1])[self.mode % 6]


class HostileDecompressor:
    def __init__(self, mode):
        self.mode = mode
        self.inner = zlib.decompressobj()

    def decompress(self, data, max_length=0):
        out = self.inner.decompress(data, max_length)
        if self.mode % 7 == 6:
            raise Hostile
        return (out, out + bytes(64), out.decode("latin-1"), None, bytearray(out),
                memoryview(out))[self.mode % 7]

    @property
    def eof(self):
        return (self.inner.eof, self.inner.eof, None, "x", True, False, CompareRaises())[
            self.mode % 7]


class HostileZlib:
    """zlib as the module uses it, with results bent by `mode`."""

    def __init__(self, mode):
        self.mode = mode
        self.error = (zlib.error, zlib.error, 5, KeyError)[mode % 4]

    def crc32(self, data, value=0):
        crc = zlib.crc32(data, value)
        return (crc, crc, -crc - 1, crc + 2**40, "x", None)[self.mode % 6]

    def compress(self, data):
        out = zlib.compress(data)
        return (out, out, out.decode("latin-1"), bytearray(out), b"", None)[self.mode % 6]

    def decompressobj(self):
        return HostileDecompressor(self.mode)


def odd_result(mode):
    """A stand-in for a module function that returns something odd."""
    def function(*args, **kwargs):
        if mode % 10 == 9:
            raise Hostile
        return (None, [], [b""], ["str"], [bytearray(b"ab")], 5, "str", b"x",
                (b"IDAT", b"IDAT"))[mode % 9]
    return function


def module_replacement(draw: Draw):
    """A module attribute and a hostile value for it."""
    name = draw.src.pick(("_readChunk", "PNG_SIGNATURE", "struct", "zlib", "BytesIO", "Path",
                          "_writePng", "_makeChunk", "_split_idat_payload", "_writeBmp",
                          "_writePngWithChunks"))
    mode = draw.src.below(64)
    if name == "_readChunk":
        return name, draw.stored_chunks_reader()
    if name == "PNG_SIGNATURE":
        return name, draw.src.pick((b"", b"\x89P", "str", None, 5, CompareRaises(),
                                    bytearray(PNG_SIGNATURE), Bytes(PNG_SIGNATURE), b"BM"))
    if name == "struct":
        return name, HostileStruct(mode)
    if name == "zlib":
        return name, HostileZlib(mode)
    if name == "BytesIO":
        return name, draw.src.pick((lambda data: draw.stream(), raise_hostile, 5, io.StringIO))
    if name == "Path":
        return name, draw.src.pick((5, str, bytes, CompareRaises))
    return name, odd_result(mode)
