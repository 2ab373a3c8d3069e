"""Streams that are not quite what their type says: an io.BytesIO or a file from
`open` with methods replaced on the instance (returning other types, sizes or
positions out of range, or changing the stream meanwhile), and subclasses.
The decoders read from position 0 through stream.read and stream.seek, and any
faster route must give the same: no crash, the same result or exception, and
the stream left at the same position. The reference is the same stream behind
a wrapper of another type, which the decoders can only read through those calls."""

import io

import pytest

from Corvane import SimpleImage, simpleImage_ext
from conftest import noise
from imagefiles import make_bmp, make_png

CONTENTS = {
    "PNG": make_png(16, 8, noise(16 * 8 * 3), idat_sizes=[100, 100, 10_000]),
    "BMP": make_bmp(33, 20, noise(33 * 20 * 3, 1)),
}


class Wrapper:
    """Reads the wrapped stream through its attributes, as Python code would."""

    def __init__(self, stream):
        self.stream = stream

    def read(self, size=-1):
        return self.stream.read(size)

    def seek(self, position, whence=0):
        return self.stream.seek(position, whence)


def position(stream, kind=io.BytesIO):
    """Where the stream stands, asked of its type, whatever the instance holds."""
    try:
        return kind.tell(stream)
    except ValueError as error:  # closed
        return str(error)


def decoded(make_stream, wrapped: bool, kind=io.BytesIO):
    """_streamToImage on a fresh stream (behind a Wrapper when `wrapped`): the
    decoded tuple or the exception, and the position the stream is left at."""
    stream = make_stream()
    try:
        result = repr(SimpleImage._streamToImage(Wrapper(stream) if wrapped else stream))
    except Exception as error:  # every outcome is compared, errors included
        result = f"{type(error).__name__}: {error}"
    return result, position(stream, kind)


def assert_read_as_through_read(make_stream, kind=io.BytesIO):
    assert decoded(make_stream, False, kind) == decoded(make_stream, True, kind)


def own(name):
    """io.BytesIO's own method `name`."""
    return getattr(io.BytesIO, name)


# Replacements set on the instance, each made for a given stream `s`.
PATCHES = {
    "getvalue: a list": lambda s: {"getvalue": lambda: [None] * 1_000_000},
    "getvalue: a list, tell near its end": lambda s: {
        "getvalue": lambda: [None] * 1_000_000, "tell": lambda: 1_000_000 - 8},
    "getvalue: a list of ints": lambda s: {"getvalue": lambda: list(range(20_000))},
    "getvalue: a str": lambda s: {"getvalue": lambda: own("getvalue")(s).decode("latin-1")},
    "getvalue: other bytes": lambda s: {"getvalue": lambda: bytes(len(own("getvalue")(s)))},
    "getvalue: a bytearray": lambda s: {"getvalue": lambda: bytearray(own("getvalue")(s))},
    "getvalue: a memoryview": lambda s: {"getvalue": lambda: memoryview(b"\0" * 99)},
    "getvalue: None": lambda s: {"getvalue": lambda: None},
    "getvalue: writes to the stream": lambda s: {
        "getvalue": lambda: (s.write(b"junk" * 100), own("getvalue")(s))[1]},
    "getvalue: truncates the stream": lambda s: {"getvalue": lambda: (s.truncate(0), b"")[1]},
    "getbuffer: junk": lambda s: {"getbuffer": lambda: b"junk"},
    "tell: -1": lambda s: {"tell": lambda: -1},
    "tell: 2**70": lambda s: {"tell": lambda: 2**70},
    "tell: past the end": lambda s: {"tell": lambda: 10**6},
    "tell: a str": lambda s: {"tell": lambda: "3"},
    "tell: None": lambda s: {"tell": lambda: None},
    "seek: goes elsewhere": lambda s: {"seek": lambda *a: own("seek")(s, 3)},
    "seek: stays and returns junk": lambda s: {"seek": lambda *a: "junk"},
    "seek: -1": lambda s: {"seek": lambda *a: -1},
    "read: a bytearray": lambda s: {"read": lambda n=-1: bytearray(own("read")(s, n))},
    "read: a memoryview": lambda s: {"read": lambda n=-1: memoryview(own("read")(s, n))},
    "read: a bytes subclass": lambda s: {"read": lambda n=-1: Bytes(own("read")(s, n))},
    "read: a list": lambda s: {"read": lambda n=-1: list(own("read")(s, n))},
    "read: a str": lambda s: {"read": lambda n=-1: own("read")(s, n).decode("latin-1")},
    "read: None": lambda s: {"read": lambda n=-1: None},
    "read: a byte more": lambda s: {"read": lambda n=-1: own("read")(s, n) + b"\0"},
    "read: a byte less": lambda s: {"read": lambda n=-1: own("read")(s, n)[:-1]},
    "read: closes the stream": lambda s: {"read": lambda n=-1: (own("read")(s, n), s.close())[0]},
    "read: truncates the stream": lambda s: {
        "read": lambda n=-1: (own("read")(s, n), s.truncate(60))[0]},
    "read: writes ahead": lambda s: {
        "read": lambda n=-1: (own("read")(s, n), s.getbuffer().__setitem__(slice(100, 104),
                                                                           b"junk"))[0]},
    "an attribute that is not a str": lambda s: {1: "one"},
    "an unrelated attribute": lambda s: {"name": "unrelated"},
}


class Bytes(bytes):
    pass


def patched_bytes_io(content: bytes, patch):
    def make():
        stream = io.BytesIO(content)
        vars(stream).update(patch(stream))
        return stream
    return make


@pytest.mark.parametrize("content", CONTENTS)
class TestBytesIO:
    @pytest.mark.parametrize("patch", PATCHES.values(), ids=PATCHES.keys())
    def test_methods_replaced_on_the_instance(self, content, patch):
        assert_read_as_through_read(patched_bytes_io(CONTENTS[content], patch))

    @pytest.mark.parametrize("start", [0, 5, 10**6])
    def test_a_plain_stream_at_any_position(self, content, start):
        def make():
            stream = io.BytesIO(CONTENTS[content])
            stream.seek(start)
            return stream
        assert_read_as_through_read(make)

    def test_a_closed_stream(self, content):
        def make():
            stream = io.BytesIO(CONTENTS[content])
            stream.close()
            return stream
        assert_read_as_through_read(make)

    def test_a_stream_with_an_exported_buffer(self, content):
        views = []

        def make():
            stream = io.BytesIO(CONTENTS[content])
            views.append(stream.getbuffer())  # getvalue then copies
            return stream
        assert_read_as_through_read(make)

    @pytest.mark.parametrize("override", [{}, {"read": lambda self, n=-1: io.BytesIO.read(
        self, n)[:-1]}, {"getvalue": lambda self: b"junk"}], ids=["plain", "read", "getvalue"])
    def test_subclasses(self, content, override):
        subclass = type("Subclass", (io.BytesIO,), override)
        assert_read_as_through_read(lambda: subclass(CONTENTS[content]))


def damaged(content: bytes) -> dict[str, bytes]:
    """The file cut at every length up to its first rows and at a few later
    ones, and with each byte of its headers flipped in turn."""
    variants = {f"cut at {n}": content[:n]
                for n in [*range(0, 130), len(content) // 2, len(content) - 1]}
    for i in range(0, 60):
        flipped = bytearray(content)
        flipped[i] ^= 0xFF
        variants[f"byte {i} flipped"] = bytes(flipped)
    return variants


DAMAGED = {f"{kind} {name}": data for kind, content in CONTENTS.items()
           for name, data in damaged(content).items()}
DAMAGED.update({
    "BMP top-down": make_bmp(5, 4, noise(5 * 4 * 3, 2), top_down=True),
    "BMP offset past the end": make_bmp(5, 4, noise(5 * 4 * 3, 2), offset=10**6),
    "BMP rows before the headers' end": make_bmp(5, 4, noise(5 * 4 * 3, 2), offset=2),
    "BMP width 0, many rows": make_bmp(0, 5, b"")[:22] + (10**9).to_bytes(4, "little")
    + make_bmp(0, 5, b"")[26:],
})


def chunks_read(make_stream, wrapped: bool):
    """_readChunk called until the end, an error or 40 chunks, and the position
    the stream is left at."""
    stream = make_stream()
    source = Wrapper(stream) if wrapped else stream
    results = [source.read(8)]  # past the signature, if there is one
    try:
        while len(results) < 40 and results[-1] != (b"", b""):
            results.append(simpleImage_ext._readChunk(source))
    except Exception as error:  # every outcome is compared, errors included
        results.append(f"{type(error).__name__}: {error}")
    return results, position(stream)


@pytest.mark.parametrize("data", DAMAGED.values(), ids=DAMAGED.keys())
def test_damaged_files_read_from_bytes_as_through_read(data):
    assert_read_as_through_read(lambda: io.BytesIO(data))
    make = lambda: io.BytesIO(data)  # noqa: E731
    assert chunks_read(make, False) == chunks_read(make, True)


# Replacements set on a file from `open(path, "rb")` (f) or on the file under it (f.raw).
FILE_PATCHES = {
    "read: a byte less": lambda f: {"read": lambda n=-1: io.BufferedReader.read(f, n)[:-1]},
    "read: closes the file": lambda f: {
        "read": lambda n=-1: (io.BufferedReader.read(f, n), f.close())[0]},
    "seek: goes elsewhere": lambda f: {"seek": lambda *a: io.BufferedReader.seek(f, 3)},
    "tell: -1": lambda f: {"tell": lambda: -1},
    "raw.fileno: another file's": lambda f: {"raw": {"fileno": lambda: 0}},
    "raw.readinto: reads nothing": lambda f: {"raw": {"readinto": lambda buffer: 0}},
    "raw.seek: junk": lambda f: {"raw": {"seek": lambda *a: "junk"}},
}


def patched_file(path, patch):
    files = []

    def make():
        file = open(path, "rb")
        files.append(file)
        replacements = patch(file)
        vars(file.raw).update(replacements.pop("raw", {}))
        vars(file).update(replacements)
        return file
    return make, files


@pytest.mark.parametrize("content", CONTENTS)
@pytest.mark.parametrize("patch", FILE_PATCHES.values(), ids=FILE_PATCHES.keys())
def test_files_with_methods_replaced_on_the_instance(tmp_path, content, patch):
    path = tmp_path / "image"
    path.write_bytes(CONTENTS[content])
    make, files = patched_file(path, patch)
    try:
        assert_read_as_through_read(make, io.BufferedReader)
    finally:
        for file in files:
            file.close()
