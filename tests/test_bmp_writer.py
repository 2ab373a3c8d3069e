"""Writing BMP files with `_writeBmp`."""

import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image

from imagefiles import bmp_fields, make_bmp
from subprocesses import plain_memory_only
from subprocesses import run_python



def written(ext, target, *args, **kwargs):
    ext._writeBmp(str(target), *args, **kwargs)
    return target.read_bytes()


class TestLayout:
    def test_one_pixel_file(self, ext, target):
        expected = (b"BM" + struct.pack("<IHHI", 58, 0, 0, 54)
                    + struct.pack("<IIIHHIIIIII", 40, 1, 1, 1, 24, 0, 4, 2835, 2835, 0, 0)
                    + bytes([30, 20, 10, 0]))
        assert written(ext, target, 1, 1, bytearray([10, 20, 30])) == expected

    @pytest.mark.parametrize("width", [4, 5])
    def test_rows_are_bottom_up_and_padded_with_zeros(self, ext, target, width):
        rgb = bytes(range(width * 2 * 3))
        assert written(ext, target, width, 2, rgb) == make_bmp(width, 2, rgb)

    def test_height_zero_gives_only_the_headers(self, ext, target):
        data = written(ext, target, 3, 0, b"")
        assert len(data) == 54 and bmp_fields(data)["file_size"] == 54
        assert bmp_fields(data)["image_size"] == 0

    @settings(max_examples=40, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(data=st.data(), width=st.integers(0, 9), height=st.integers(0, 5))
    def test_matches_the_reference_file_and_pillow(self, ext, target, data, width, height):
        rgb = data.draw(st.binary(min_size=width * height * 3, max_size=width * height * 3))
        assert written(ext, target, width, height, rgb) == make_bmp(width, height, rgb)
        if width and height:
            with Image.open(target) as image:
                assert image.tobytes() == rgb

    def test_surplus_pixel_bytes_are_ignored(self, ext, tmp_path):
        exact = written(ext, tmp_path / "a.bmp", 2, 1, bytes(range(6)))
        assert written(ext, tmp_path / "b.bmp", 2, 1, bytes(range(9))) == exact


class TestArguments:
    def test_pixels_as_bytes_list_or_bytearray_and_float_width(self, ext, tmp_path):
        files = {written(ext, tmp_path / f"{i}.bmp", width, 1, pixels)
                 for i, (width, pixels) in enumerate([
                     (3, bytearray(range(9))), (3, bytes(range(9))), (3, list(range(9))),
                     (3.0, bytes(range(9))), (3.9, bytes(range(9)))])}
        assert len(files) == 1

    @pytest.mark.parametrize("meta, fields", [
        (None, (2835, 2835, 0, 0)),
        ({}, (2835, 2835, 0, 0)),
        ({"xppm": 3000, "other": "ignored"}, (3000, 2835, 0, 0)),
        ({"xppm": 3779.9, "yppm": "42", "clrUsed": 2, "clrImportant": True}, (3779, 42, 2, 1)),
    ])
    def test_meta_values_and_defaults(self, ext, target, meta, fields):
        data = written(ext, target, 1, 1, bytes(3), meta)
        values = bmp_fields(data)
        assert (values["xppm"], values["yppm"], values["clr_used"],
                values["clr_important"]) == fields

    def test_meta_is_read_through_its_get_method(self, ext, target):
        keys = []

        class Record:
            def get(self, key, default):
                keys.append(key)
                return default + 1

        data = written(ext, target, 1, 1, bytes(3), meta=Record())
        assert keys == ["xppm", "yppm", "clrUsed", "clrImportant"]
        assert bmp_fields(data)["clr_important"] == 1

    @pytest.mark.parametrize("call, message", [
        (lambda ext: ext._writeBmp("x", 1, 1),
         "_writeBmp() takes at least 4 positional arguments (3 given)"),
        (lambda ext: ext._writeBmp(*"abcdef"),
         "_writeBmp() takes at most 5 positional arguments (6 given)"),
        (lambda ext: ext._writeBmp("x", 1, 1, b"", header=None),
         "_writeBmp() got an unexpected keyword argument 'header'"),
    ])
    def test_argument_errors(self, ext, call, message):
        with pytest.raises(TypeError) as raised:
            call(ext)
        assert str(raised.value) == message

    def test_headers_are_packed_through_module_struct(self, ext, target, packed_formats):
        written(ext, target, 1, 1, bytes(3))
        assert packed_formats == ["<IHHI", "<IIIHHIIIIII"]


class TestFailuresLeaveTheFileUnchanged:
    @pytest.mark.parametrize("width, height, pixels, meta, exception, message", [
        (None, 1, bytes(3), None, TypeError, "an integer is required"),
        (1, 2 ** 31, bytes(3), None, OverflowError, "value too large to convert to int"),
        (1, 1, bytes(3), 5, AttributeError, None),
        (1, 1, bytes(3), {"yppm": "dense"}, ValueError, None),
        (1, 1, [300, 0, 0], None, ValueError, None),
        (1, 1, None, None, TypeError, None),
        (1, -1, bytes(3), None, struct.error, None),
        (-3, 1, bytes(3), None, struct.error, None),
        (1, 1, bytes(3), {"xppm": -1}, struct.error, None),
        (1, 1, bytes(3), {"clrUsed": 2 ** 32}, struct.error, None),
        (65536, 65536, bytes(3), None, struct.error, None),
        (2, 2, bytes(11), None, IndexError, "bytearray index out of range"),
    ])
    def test_checks_made_before_opening(self, ext, existing, width, height, pixels, meta,
                                        exception, message):
        existing.refuses(lambda path: ext._writeBmp(path, width, height, pixels, meta),
                         exception, message)


@plain_memory_only
def test_no_output_buffer_of_the_image_size(tmp_path):
    """Peak memory grows by far less than the 48 MB image while it is written."""
    out = run_python(f"""
        pixels = bytearray(b"\\x7f") * (4000 * 4000 * 3)
        before = reset_peak_rss_kib()
        ext._writeBmp({str(tmp_path / "big.bmp")!r}, 4000, 4000, pixels)
        print(peak_rss_kib() - before)
    """)
    assert int(out) < 8 * 1024
