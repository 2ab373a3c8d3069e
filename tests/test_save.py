"""`SimpleImage.save`: the writer is chosen by the image's side data, never by
the file name."""

import pathlib
import traceback

import pytest

from imagefiles import bmp_fields, ihdr_data, parse_png

PIXELS = bytes(range(2 * 2 * 3))
CHUNKS = [(b"IHDR", ihdr_data(2, 2), 13), (b"tEXt", b"k\x00v", 3), (b"IDAT", None, 20),
          (b"IEND", b"", 0)]


@pytest.fixture
def image(ext):
    return ext.SimpleImage(2, 2, PIXELS, alpha=bytes(4), png_filters=bytes([1, 4]))


class TestWriterChoice:
    def test_image_without_side_data_saves_as_plain_png(self, ext, image, tmp_path):
        image.save(str(tmp_path / "a.bmp"))
        ext._writePng(str(tmp_path / "b.png"), 2, 2, PIXELS, bytearray(4), bytearray([1, 4]))
        assert (tmp_path / "a.bmp").read_bytes() == (tmp_path / "b.png").read_bytes()

    def test_bmp_record_saves_as_bmp_whatever_the_name(self, ext, image, tmp_path):
        image._bmp_header = {"xppm": 1000, "yppm": 2000, "clrUsed": 0, "clrImportant": 0}
        image.save(str(tmp_path / "a.png"))
        data = (tmp_path / "a.png").read_bytes()
        assert data[:2] == b"BM" and bmp_fields(data)["yppm"] == 2000

    def test_chunk_list_wins_over_bmp_record(self, ext, image, tmp_path):
        image._png_chunks = CHUNKS
        image._bmp_header = {}
        image.save(str(tmp_path / "a.bmp"))
        chunks = parse_png((tmp_path / "a.bmp").read_bytes())
        assert [t for t, _ in chunks] == [b"IHDR", b"tEXt", b"IDAT", b"IEND"]

    @pytest.mark.parametrize("chunks", [[], None])
    def test_empty_or_removed_chunk_list_gives_the_plain_png(self, ext, image, tmp_path,
                                                             chunks):
        image._png_chunks = chunks
        image.save(str(tmp_path / "a.png"))
        image._png_chunks = None
        image.save(str(tmp_path / "b.png"))
        assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes()
        assert parse_png((tmp_path / "a.png").read_bytes())[0][1] == ihdr_data(2, 2,
                                                                              colour_type=6)

    @pytest.mark.parametrize("side_data, writer, expected", [
        ({}, "_writePng", ("alpha", "png_filters")),
        ({"_bmp_header": {"xppm": 1}}, "_writeBmp", ("bmp_header",)),
        ({"_png_chunks": []}, "_writePngWithChunks", ("alpha", "png_chunks", "png_filters")),
    ])
    def test_writer_looked_up_in_the_module_gets_the_images_own_objects(
            self, ext, image, restore_module_attributes, side_data, writer, expected):
        for name, value in side_data.items():
            setattr(image, name, value)
        calls = []
        setattr(ext, writer, lambda *args: calls.append(args) or "ignored")
        assert image.save("x.png") is None
        (args,) = calls
        assert args[:3] == ("x.png", 2, 2) and args[3] is image.pixels
        stored = {"alpha": image._alpha, "png_filters": image._png_filters,
                  "bmp_header": image._bmp_header, "png_chunks": image._png_chunks}
        assert all(a is stored[name] for a, name in zip(args[4:], expected, strict=True))

    def test_writer_errors_propagate(self, ext, image, tmp_path):
        image.width = 3
        with pytest.raises(ValueError, match="Pixel data length does not match"):
            image.save(str(tmp_path / "a.png"))
        assert not (tmp_path / "a.png").exists()

    @pytest.mark.parametrize("stand_in", [False, True], ids=["own writer", "Python writer"])
    def test_save_adds_its_line_to_the_traceback(self, ext, image, restore_module_attributes,
                                                 stand_in):
        def failing_writer(*args):
            raise OSError("disk full")

        if stand_in:
            ext._writePng = failing_writer
        image.width = 3
        with pytest.raises((OSError, ValueError)) as raised:
            image.save("a.png")
        names = [entry.name for entry in traceback.extract_tb(raised.tb)]
        # The caller, then save, then the writer's own frame if it has one.
        expected = ["save", "failing_writer"] if stand_in else ["save"]
        assert names[-len(expected):] == expected and len(names) == len(expected) + 1


class TestPathArgument:
    @pytest.mark.parametrize("path, type_name", [(None, "NoneType"),
                                                 (pathlib.Path("a.png"), "PosixPath"),
                                                 (b"a.png", "bytes")])
    def test_path_must_be_exactly_str(self, image, path, type_name):
        with pytest.raises(TypeError) as raised:
            image.save(path)
        assert str(raised.value) == (f"Argument 'path' has incorrect type (expected str, "
                                     f"got {type_name})")
        assert not getattr(raised.value, "__notes__", None)

    def test_str_subclass_is_refused_with_a_note(self, image, tmp_path):
        class Name(str):
            pass

        with pytest.raises(TypeError) as raised:
            image.save(Name(tmp_path / "a.png"))
        assert "got Name" in str(raised.value)
        assert "str(value)" in raised.value.__notes__[0]
        assert not (tmp_path / "a.png").exists()

    @pytest.mark.parametrize("args, given", [((), 0), (("a", "b"), 2)])
    def test_exactly_one_argument(self, image, args, given):
        with pytest.raises(TypeError) as raised:
            image.save(*args)
        assert str(raised.value) == f"save() takes exactly 1 positional argument ({given} given)"
