"""PNG decoding: the decoded-image tuple, chunk and filter lists, header checks,
image data sizes and the zlib stream, as `_streamToImage` returns them."""

import io
import random
import struct
import types
import zlib

import pytest
from hypothesis import given, strategies as st
from PIL import Image

from Corvane import SimpleImage
from conftest import decode, noise
from imagefiles import (filter_scanlines, ihdr_data, make_png, png_chunks, png_file,
                        png_with_image_data, raw_rows)
from subprocesses import SANITIZED, run_python
from streams import RecordingStream


def rgba_interleaved(rgb: bytes, alpha: bytes) -> bytes:
    return b"".join(rgb[3 * i:3 * i + 3] + alpha[i:i + 1] for i in range(len(alpha)))


class TestDecodedTuple:
    def test_rgb_file(self):
        rgb = noise(5 * 4 * 3)
        chunks = png_chunks(5, 4, rgb)
        width, height, pixels, channels, alpha, chunk_list, bmp_meta, filters = decode(
            png_file(chunks))
        assert (width, height, channels, alpha, bmp_meta) == (5, 4, 3, None, None)
        assert type(pixels) is bytearray and pixels == rgb
        assert type(filters) is bytearray and filters == bytes(4)
        assert chunk_list == [(b"IHDR", ihdr_data(5, 4), 13), (b"IDAT", None, len(chunks[1][1])),
                              (b"IEND", b"", 0)]

    def test_rgba_file_splits_off_the_alpha_plane(self):
        rgb, alpha = noise(3 * 2 * 3), noise(3 * 2, seed=1)
        _, _, pixels, channels, decoded_alpha, chunks, _, _ = decode(make_png(3, 2, rgb, alpha))
        assert (channels, pixels) == (4, rgb)
        assert type(decoded_alpha) is bytearray and decoded_alpha == alpha
        assert chunks[0] == (b"IHDR", ihdr_data(3, 2, colour_type=6), 13)

    @pytest.mark.parametrize("width, height", [(0, 3), (4, 0), (0, 0)])
    def test_zero_sizes_decode_when_the_data_matches(self, width, height):
        decoded = decode(make_png(width, height, b""))
        assert decoded[:3] == (width, height, b"")
        assert decoded[7] == bytes(height)


class TestFilters:
    @pytest.mark.parametrize("has_alpha", [False, True])
    @pytest.mark.parametrize("filter_type", range(5))
    def test_each_filter_type_reconstructs_the_pixels(self, filter_type, has_alpha):
        rgb = noise(7 * 5 * 3, seed=filter_type)
        alpha = noise(7 * 5, seed=9) if has_alpha else None
        _, _, pixels, _, decoded_alpha, _, _, filters = decode(
            make_png(7, 5, rgb, alpha, filters=[filter_type] * 5))
        assert pixels == rgb and decoded_alpha == alpha
        assert filters == bytes([filter_type] * 5)

    @given(st.data())
    def test_mixed_filters_per_row_round_trip(self, data):
        width, height = data.draw(st.integers(0, 9)), data.draw(st.integers(1, 6))
        has_alpha = data.draw(st.booleans())
        rgb = data.draw(st.binary(min_size=width * height * 3, max_size=width * height * 3))
        alpha = data.draw(st.binary(min_size=width * height, max_size=width * height)) \
            if has_alpha else None
        filters = data.draw(st.lists(st.integers(0, 4), min_size=height, max_size=height))
        _, _, pixels, _, decoded_alpha, _, _, decoded_filters = decode(
            make_png(width, height, rgb, alpha, filters=filters))
        assert (pixels, decoded_alpha, decoded_filters) == (rgb, alpha, bytes(filters))

    def test_paeth_in_the_first_row_predicts_from_a_row_of_zeros(self):
        stream = bytes([4, 10, 20, 30, 5, 5, 5])  # left wins for every byte after the first pixel
        pixels = decode(png_with_image_data(ihdr_data(2, 1), zlib.compress(stream)))[2]
        assert pixels == bytes([10, 20, 30, 15, 25, 35])

    def test_average_forms_the_sum_of_left_and_above_in_full(self):
        # Row 1, byte 3: left 255 and above 255 predict 255, not (510 & 255) // 2 = 127.
        stream = bytes([0] + [255] * 6 + [3] + [128] * 3 + [1] * 3)
        pixels = decode(png_with_image_data(ihdr_data(2, 2), zlib.compress(stream)))[2]
        assert pixels[6:] == bytes([255, 255, 255, 0, 0, 0])

    @pytest.mark.parametrize("bad_type", [5, 7, 255])
    def test_an_unknown_filter_type_is_refused_by_number(self, bad_type):
        rows = raw_rows(2, 3, noise(18))
        stream = bytearray(filter_scanlines(rows, [1, 2, 0], 3))
        stream[2 * 7] = bad_type
        with pytest.raises(ValueError, match=f"^Unsupported PNG filter: {bad_type}$"):
            decode(png_with_image_data(ihdr_data(2, 3), zlib.compress(bytes(stream))))


class TestImageDataInPieces:
    """Image data far larger than what the decompressor hands back at a time, so
    that rows straddle the pieces, whatever the IDAT sizes."""

    @pytest.mark.parametrize("idat_sizes", [None, [997] * 3000, [65536] * 40],
                             ids=["one IDAT", "small IDATs", "64 KiB IDATs"])
    @pytest.mark.parametrize("has_alpha", [False, True])
    def test_rows_across_pieces_decode_as_pillow_decodes_them(self, has_alpha, idat_sizes):
        width, height, bpp = 333, 2000, 4 if has_alpha else 3
        rng = random.Random(3)
        stream = b"".join(bytes([rng.randrange(5)]) + rng.randbytes(width * bpp)
                          for _ in range(height))
        data = png_with_image_data(ihdr_data(width, height, colour_type=6 if has_alpha else 2),
                                   zlib.compress(stream, 1), idat_sizes)
        _, _, pixels, _, alpha, _, _, filters = decode(data)
        expected = Image.open(io.BytesIO(data))
        assert pixels == expected.convert("RGB").tobytes()
        assert alpha == (expected.getchannel("A").tobytes() if has_alpha else None)
        assert filters == bytes(stream[y * (width * bpp + 1)] for y in range(height))

    @pytest.mark.parametrize("bpp", [3, 4])
    def test_highly_compressible_data_reconstructs_exactly(self, bpp):
        # A few kilobytes inflate to many pieces: one row, then rows that repeat it.
        width, height = 2000, 1000
        row = bytes(range(250)) * (width * bpp // 250)
        stream = b"\x00" + row + (b"\x02" + bytes(len(row))) * (height - 1)
        data = png_with_image_data(ihdr_data(width, height, colour_type=6 if bpp == 4 else 2),
                                   zlib.compress(stream))
        rgb = b"".join(row[i:i + 3] for i in range(0, len(row), bpp)) * height
        assert decode(data)[2] == rgb

    def test_an_unknown_filter_type_is_judged_after_the_data_length(self):
        width, height = 400, 200
        rows = raw_rows(width, height, noise(width * height * 3))
        stream = bytearray(filter_scanlines(rows, [1] * height, 3))
        stream[5 * (width * 3 + 1)] = 9
        with pytest.raises(ValueError, match="^Malformed PNG image data$"):
            decode(png_with_image_data(ihdr_data(width, height),
                                       zlib.compress(bytes(stream[:-1]))))
        with pytest.raises(zlib.error):
            decode(png_with_image_data(ihdr_data(width, height),
                                       zlib.compress(bytes(stream))[:-6]))
        with pytest.raises(ValueError, match="^Unsupported PNG filter: 9$"):
            decode(png_with_image_data(ihdr_data(width, height), zlib.compress(bytes(stream))))


class TestChunkList:
    def test_split_image_data_keeps_each_idat_size_in_place(self):
        # Random pixels compress to under 16484 bytes; the padding after the zlib
        # stream is ignored but still belongs to the IDAT chunks.
        rgb = noise(60 * 60 * 3)
        payload = zlib.compress(filter_scanlines(raw_rows(60, 60, rgb), [0] * 60, 3))
        payload += bytes(16484 - len(payload))
        data = png_with_image_data(ihdr_data(60, 60), payload, idat_sizes=[8192, 8192, 100])
        _, _, pixels, _, _, chunks, _, _ = decode(data)
        assert pixels == rgb
        assert chunks[1:4] == [(b"IDAT", None, 8192), (b"IDAT", None, 8192), (b"IDAT", None, 100)]

    def test_other_chunks_are_recorded_in_file_order_and_change_nothing(self):
        rgb = noise(4 * 4 * 3)
        before = [(b"gAMA", struct.pack(">I", 45455)), (b"PLTE", bytes(6)),
                  (b"pHYs", bytes(9)), (b"tRNS", bytes(6)), (b"zzZz", b"unknown")]
        after = [(b"tEXt", b"Comment\x00hello")]
        decoded = decode(make_png(4, 4, rgb, before_idat=before, after_idat=after))
        chunks = decoded[5]
        assert [c[0] for c in chunks] == [b"IHDR", b"gAMA", b"PLTE", b"pHYs", b"tRNS", b"zzZz",
                                          b"IDAT", b"tEXt", b"IEND"]
        assert chunks[1:6] == [(t, d, len(d)) for t, d in before]
        assert (decoded[2], decoded[3], decoded[4]) == (rgb, 3, None)  # tRNS makes no alpha

    def test_a_file_without_iend_decodes(self):
        decoded = decode(make_png(2, 2, noise(12), iend=False))
        assert decoded[2] == noise(12)
        assert [c[0] for c in decoded[5]] == [b"IHDR", b"IDAT"]

    def test_nothing_after_iend_is_read(self):
        data = make_png(2, 2, noise(12))
        stream = RecordingStream(data + b"\xff garbage that is not a chunk")
        assert SimpleImage._streamToImage(stream)[2] == noise(12)
        assert stream.tell() == len(data)

    def test_chunk_order_is_not_checked_and_a_later_ihdr_wins(self):
        ihdr, first_idat, second_idat, iend = png_chunks(3, 3, noise(27), idat_sizes=[10, 0])
        bogus_ihdr = (b"IHDR", ihdr_data(9, 9, bit_depth=16))
        data = png_file([first_idat, bogus_ihdr, (b"tEXt", b"a\x00b"), second_idat, ihdr, iend])
        assert decode(data)[:3] == (3, 3, noise(27))


class TestHeaderChecks:
    @pytest.mark.parametrize("fields, message", [
        (dict(bit_depth=16), "Only 8-bit PNG images are supported"),
        (dict(bit_depth=16, colour_type=3), "Only 8-bit PNG images are supported"),
        (dict(bit_depth=1, interlace=1), "Only 8-bit PNG images are supported"),
        (dict(colour_type=0), "Only RGB/RGBA PNG images are supported"),
        (dict(colour_type=3), "Only RGB/RGBA PNG images are supported"),
        (dict(colour_type=4, interlace=1), "Only RGB/RGBA PNG images are supported"),
        (dict(interlace=1), "Unsupported PNG configuration (compression/filter/interlace)"),
        (dict(compression=1), "Unsupported PNG configuration (compression/filter/interlace)"),
        (dict(filter_method=1), "Unsupported PNG configuration (compression/filter/interlace)"),
    ])
    def test_unsupported_headers_are_refused_in_order(self, fields, message):
        # The image data is not even a zlib stream: the header is judged first.
        data = png_with_image_data(ihdr_data(2, 2, **fields), b"not zlib")
        with pytest.raises(ValueError) as raised:
            decode(data)
        assert str(raised.value) == message

    def test_a_file_without_ihdr_is_incomplete(self):
        data = png_file(png_chunks(2, 2, noise(12))[1:])
        with pytest.raises(ValueError, match=r"^Incomplete PNG header information$"):
            decode(data)

    def test_every_chunk_is_read_before_the_header_is_judged(self):
        data = png_file(png_chunks(2, 2, noise(12))[1:-1]) + b"\x00\x00\x00\x00IEND\x00\x00\x00\x00"
        with pytest.raises(ValueError, match="^Corrupted PNG chunk detected$"):
            decode(data)

    def test_an_ihdr_of_the_wrong_length_is_a_struct_error(self):
        with pytest.raises(struct.error):
            decode(png_file([(b"IHDR", ihdr_data(2, 2)[:12])]))

    @pytest.mark.parametrize("width, height", [(2**31, 1), (1, 2**32 - 1)])
    def test_dimensions_beyond_32_bit_signed_overflow(self, width, height):
        data = png_file([(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))])
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            decode(data)

    def test_a_stream_that_is_not_png_after_all_is_refused(self, restore_module_attributes):
        restore_module_attributes.PNG_SIGNATURE = b"\x89P"
        with pytest.raises(ValueError, match="^Unsupported PNG signature$"):
            decode(b"\x89P-not-a-png")


class TestImageDataSize:
    @pytest.mark.parametrize("change", [+1, -1])
    def test_one_byte_more_or_less_is_malformed(self, change):
        stream = filter_scanlines(raw_rows(3, 2, noise(18)), [0, 0], 3)
        stream = stream + b"\x00" if change > 0 else stream[:-1]
        with pytest.raises(ValueError, match="^Malformed PNG image data$"):
            decode(png_with_image_data(ihdr_data(3, 2), zlib.compress(stream)))

    @pytest.mark.parametrize("width, height, colour_type", [
        (2**30, 4, 6), (2**31 - 1, 2**31 - 1, 6), (2**31 - 1, 1, 2)])
    def test_a_lying_header_is_malformed(self, width, height, colour_type):
        data = png_with_image_data(ihdr_data(width, height, colour_type=colour_type),
                                   zlib.compress(b"\x00\x01\x02\x03"))
        with pytest.raises(ValueError, match="^Malformed PNG image data$"):
            decode(data)


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer cannot run under a limited address space")
def test_planes_too_large_to_allocate_are_grown_with_the_data(tmp_path):
    # 30000 x 30000 RGB claims 2.7 GB; 3 MB of stored rows could inflate to that
    # much by the compressed size alone, but only hold 35 rows. With the
    # address space limited the planes cannot be allocated whole, and the data
    # decides: too short.
    rng = random.Random(2)
    rows = b"".join(b"\x00" + rng.randbytes(30000 * 3) for _ in range(35))
    path = tmp_path / "claims.png"
    path.write_bytes(png_with_image_data(ihdr_data(30000, 30000), zlib.compress(rows, 0)))
    out = run_python(f"""
        import io
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            ext.SimpleImage._streamToImage(io.BytesIO(open({str(path)!r}, "rb").read()))
        except Exception as error:
            print(type(error).__name__, error)
    """)
    assert out.strip() == "ValueError Malformed PNG image data"


def _good_stream():
    return zlib.compress(filter_scanlines(raw_rows(4, 4, noise(48)), [1, 2, 3, 4], 3))


CORRUPT_STREAMS = {
    "no IDAT at all": None,
    "an empty IDAT": b"",
    "one byte": b"\x78",
    "a bad header": b"\x00\x00" + _good_stream()[2:],
    "a preset dictionary": b"\x78\xbb\x00\x00\x00\x01\x03\x00",
    "an invalid block type": _good_stream()[:2] + b"\xff" + _good_stream()[3:],
    "a truncated stream": _good_stream()[:-9],
    "no checksum": _good_stream()[:-4],
    "a bad checksum": _good_stream()[:-1] + bytes([_good_stream()[-1] ^ 1]),
}


class TestZlibStream:
    @pytest.mark.parametrize("idat_sizes", [None, [3, 5]], ids=["one IDAT", "three IDATs"])
    @pytest.mark.parametrize("payload", CORRUPT_STREAMS.values(), ids=CORRUPT_STREAMS.keys())
    def test_corrupt_streams_fail_as_zlib_decompress_fails(self, payload, idat_sizes):
        with pytest.raises(zlib.error) as expected:
            zlib.decompress(payload or b"")
        with pytest.raises(zlib.error) as raised:
            decode(png_with_image_data(ihdr_data(4, 4), payload, idat_sizes))
        assert str(raised.value) == str(expected.value)

    def test_bytes_after_the_end_of_the_stream_are_ignored(self):
        payload = _good_stream() + b"trailing junk"
        data = png_with_image_data(ihdr_data(4, 4), payload, idat_sizes=[len(payload) - 4])
        assert decode(data)[2] == noise(48)

    def test_too_much_data_that_breaks_later_fails_as_zlib_decompress_fails(self):
        # Past the declared size the rest is still inflated, though not kept.
        payload = zlib.compress(bytes(10_000))[:-1]
        with pytest.raises(zlib.error, match="incomplete or truncated stream$"):
            decode(png_with_image_data(ihdr_data(1, 1), payload))


def rebind_idat_data(ext, convert):
    """Rebinds `_readChunk` to the module's own, but with the data of IDAT chunk
    number n replaced by convert(n, data)."""
    original, seen = ext._readChunk, []

    def read_chunk(stream):
        chunk_type, data = original(stream)
        if chunk_type == b"IDAT":
            seen.append(chunk_type)
            data = convert(len(seen) - 1, data)
        return chunk_type, data

    ext._readChunk = read_chunk


def rebind_header(ext, width, height):
    """Rebinds `struct` to one whose unpacking of an IHDR gives these dimensions."""
    def unpack(layout, data):
        values = struct.unpack(layout, data)
        return (width, height, *values[2:]) if layout == ">IIBBBBB" else values

    ext.struct = types.SimpleNamespace(unpack=unpack, pack=struct.pack)


ZLIB_MODULES = {"zlib": lambda: zlib,
                "a stand-in zlib": lambda: types.SimpleNamespace(decompress=zlib.decompress,
                                                                 crc32=zlib.crc32)}


@pytest.mark.parametrize("zlib_module", ZLIB_MODULES)
class TestReboundNames:
    """What the decoder does with values that only rebound module names can hand it."""

    RGB = noise(4 * 3 * 3)

    def two_idats(self, **options):
        stream = zlib.compress(filter_scanlines(raw_rows(4, 3, self.RGB), [0] * 3, 3))
        return make_png(4, 3, self.RGB, idat_sizes=[len(stream) // 2, len(stream)], **options)

    @pytest.mark.parametrize("convert", [bytearray, memoryview, lambda data: Bytes(data)],
                             ids=["bytearray", "memoryview", "bytes subclass"])
    def test_idat_parts_of_other_byte_types_are_joined(self, restore_module_attributes,
                                                       zlib_module, convert):
        restore_module_attributes.zlib = ZLIB_MODULES[zlib_module]()
        rebind_idat_data(restore_module_attributes, lambda n, data: convert(data))
        assert decode(self.two_idats())[2] == self.RGB

    @pytest.mark.parametrize("convert", [
        lambda n, data: data.decode("latin-1") if n == 1 else data,
        # after the end of the zlib stream, which the first part holds whole
        lambda n, data: zlib.compress(data) if n == 0 else "junk",
    ], ids=["within the stream", "after the end of the stream"])
    def test_an_idat_part_that_is_not_bytes_like_fails_the_join(
            self, restore_module_attributes, zlib_module, convert):
        restore_module_attributes.zlib = ZLIB_MODULES[zlib_module]()
        rebind_idat_data(restore_module_attributes, convert)
        with pytest.raises(TypeError, match=r"^sequence item 1: expected a bytes-like object, "
                                            r"str found$"):
            decode(self.two_idats())

    def test_the_parts_are_joined_after_the_header_checks(self, restore_module_attributes,
                                                          zlib_module):
        restore_module_attributes.zlib = ZLIB_MODULES[zlib_module]()
        rebind_idat_data(restore_module_attributes, lambda n, data: "not bytes")
        restore_module_attributes.struct = types.SimpleNamespace(
            unpack=lambda layout, data: (4, 3, 16, 2, 0, 0, 0) if len(data) == 13
            else struct.unpack(layout, data), pack=struct.pack)
        with pytest.raises(ValueError, match="^Only 8-bit PNG images are supported$"):
            decode(self.two_idats())

    def test_zlib_decompress_is_looked_up_after_the_parts_are_joined(
            self, restore_module_attributes, zlib_module):
        ext = restore_module_attributes
        ext.zlib = ZLIB_MODULES[zlib_module]()
        calls = []

        def decompress(data):
            calls.append(len(data))
            return zlib.decompress(data)

        class Rebinding:
            """A part whose buffer, taken by the join, rebinds the module's zlib."""
            def __init__(self, data):
                self.data = data

            def __len__(self):
                return len(self.data)

            def __buffer__(self, flags):
                ext.zlib = types.SimpleNamespace(decompress=decompress, crc32=zlib.crc32)
                return memoryview(self.data)

        rebind_idat_data(ext, lambda n, data: Rebinding(data))
        assert decode(self.two_idats())[2] == self.RGB
        assert len(calls) == 1

    @pytest.mark.parametrize("width, height, colour_type, raw_size, message", [
        (-2, 0, 2, 0, "negative count"),   # the row above the first row
        (-2, -2, 2, 10, "negative count"),  # the filter list, after planes of 12 bytes
        (-2, -3, 6, 21, "negative count"),
        (-2, 3, 2, 0, "Malformed PNG image data"),  # no length matches
        (0, -2, 2, 0, "Malformed PNG image data"),
        (-1, 3, 2, 0, "Incomplete PNG header information"),  # as if no IHDR set it
    ])
    def test_negative_dimensions_fail_where_their_buffers_are_created(
            self, restore_module_attributes, zlib_module, width, height, colour_type, raw_size,
            message):
        restore_module_attributes.zlib = ZLIB_MODULES[zlib_module]()
        rebind_header(restore_module_attributes, width, height)
        data = png_with_image_data(ihdr_data(1, 1, colour_type=colour_type),
                                   zlib.compress(bytes(raw_size)))
        with pytest.raises(ValueError, match=f"^{message}$"):
            decode(data)


class Bytes(bytes):
    pass
