"""Adversarial sizes: files and arguments whose headers or lengths promise far
more than they hold. Each case runs in a child interpreter, whose peak resident
memory must stay near what the input really holds."""

import struct
import zlib

import pytest

from imagefiles import (PNG_SIGNATURE, bmp_headers, ihdr_data, png_file,
                        png_with_image_data, zlib_bomb)
from conftest import noise
from subprocesses import open_in_child, plain_memory_only
from subprocesses import run_python

pytestmark = plain_memory_only

SOURCES = ["bytes", "path"]
BOUND_MIB = 32


def opened(tmp_path, data: bytes, source: str, save: bool = False):
    path = tmp_path / "input"
    path.write_bytes(data)
    return open_in_child(path, source, tmp_path / "output" if save else None)


class TestPngBombs:
    @pytest.mark.parametrize("source", SOURCES)
    @pytest.mark.parametrize("idat_size", [None, 1000], ids=["one IDAT", "1000-byte IDATs"])
    @pytest.mark.parametrize("ending, expected", [
        ("clean", "ValueError: Malformed PNG image data"),
        ("wrong checksum", "error: Error -3 while decompressing data: incorrect data check"),
    ], ids=["clean", "wrong checksum"])
    def test_a_gigabyte_past_the_declared_size_is_inflated_without_being_kept(
            self, tmp_path, source, idat_size, ending, expected):
        # The verdict is zlib's before the size check's, so the whole stream is
        # inflated; only what the header allows is kept.
        bomb = bytearray(zlib_bomb(1024))  # 1 GiB of zeros in about 1 MB
        if ending == "wrong checksum":
            bomb[-1] ^= 1
        sizes = [idat_size] * (len(bomb) // idat_size) if idat_size else None
        outcome, growth = opened(tmp_path, png_with_image_data(ihdr_data(1, 1), bytes(bomb),
                                                               sizes), source)
        assert outcome == expected
        # Bytes are read where they lie; a file's chunks are read, and held,
        # before anything is inflated.
        held = 0 if source == "bytes" else len(bomb) >> 20
        assert growth <= held + 2


class TestPngLyingHeaders:
    @pytest.mark.parametrize("compressed", ["plausible", "implausible"])
    def test_a_header_claiming_more_costs_what_the_data_inflates(self, tmp_path, compressed):
        # The header claims 1.5 GiB of image data; the data inflates to 384 MiB,
        # from enough compressed bytes to make the claim plausible, or from few.
        width, height = 8192, 65536
        prefix = noise(2 << 20) if compressed == "plausible" else b""
        data = png_with_image_data(ihdr_data(width, height), zlib_bomb(384, prefix))
        outcome, growth = opened(tmp_path, data, "bytes")
        assert outcome == "ValueError: Malformed PNG image data"
        inflated = 384 + len(prefix) / 2**20
        assert growth < 1.1 * inflated


class TestPngPeakMemory:
    @pytest.mark.parametrize("colour_type, channels", [(2, 3), (6, 4)])
    @pytest.mark.parametrize("source", SOURCES)
    def test_a_large_image_costs_little_more_than_its_planes(self, tmp_path, colour_type,
                                                             channels, source):
        # Planes of width x height x channels bytes in all; the inflated stream
        # becomes the pixel plane, so it is not held beside it.
        width, height = 3000, 2000
        stream = bytes(height * (width * channels + 1))
        data = png_with_image_data(ihdr_data(width, height, colour_type=colour_type),
                                   zlib.compress(stream), [5000] * 4)
        outcome, growth = opened(tmp_path, data, source)
        assert outcome == "decoded"
        assert growth * 2**20 < 1.4 * width * height * channels


    @pytest.mark.parametrize("source", SOURCES)
    def test_the_filter_list_of_rows_without_pixels_is_held_once(self, tmp_path, source):
        # Width 0: the image data is nothing but one filter byte per row.
        height = 1 << 28
        data = png_with_image_data(ihdr_data(0, height), zlib_bomb(height >> 20))
        outcome, growth = opened(tmp_path, data, source)
        assert outcome == "decoded"
        assert growth << 20 < 1.3 * height


class TestPngHeaders:
    @pytest.mark.parametrize("colour_type", [2, 6])
    def test_a_width_near_2_31_without_rows_opens_and_saves(self, tmp_path, colour_type):
        # A valid image of no rows; its rows, had it any, would be 6 to 8 GiB long.
        data = png_with_image_data(ihdr_data(2**31 - 1, 0, colour_type=colour_type),
                                   zlib.compress(b""))
        outcome, growth = opened(tmp_path, data, "bytes", save=True)
        assert (outcome, growth < BOUND_MIB) == ("saved", True)

    @pytest.mark.parametrize("width", [2**31, 2**32 - 1])
    def test_widths_beyond_2_31_overflow(self, tmp_path, width):
        data = png_file([(b"IHDR", struct.pack(">IIBBBBB", width, 1, 8, 2, 0, 0, 0))])
        outcome, growth = opened(tmp_path, data, "bytes")
        assert outcome == "OverflowError: value too large to convert to int"
        assert growth < BOUND_MIB

    @pytest.mark.parametrize("width, height, colour_type", [
        (2**15, 2**14, 6),          # width x height x 4 = 2**31
        (2**15 - 1, 2**14, 6),      # just below
        (26755, 26755, 2),          # width x height x 3 just below 2**31
        (2**31 - 1, 2**31 - 1, 6),  # beyond 64 bits once the filter bytes are added
    ])
    def test_image_sizes_near_2_31_with_little_data_are_malformed(self, tmp_path, width,
                                                                  height, colour_type):
        data = png_with_image_data(ihdr_data(width, height, colour_type=colour_type),
                                   zlib_bomb(64))
        outcome, growth = opened(tmp_path, data, "bytes")
        assert outcome == "ValueError: Malformed PNG image data"
        assert growth < 64 + BOUND_MIB  # what was really inflated, and no more

    @pytest.mark.parametrize("source", SOURCES)
    @pytest.mark.parametrize("length", [2**31, 2**32 - 1])
    def test_chunk_lengths_near_2_32_stop_at_the_end_of_the_data(self, tmp_path, source,
                                                                 length):
        # From a path the file object's read(n) reserves n bytes of address space
        # up front, but touches only the bytes that the file holds.
        data = PNG_SIGNATURE + struct.pack(">I", length) + b"IHDR" + bytes(100)
        outcome, growth = opened(tmp_path, data, source)
        assert outcome == "ValueError: Unexpected EOF while reading chunk data"
        assert growth < BOUND_MIB


class TestBmpHeaders:
    @pytest.mark.parametrize("source", SOURCES)
    @pytest.mark.parametrize("offset", [54, 2**32 - 1], ids=["offset 54", "offset past the end"])
    def test_60000_by_60000_pixels_in_54_bytes(self, tmp_path, source, offset):
        outcome, growth = opened(tmp_path, bmp_headers(60000, 60000, offset=offset), source)
        assert outcome == "ValueError: Incomplete BMP pixel data"
        assert growth < BOUND_MIB  # zero-filling the pixel buffer would take 10800 MB

    def test_a_width_near_2_31_without_rows_opens_and_saves(self, tmp_path):
        outcome, growth = opened(tmp_path, bmp_headers(2**31 - 1, 0), "bytes", save=True)
        assert (outcome, growth < BOUND_MIB) == ("saved", True)


class TestWriters:
    @pytest.mark.parametrize("alpha", ["None", "bytearray()"])
    @pytest.mark.parametrize("writer", [
        "ext._writePng(path, 2**31 - 1, 0, b'', {alpha})",
        "ext._writePngWithChunks(path, 2**31 - 1, 0, b'', {alpha}, [(b'IEND', b'', 0)])",
        "ext.SimpleImage(2**31 - 1, 0, b'', {alpha}).save(path)",
    ], ids=["_writePng", "_writePngWithChunks", "save"])
    def test_an_image_without_rows_allocates_no_row(self, tmp_path, writer, alpha):
        out = run_python(f"""
            path = {str(tmp_path / "empty.png")!r}
            before = reset_peak_rss_kib()
            {writer.format(alpha=alpha)}
            print(peak_rss_kib() - before)
        """)
        assert int(out) < BOUND_MIB * 1024
