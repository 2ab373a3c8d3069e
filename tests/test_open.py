"""`SimpleImage.open` and `SimpleImage._streamToImage`: sources, recognition
by content, the printed line, subclasses and module names looked up at each call.
Real files from the test corpora are in test_corpus.py."""

import io
import pathlib
import random
import types
import zlib

import pytest

from Corvane import SimpleImage
from imagefiles import make_bmp, make_png, parse_png

RGB = random.Random(0).randbytes(18)
ALPHA = random.Random(1).randbytes(6)
PNG_RGB = make_png(3, 2, RGB)
PNG_RGBA = make_png(3, 2, RGB, ALPHA)
BMP = make_bmp(3, 2, RGB)
PNG_RGBA_CHUNKS = [(t, None if t == b"IDAT" else d, len(d)) for t, d in parse_png(PNG_RGBA)]


def contents(image):
    return (type(image), image.size, image.pixels, image._alpha, image._png_chunks,
            image._png_filters, image._bmp_header)


def opened_line(width, height, channels):
    return f"[SimpleImage] Opened image: {width}x{height}, channels={channels}\n"


class TestSources:
    @pytest.mark.parametrize("make_source", [
        str, pathlib.Path, type("PathSub", (type(pathlib.Path()),), {}), type("Text", (str,), {}),
        lambda path: path.read_bytes(), lambda path: bytearray(path.read_bytes()),
        lambda path: type("Blob", (bytes,), {})(path.read_bytes()),
    ], ids=["str", "Path", "Path subclass", "str subclass", "bytes", "bytearray", "bytes subclass"])
    def test_every_kind_of_source_gives_the_same_image(self, tmp_path, capsys, make_source):
        path = tmp_path / "image.png"
        path.write_bytes(PNG_RGBA)
        image = SimpleImage.open(make_source(path))
        assert contents(image) == (SimpleImage, (3, 2), RGB, ALPHA, PNG_RGBA_CHUNKS, bytes(2), None)
        assert capsys.readouterr().out == opened_line(3, 2, 4)

    def test_an_image_is_returned_itself_without_printing(self, capsys):
        class Sub(SimpleImage):
            pass

        for image in (SimpleImage(1, 1, bytes(3)), Sub(1, 1, bytes(3))):
            assert SimpleImage.open(image) is image
            assert Sub.open(image) is image
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("source", [
        memoryview(PNG_RGB), None, 42, io.BytesIO(PNG_RGB),
        types.SimpleNamespace(__fspath__=lambda: "image.png"),
    ], ids=["memoryview", "None", "int", "open stream", "path-like"])
    def test_other_sources_are_refused(self, capsys, source):
        with pytest.raises(TypeError, match="^source must be a file path or raw bytes$"):
            SimpleImage.open(source)
        assert capsys.readouterr().out == ""

    def test_errors_of_opening_the_file_propagate(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            SimpleImage.open(str(tmp_path / "missing.png"))
        with pytest.raises(IsADirectoryError):
            SimpleImage.open(tmp_path)

    def test_the_file_is_closed_before_construction_and_after_a_failure(self, tmp_path):
        path = tmp_path / "image.bmp"
        path.write_bytes(BMP)
        streams = []

        class Watching(SimpleImage):
            @staticmethod
            def _streamToImage(stream):
                streams.append(stream)
                return SimpleImage._streamToImage(stream)

            def __init__(self, *args):
                self.closed_when_built = streams[-1].closed

        assert Watching.open(path).closed_when_built
        path.write_bytes(b"GIF89a")
        with pytest.raises(ValueError, match="^Unsupported image format$"):
            Watching.open(path)
        assert streams[-1].closed


class TestRecognition:
    def test_content_decides_not_the_name(self, tmp_path):
        path = tmp_path / "picture.png"
        path.write_bytes(BMP)
        image = SimpleImage.open(str(path))
        assert image._png_chunks is None and image._bmp_header is not None

    @pytest.mark.parametrize("data", [b"", b"GIF89a\x01\x00\x01\x00", b"\x89PNG", b"B"])
    def test_unknown_content_is_refused(self, data):
        with pytest.raises(ValueError, match="^Unsupported image format$"):
            SimpleImage.open(data)

    def test_bm_alone_reaches_the_bmp_decoder(self):
        with pytest.raises(ValueError, match="^Unsupported BMP header$"):
            SimpleImage.open(b"BM")

    def test_recognition_reads_at_the_current_position_decoding_starts_at_0(self):
        stream = io.BytesIO(PNG_RGB)
        stream.seek(5)
        with pytest.raises(ValueError, match="^Unsupported image format$"):
            SimpleImage._streamToImage(stream)
        stream.seek(0)
        assert SimpleImage._streamToImage(stream)[2] == RGB
        bmp = make_bmp(3, 2, RGB, gap=b"..BM..")
        stream = io.BytesIO(bmp)
        stream.seek(56)
        assert SimpleImage._streamToImage(stream)[2] == RGB

    @pytest.mark.parametrize("data, channels", [(PNG_RGB, 3), (PNG_RGBA, 4), (BMP, 3)])
    def test_the_printed_line_gives_the_channel_count(self, capsys, data, channels):
        SimpleImage.open(data)
        assert capsys.readouterr().out == opened_line(3, 2, channels)


def returning(result):
    """A subclass of SimpleImage whose _streamToImage returns `result`."""
    return type("Fixed", (SimpleImage,), {"_streamToImage": staticmethod(lambda stream: result)})


class TestThroughSubclasses:
    def test_open_builds_an_instance_of_the_class_it_was_called_on(self):
        class Sub(SimpleImage):
            pass

        assert type(Sub.open(PNG_RGB)) is Sub

    def test_decoded_values_come_from_the_class_stream_to_image(self, capsys):
        image = returning((1, 1, b"abc", "seven", None, None, None, None)).open(b"anything")
        assert image.pixels == b"abc"
        assert capsys.readouterr().out == opened_line(1, 1, "seven")

    @pytest.mark.parametrize("result, error, message", [
        ((1,) * 7, ValueError, "need more than 7 values to unpack"),
        ((1,) * 9, ValueError, "too many values to unpack (expected 8)"),
        (iter([1] * 9), ValueError, "too many values to unpack (expected 8)"),
        (5, TypeError, "'int' object is not iterable"),
    ])
    def test_a_result_of_the_wrong_shape_is_refused(self, capsys, result, error, message):
        with pytest.raises(error) as raised:
            returning(result).open(PNG_RGB)
        assert str(raised.value) == message
        assert capsys.readouterr().out == ""

    def test_a_refused_construction_prints_nothing(self, capsys):
        with pytest.raises(ValueError, match="^Pixel data length does not match image dimensions$"):
            returning((2, 2, b"abc", 3, None, None, None, None)).open(PNG_RGB)
        assert capsys.readouterr().out == ""

    def test_a_constructor_returning_something_else_is_refused_before_printing(self, capsys):
        class Odd(SimpleImage):
            def __new__(cls, *args):
                return "not an image"

        with pytest.raises(TypeError) as raised:
            Odd.open(PNG_RGB)
        assert str(raised.value) == "Cannot convert str to Corvane.simpleImage_ext.SimpleImage"
        assert capsys.readouterr().out == ""


class TestOwnership:
    def test_the_image_never_shares_buffers_that_stream_to_image_kept(self, monkeypatch):
        kept = []
        decode = SimpleImage._streamToImage

        def keeping(stream):
            kept.append(decode(stream))
            return kept[-1]

        monkeypatch.setattr(SimpleImage, "_streamToImage", staticmethod(keeping))
        image = SimpleImage.open(PNG_RGBA)
        _, _, pixels, _, alpha, _, _, filters = kept[0]
        assert image.pixels == pixels and image.pixels is not pixels
        assert image._alpha == alpha and image._alpha is not alpha
        assert image._png_filters == filters and image._png_filters is not filters

    def test_an_initialiser_set_on_the_class_runs_for_the_opened_image(self, monkeypatch):
        calls = []
        monkeypatch.setattr(SimpleImage, "__init__", lambda self, *args: calls.append(args))
        image = SimpleImage.open(PNG_RGB)
        assert len(calls) == 1 and calls[0][2] == RGB and image.pixels == RGB


class TestSurface:
    def test_qualified_names(self):
        assert SimpleImage.open.__qualname__ == "SimpleImage.open"
        assert SimpleImage._streamToImage.__qualname__ == "SimpleImage._streamToImage"

    @pytest.mark.parametrize("call, message", [
        (lambda: SimpleImage.open(), r"open\(\) takes exactly 1 positional argument \(0 given\)"),
        (lambda: SimpleImage.open(PNG_RGB, BMP),
         r"open\(\) takes exactly 1 positional argument \(2 given\)"),
        (lambda: SimpleImage.open(PNG_RGB, mode="rb"),
         r"open\(\) got an unexpected keyword argument 'mode'"),
        (lambda: SimpleImage._streamToImage(),
         r"_streamToImage\(\) takes exactly 1 positional argument \(0 given\)"),
    ])
    def test_argument_errors_use_the_standard_wording(self, call, message):
        with pytest.raises(TypeError, match=f"^{message}$"):
            call()

    def test_arguments_bind_by_name(self):
        assert SimpleImage.open(source=BMP).size == (3, 2)
        assert SimpleImage._streamToImage(stream=io.BytesIO(BMP))[0] == 3


class TestModuleNamesAtEachCall:
    def test_png_signature(self, restore_module_attributes):
        restore_module_attributes.PNG_SIGNATURE = b"BM"
        with pytest.raises(ValueError, match="^Unsupported PNG signature$"):
            SimpleImage.open(BMP)

    def test_bytes_io_and_path(self, restore_module_attributes, tmp_path):
        ext = restore_module_attributes
        made = []
        ext.BytesIO = lambda data: made.append(data) or io.BytesIO(data)
        SimpleImage.open(BMP)
        assert made == [BMP]

        class Location:
            def __init__(self, path):
                self.path = path

            def __fspath__(self):
                return str(self.path)

        (tmp_path / "a.bmp").write_bytes(BMP)
        ext.Path = Location
        assert SimpleImage.open(Location(tmp_path / "a.bmp")).size == (3, 2)
        with pytest.raises(TypeError, match="^source must be a file path or raw bytes$"):
            SimpleImage.open(tmp_path / "a.bmp")

    def test_read_chunk_zlib_and_struct(self, restore_module_attributes):
        ext = restore_module_attributes
        calls = []

        def tracing(name, function):
            def traced(*args):
                calls.append((name, args[0] if args and isinstance(args[0], str) else None))
                return function(*args)
            return traced

        ext._readChunk = tracing("_readChunk", ext._readChunk)
        # A stand-in zlib needs only decompress, called once with the joined data.
        ext.zlib = types.SimpleNamespace(decompress=tracing("decompress", zlib.decompress),
                                         crc32=zlib.crc32)
        ext.struct = types.SimpleNamespace(unpack=tracing("unpack", ext.struct.unpack),
                                           pack=ext.struct.pack)
        SimpleImage.open(PNG_RGB)
        assert [name for name, _ in calls].count("_readChunk") == 3
        assert [name for name, _ in calls].count("decompress") == 1
        assert ("unpack", ">IIBBBBB") in calls
        calls.clear()
        SimpleImage.open(BMP)
        assert calls == [("unpack", "<IHHI"), ("unpack", "<I"), ("unpack", "<iiHHIIiiII")]

