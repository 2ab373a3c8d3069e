"""BMP decoding: row order and padding, the pixel array's offset, the header
record, every refusal, the rows' types and the 32-bit limits."""

import io
import struct
import types

import pytest

from Corvane import SimpleImage
from conftest import decode, noise
from imagefiles import bmp_headers, make_bmp
from streams import ConvertingStream, RecordingStream


class TestRows:
    @pytest.mark.parametrize("width", [1, 2, 3, 4, 5])
    def test_bottom_up_and_top_down_files_decode_alike(self, width):
        rgb = noise(width * 3 * 3, seed=width)
        bottom_up = decode(make_bmp(width, 3, rgb, padding_byte=0xAB))
        top_down = decode(make_bmp(width, 3, rgb, top_down=True, padding_byte=0x00))
        assert bottom_up == top_down
        assert bottom_up[:3] == (width, 3, rgb)

    def test_decoded_tuple_and_header_record(self):
        data = make_bmp(2, 2, noise(12), xppm=-5, yppm=3780, clr_used=7, clr_important=2**32 - 1)
        width, height, pixels, channels, alpha, chunks, record, filters = decode(data)
        assert (width, height, channels, alpha, chunks, filters) == (2, 2, 3, None, None, None)
        assert type(pixels) is bytearray and pixels == noise(12)
        assert list(record.items()) == [("xppm", -5), ("yppm", 3780), ("clrUsed", 7),
                                        ("clrImportant", 2**32 - 1)]

    def test_reads_headers_seeks_once_and_reads_one_call_per_row(self):
        stream = RecordingStream(make_bmp(3, 2, noise(18), gap=b"\xee" * 10))
        SimpleImage._streamToImage(stream)
        assert stream.calls[2:] == [("read", 14), ("read", 4), ("read", 36), ("seek", 64),
                                    ("read", 12), ("read", 12)]

    def test_bytes_between_headers_and_pixels_are_skipped(self):
        assert decode(make_bmp(2, 2, noise(12), gap=bytes(range(256)) * 4))[2] == noise(12)

    def test_an_offset_inside_the_headers_reads_rows_from_there(self):
        data = make_bmp(2, 1, noise(6), offset=0)
        assert decode(data)[2] == bytes([data[2], data[1], data[0], data[5], data[4], data[3]])

    def test_size_fields_are_not_checked(self):
        data = bytearray(make_bmp(3, 3, noise(27)))
        data[2:6] = bytes(4)
        data[34:38] = struct.pack("<I", 999_999)
        assert decode(bytes(data))[2] == noise(27)

    def test_bytes_after_the_last_row_are_ignored(self):
        assert decode(make_bmp(2, 2, noise(12), trailing=b"more"))[2] == noise(12)

    @pytest.mark.parametrize("data", [
        make_bmp(3, 3, noise(27))[:-1],
        make_bmp(3, 3, noise(27), offset=10_000),
    ], ids=["ends inside the last row", "offset past the end"])
    def test_missing_row_bytes_are_incomplete(self, data):
        with pytest.raises(ValueError, match="^Incomplete BMP pixel data$"):
            decode(data)


class TestEmptyImages:
    def test_height_zero_reads_no_row_but_still_seeks(self):
        stream = RecordingStream(bmp_headers(5, 0, offset=99))
        assert SimpleImage._streamToImage(stream)[:3] == (5, 0, b"")
        assert stream.calls[-1] == ("seek", 99)

    @pytest.mark.parametrize("height", [-3, 2**31 - 1, -2**31])
    def test_width_zero_decodes_with_one_empty_row_read(self, height):
        stream = RecordingStream(bmp_headers(0, height))
        assert SimpleImage._streamToImage(stream)[:3] == (0, abs(height), b"")
        assert stream.calls[-2:] == [("seek", 54), ("read", 0)]

    def test_negative_width_with_height_zero_decodes(self):
        assert decode(bmp_headers(-4, 0))[:3] == (-4, 0, b"")

    def test_negative_width_with_rows_fails_as_bytearray_does(self):
        with pytest.raises(ValueError, match="^negative count$"):
            decode(bmp_headers(-4, 2))


ONE_PIXEL = make_bmp(1, 1, bytes(3))
ONLY_INFO_HEADER = "Only BITMAPINFOHEADER BMP files are supported"
ONLY_24_BIT = "Only uncompressed 24-bit BMP files are supported"


class TestRefusals:
    @pytest.mark.parametrize("data, message", [
        (b"BM", "Unsupported BMP header"),
        (ONE_PIXEL[:13], "Unsupported BMP header"),
        (ONE_PIXEL[:14], "Corrupted BMP DIB header"),
        (ONE_PIXEL[:17], "Corrupted BMP DIB header"),
        *((make_bmp(1, 1, bytes(3), header_size=n), ONLY_INFO_HEADER) for n in (12, 108, 124)),
        *((make_bmp(1, 1, bytes(3), **field), ONLY_24_BIT)
          for field in ({"planes": 2}, {"bits": 32}, {"bits": 8}, {"compression": 1})),
    ])
    def test_unsupported_files_are_refused(self, data, message):
        with pytest.raises(ValueError) as raised:
            decode(data)
        assert str(raised.value) == message

    def test_content_that_starts_elsewhere_with_bm_is_judged_from_position_0(self):
        stream = io.BytesIO(b"XX" + make_bmp(1, 1, bytes(3)))
        stream.seek(2)
        with pytest.raises(ValueError, match="^Unsupported BMP header$"):
            SimpleImage._streamToImage(stream)

    def test_a_short_information_header_is_a_struct_error(self):
        with pytest.raises(struct.error):
            decode(make_bmp(1, 1, bytes(3))[:40])


class TestRowTypes:
    @pytest.mark.parametrize("convert, error", [
        (bytearray, "Expected bytes, got bytearray"),
        (type("Tagged", (bytes,), {}), "Expected bytes, got Tagged"),
        (lambda row: None, "object of type 'NoneType' has no len()"),
    ])
    def test_rows_must_be_exact_bytes(self, convert, error):
        stream = ConvertingStream(make_bmp(3, 2, noise(18)), 12, convert)
        with pytest.raises(TypeError) as raised:
            SimpleImage._streamToImage(stream)
        assert str(raised.value) == error


class TestLimits:
    def test_sizes_beyond_an_index_fail_as_bytearray_does(self):
        with pytest.raises(OverflowError) as expected:
            bytearray((2**31 - 1) * 2**31 * 3)
        with pytest.raises(OverflowError) as raised:
            decode(bmp_headers(2**31 - 1, -2**31))
        assert str(raised.value) == str(expected.value)

    @pytest.mark.parametrize("source", ["BytesIO", "BytesIO subclass", "path"])
    @pytest.mark.parametrize("height", [2**30, -2**30], ids=["bottom-up", "top-down"])
    def test_a_header_promising_petabytes_ends_in_missing_rows(self, tmp_path, source,
                                                               height):
        # 3.4 PB: no pixel buffer of that size is ever asked for, whether the
        # source's length is known (bytes, a file) or not (any other stream).
        data = bmp_headers(2**20, height) + noise(1000)
        (tmp_path / "a.bmp").write_bytes(data)
        streams = {"BytesIO": io.BytesIO, "BytesIO subclass": TestStreamsReadInPlace.RowByRow,
                   "path": lambda data: open(tmp_path / "a.bmp", "rb")}
        with streams[source](data) as stream, pytest.raises(ValueError) as raised:
            SimpleImage._streamToImage(stream)
        assert str(raised.value) == "Incomplete BMP pixel data"

    def test_a_row_offset_beyond_32_bits_overflows(self):
        # The bottom row of a 1000 x 1_000_000 image starts at byte 2_999_997_000.
        data = bmp_headers(1000, 1_000_000) + bytes(3000)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            decode(data)


class TestStreamsReadInPlace:
    """A plain io.BytesIO is read from its buffer instead of row by row; a
    subclass is read row by row. Both must end alike, in result, error and
    stream position."""

    class RowByRow(io.BytesIO):
        pass

    CASES = {
        "complete": make_bmp(5, 3, noise(45), trailing=b"tail"),
        "top-down with a gap": make_bmp(2, 4, noise(24), top_down=True, gap=b"g" * 7),
        "last row short": make_bmp(5, 3, noise(45))[:-1],
        "offset past the end": make_bmp(2, 2, noise(12), offset=500),
        "offset inside the headers": make_bmp(3, 2, noise(18), offset=10),
        # 3 MB of rows: a buffer that grows with the rows grows several times.
        "large, bottom-up": make_bmp(1000, 1000, noise(3_000_000)),
        "large, top-down": make_bmp(1000, 1000, noise(3_000_000), top_down=True),
        "large, last row short": make_bmp(1001, 999, noise(3_000_000))[:-5],
    }

    @staticmethod
    def outcome(stream):
        try:
            result = SimpleImage._streamToImage(stream)
        except ValueError as error:
            result = str(error)
        return result, stream.tell()

    @pytest.mark.parametrize("data", CASES.values(), ids=CASES.keys())
    def test_plain_and_derived_streams_end_alike(self, data):
        assert self.outcome(io.BytesIO(data)) == self.outcome(self.RowByRow(data))

    @pytest.mark.parametrize("offset", [2**62, 2**63 - 1])
    def test_offsets_from_a_rebound_struct_stay_checked(self, restore_module_attributes,
                                                        offset):
        def unpack(fmt, data):
            values = struct.unpack(fmt, data)
            return values[:3] + (offset,) if fmt == "<IHHI" else values

        restore_module_attributes.struct = types.SimpleNamespace(unpack=unpack)
        data = make_bmp(2, 2, noise(12))
        assert (self.outcome(io.BytesIO(data)) == self.outcome(self.RowByRow(data))
                == ("Incomplete BMP pixel data", offset))

    def test_reading_in_place_leaves_the_caller_bytes_alone(self):
        data = make_bmp(3, 3, noise(27))
        stream = io.BytesIO(data)
        SimpleImage._streamToImage(stream)
        assert stream.getvalue() == data
        stream.write(b"more")              # the stream stays usable
