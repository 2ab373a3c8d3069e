"""Writing plain PNG files with `_writePng`."""

import struct
import types
import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image

from imagefiles import (PNG_SIGNATURE, filter_scanlines, idat_stream, ihdr_data, parse_png,
                        raw_rows, unfilter_scanlines)

TWO_PIXELS = bytes([10, 20, 30, 40, 50, 60])
# The fixtures used by the property tests (the module, a scratch directory) keep no
# state between examples.
examples = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])



def stream_of(ext, target, width, height, pixels, alpha=None, filters=None):
    ext._writePng(str(target), width, height, pixels, alpha, filters)
    return idat_stream(target.read_bytes())


class TestFileLayout:
    def test_one_pixel_gives_signature_ihdr_one_idat_and_iend(self, ext, target):
        ext._writePng(str(target), 1, 1, bytearray([10, 20, 30]))
        data = target.read_bytes()
        assert data.startswith(PNG_SIGNATURE)
        chunks = parse_png(data)
        assert [t for t, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"]
        assert chunks[0][1] == bytes.fromhex("00000001 00000001 08 02 00 00 00")
        assert zlib.decompress(chunks[1][1]) == bytes.fromhex("000a141e")
        assert chunks[2][1] == b""

    def test_alpha_gives_colour_type_6_and_rgba_rows(self, ext, target):
        assert stream_of(ext, target, 1, 1, b"\x0a\x14\x1e", bytearray([40])) == bytes.fromhex(
            "000a141e28")
        assert parse_png(target.read_bytes())[0][1] == ihdr_data(1, 1, colour_type=6)

    def test_large_image_data_stays_in_one_idat_chunk(self, ext, target):
        noise = bytes((i * 7919 + i // 13) & 255 for i in range(300 * 300 * 3))
        ext._writePng(str(target), 300, 300, noise)
        assert [t for t, _ in parse_png(target.read_bytes())].count(b"IDAT") == 1

    def test_all_zero_filter_list_writes_the_same_file_as_none(self, ext, tmp_path):
        ext._writePng(str(tmp_path / "a.png"), 2, 1, TWO_PIXELS)
        ext._writePng(str(tmp_path / "b.png"), 2, 1, TWO_PIXELS, None, bytearray(1))
        assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes()

    def test_path_may_be_bytes_or_path_object(self, ext, target):
        ext._writePng(target, 1, 1, bytes(3))
        first = target.read_bytes()
        ext._writePng(str(target).encode(), 1, 1, bytes(3))
        assert target.read_bytes() == first


class TestForwardFilters:
    @pytest.mark.parametrize("filter_type, row", [
        (1, "0a141e1e1e1e"),
        (2, "0a141e28323c"),
        (3, "0a141e23282d"),
        (4, "0a141e1e1e1e"),
    ])
    def test_first_row_of_two_pixels(self, ext, target, filter_type, row):
        stream = stream_of(ext, target, 2, 1, TWO_PIXELS, None, bytearray([filter_type]))
        assert stream == bytes([filter_type]) + bytes.fromhex(row)

    def test_subtraction_wraps_modulo_256(self, ext, target):
        stream = stream_of(ext, target, 2, 1, bytes([10, 0, 0, 5, 0, 0]), None, bytearray([1]))
        assert stream[4] == 0xFB

    def test_average_forms_the_full_sum_before_halving(self, ext, target):
        pixels = bytes([255] * 6) + bytes([255, 255, 255, 0, 0, 0])
        stream = stream_of(ext, target, 2, 2, pixels, None, bytearray([0, 3]))
        assert stream[7 + 4:7 + 7] == bytes([1, 1, 1])

    def test_neighbours_above_are_the_raw_bytes_of_the_previous_row(self, ext, target):
        stream = stream_of(ext, target, 2, 2, TWO_PIXELS * 2, None, bytearray([1, 2]))
        assert stream[7:] == bytes([2]) + bytes(6)

    def test_height_zero_gives_an_empty_stream(self, ext, target):
        assert stream_of(ext, target, 5, 0, b"") == b""

    def test_width_zero_gives_one_filter_byte_per_row(self, ext, target):
        assert stream_of(ext, target, 0, 3, b"", None, bytearray([1, 2, 4])) == b"\x01\x02\x04"

    @examples
    @given(data=st.data(), width=st.integers(0, 9), height=st.integers(0, 6),
           with_alpha=st.booleans())
    def test_stream_matches_the_reference_filters(self, ext, tmp_path, data, width, height,
                                                  with_alpha):
        rgb = data.draw(st.binary(min_size=width * height * 3, max_size=width * height * 3))
        alpha = (data.draw(st.binary(min_size=width * height, max_size=width * height))
                 if with_alpha else None)
        filters = data.draw(st.lists(st.integers(0, 4), min_size=height, max_size=height))
        path = tmp_path / "h.png"
        ext._writePng(str(path), width, height, rgb,
                      bytearray(alpha) if with_alpha else None, bytearray(filters))
        bpp = 4 if with_alpha else 3
        stream = idat_stream(path.read_bytes())
        assert stream == filter_scanlines(raw_rows(width, height, rgb, alpha), filters, bpp)
        assert unfilter_scanlines(stream, width, height, bpp) == (
            raw_rows(width, height, rgb, alpha), filters)

    def test_pillow_reads_back_the_pixels_and_alpha(self, ext, target):
        rgb = bytes(range(3 * 12))
        alpha = bytearray(range(100, 112))
        ext._writePng(str(target), 4, 3, rgb, alpha, bytearray([4, 3, 1]))
        with Image.open(target) as image:
            assert image.mode == "RGBA" and image.size == (4, 3)
            assert image.tobytes() == b"".join(raw_rows(4, 3, rgb, alpha))


class TestArguments:
    @pytest.mark.parametrize("pixels", [bytes(6), list(range(6)), memoryview(bytes(6))])
    def test_pixels_need_only_length_and_bytearray_conversion(self, ext, target, pixels):
        ext._writePng(str(target), 2, 1, pixels)
        assert idat_stream(target.read_bytes()) == b"\x00" + bytes(bytearray(pixels))

    def test_callers_pixels_are_not_changed(self, ext, target):
        pixels = bytearray(TWO_PIXELS)
        ext._writePng(str(target), 2, 1, pixels, None, bytearray([4]))
        assert pixels == TWO_PIXELS

    def test_keywords_and_float_dimensions(self, ext, target):
        ext._writePng(path=str(target), width=2.9, height=1, pixels=TWO_PIXELS,
                      filter_types=bytearray([1]))
        assert parse_png(target.read_bytes())[0][1] == ihdr_data(2, 1)

    def test_strided_alpha_view_is_read_in_order(self, ext, target):
        alpha = memoryview(bytearray([9, 0, 8, 0]))[::2]
        assert stream_of(ext, target, 2, 1, TWO_PIXELS, alpha) == bytes.fromhex(
            "000a141e0928323c08")


def fails_before_opening(ext, existing, exception, message, width, height, pixels, alpha=None,
                         filters=None):
    existing.refuses(lambda path: ext._writePng(path, width, height, pixels, alpha, filters),
                     exception, message)


class TestFailuresLeaveTheFileUnchanged:
    @pytest.mark.parametrize("width, height, pixels, exception, message", [
        ("2", 1, bytes(6), TypeError, "an integer is required"),
        (2 ** 31, 1, bytes(6), OverflowError, "value too large to convert to int"),
        (-1, -2, bytes(6), struct.error, None),
        (-1, 0, b"", struct.error, None),
    ])
    def test_dimensions(self, ext, existing, width, height, pixels, exception, message):
        fails_before_opening(ext, existing, exception, message, width, height, pixels)

    @pytest.mark.parametrize("pixels, alpha, message", [
        (bytes(5), None, "Pixel data length does not match image dimensions"),
        (bytes(6), bytearray(3), "Alpha channel length does not match image dimensions"),
    ])
    def test_buffer_lengths(self, ext, existing, pixels, alpha, message):
        fails_before_opening(ext, existing, ValueError, message, 2, 1, pixels, alpha)

    def test_pixels_refused_by_bytearray(self, ext, existing):
        fails_before_opening(ext, existing, ValueError, None, 2, 1, [300] * 6)

    @pytest.mark.parametrize("height, filters, message", [
        (2, bytearray(3), "PNG filter count does not match image height"),
        (2, bytearray(1), "PNG filter count does not match image height"),
        (4, bytearray([0, 0, 0, 5]), "Unsupported PNG filter: 5"),
        (2, bytearray([0, 255]), "Unsupported PNG filter: 255"),
    ])
    def test_filter_list(self, ext, existing, height, filters, message):
        fails_before_opening(ext, existing, ValueError, message, 1, height, bytes(3 * height),
                             None, filters)

    @pytest.mark.parametrize("alpha, filters, exception", [
        (bytes(2), None, BufferError),
        (None, [0], TypeError),
        (None, b"\x00", BufferError),
        (memoryview(bytearray(2)).cast("B", (2, 1)), None, ValueError),
        (memoryview(bytearray(4)).cast("h"), None, ValueError),
    ])
    def test_buffers_that_are_not_writable_unsigned_byte_vectors(self, ext, existing, alpha,
                                                                 filters, exception):
        fails_before_opening(ext, existing, exception, None, 2, 1, bytes(6), alpha, filters)


class TestArgumentBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda ext: ext._writePng("x", 1, 1), "_writePng() takes at least 4 positional "
                                               "arguments (3 given)"),
        (lambda ext: ext._writePng(*"abcdefg"), "_writePng() takes at most 6 positional "
                                                "arguments (7 given)"),
        (lambda ext: ext._writePng("x", 1, 1, b"", level=9),
         "_writePng() got an unexpected keyword argument 'level'"),
    ])
    def test_argument_errors(self, ext, call, message):
        with pytest.raises(TypeError) as raised:
            call(ext)
        assert str(raised.value) == message


class TestModuleAttributes:
    def test_compress_through_module_zlib_once_without_level(self, ext, target,
                                                              restore_module_attributes):
        calls = []

        def compress(*args):
            calls.append(args)
            return zlib.compress(*args)

        ext.zlib = types.SimpleNamespace(compress=compress, crc32=zlib.crc32)
        ext._writePng(str(target), 2, 1, TWO_PIXELS, None, bytearray([1]))
        assert calls == [(bytes([1, 10, 20, 30, 30, 30, 30]),)]

    def test_ihdr_packed_through_module_struct(self, ext, target, packed_formats):
        ext._writePng(str(target), 1, 1, bytes(3))
        assert packed_formats[0] == ">IIBBBBB"

    def test_chunks_built_by_module_make_chunk_after_module_signature(
            self, ext, target, restore_module_attributes):
        ext.PNG_SIGNATURE = b"SIG"
        ext._makeChunk = lambda chunk_type, data: b"<" + chunk_type + b">"
        ext._writePng(str(target), 1, 1, bytes(3))
        assert target.read_bytes() == b"SIG<IHDR><IDAT><IEND>"

    def test_failing_rebound_make_chunk_leaves_the_file_unchanged(
            self, ext, existing, restore_module_attributes):
        del ext._makeChunk
        fails_before_opening(ext, existing, NameError, None, 1, 1, bytes(3))
