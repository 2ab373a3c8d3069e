"""The PNG chunk layer: `_readChunk` and `_makeChunk`."""

import io
import struct
import types
import zlib

import pytest
from hypothesis import given, strategies as st

from Corvane import simpleImage_ext
from imagefiles import chunk
from streams import RecordingStream

IEND_CHUNK = bytes.fromhex("0000000049454e44ae426082")


class TestMakeChunk:
    def test_iend_is_the_twelve_standard_bytes(self, ext):
        assert ext._makeChunk(b"IEND", b"") == IEND_CHUNK

    @given(st.binary(min_size=4, max_size=4), st.binary(max_size=300))
    def test_matches_an_independent_chunk_writer(self, chunk_type, data):
        assert simpleImage_ext._makeChunk(chunk_type, data) == chunk(chunk_type, data)

    def test_type_length_is_not_checked(self, ext):
        assert ext._makeChunk(b"ab", b"x") == chunk(b"ab", b"x")
        assert ext._makeChunk(b"ab", b"x")[4:6] == b"ab"

    @pytest.mark.parametrize("chunk_type, data, name, got", [
        (bytearray(b"IDAT"), b"", "chunkType", "bytearray"),
        (b"IDAT", None, "data", "NoneType"),
        (b"IDAT", memoryview(b"x"), "data", "memoryview"),
    ])
    def test_refuses_anything_but_exact_bytes(self, ext, chunk_type, data, name, got):
        with pytest.raises(TypeError) as raised:
            ext._makeChunk(chunk_type, data)
        assert str(raised.value) == (
            f"Argument '{name}' has incorrect type (expected bytes, got {got})")

    def test_refuses_a_bytes_subclass_with_a_note(self, ext):
        class Tagged(bytes):
            pass

        with pytest.raises(TypeError, match="expected bytes, got Tagged") as raised:
            ext._makeChunk(Tagged(b"IDAT"), b"")
        assert raised.value.__notes__

    def test_arguments_bind_by_name(self, ext):
        assert ext._makeChunk(data=b"", chunkType=b"IEND") == IEND_CHUNK
        with pytest.raises(TypeError, match=r"^_makeChunk\(\) takes exactly 2 positional "
                                            r"arguments \(1 given\)$"):
            ext._makeChunk(b"IEND")


class TestReadChunk:
    @given(st.binary(min_size=4, max_size=4), st.binary(max_size=300))
    def test_reads_back_what_make_chunk_wrote_then_reports_the_end(self, chunk_type, data):
        stream = io.BytesIO(simpleImage_ext._makeChunk(chunk_type, data))
        assert simpleImage_ext._readChunk(stream) == (chunk_type, data)
        assert simpleImage_ext._readChunk(stream) == (b"", b"")

    def test_empty_stream_gives_two_empty_strings(self, ext):
        assert ext._readChunk(io.BytesIO()) == (b"", b"")

    def test_reads_length_type_data_crc_in_four_calls(self, ext):
        stream = RecordingStream(chunk(b"tEXt", b"hello"))
        ext._readChunk(stream)
        assert stream.calls == [("read", 4), ("read", 4), ("read", 5), ("read", 4)]

    @pytest.mark.parametrize("data, message, reads", [
        (b"\x00\x00", "Unexpected EOF while reading chunk length", 1),
        (b"\x00\x00\x00\x05", "Unexpected EOF while reading chunk type", 2),
        (b"\x00\x00\x00\x05IDA", "Unexpected EOF while reading chunk type", 2),
        (b"\x00\x00\x00\x05IDATabc", "Unexpected EOF while reading chunk data", 3),
        (b"\x00\x00\x00\x00IEND\xae\x42", "Unexpected EOF while reading chunk CRC", 4),
    ])
    def test_stops_at_the_first_short_read(self, ext, data, message, reads):
        stream = RecordingStream(data)
        with pytest.raises(ValueError, match=f"^{message}$"):
            ext._readChunk(stream)
        assert len(stream.calls) == reads

    def test_flipping_any_bit_of_type_data_or_crc_is_detected(self, ext):
        original = chunk(b"tEXt", b"key\x00value")
        for position in range(4, len(original)):
            for bit in range(8):
                damaged = bytearray(original)
                damaged[position] ^= 1 << bit
                stream = io.BytesIO(bytes(damaged))
                with pytest.raises(ValueError, match="^Corrupted PNG chunk detected$"):
                    ext._readChunk(stream)
                assert stream.tell() == len(original)  # the bad chunk has been consumed

    @pytest.mark.parametrize("length, outcome", [
        (9, "Unexpected EOF while reading chunk CRC"),
        (20, "Unexpected EOF while reading chunk data"),
        (3, "Corrupted PNG chunk detected"),
    ])
    def test_a_wrong_length_field_fails_by_what_follows(self, ext, length, outcome):
        data = struct.pack(">I", length) + chunk(b"tEXt", b"hello")[4:]
        with pytest.raises(ValueError, match=f"^{outcome}$"):
            ext._readChunk(io.BytesIO(data))

    def test_errors_of_the_stream_propagate(self, ext):
        class Failing:
            def read(self, size):
                raise OSError("disk gone")

        with pytest.raises(OSError, match="disk gone"):
            ext._readChunk(Failing())

    def test_argument_errors_use_the_standard_wording(self, ext):
        with pytest.raises(TypeError, match=r"^_readChunk\(\) takes exactly 1 positional "
                                            r"argument \(0 given\)$"):
            ext._readChunk()
        with pytest.raises(TypeError, match="unexpected keyword argument 'file'"):
            ext._readChunk(io.BytesIO(), file=io.BytesIO())
        assert ext._readChunk(stream=io.BytesIO()) == (b"", b"")


class TestCrcValues:
    """The chunk CRC equals zlib.crc32 over the type and the data, at every length
    (the CRC is folded 64 and 16 bytes at a time, the rest byte by byte)."""

    def test_every_length_up_to_a_few_blocks(self, ext):
        data = bytes(range(256)) * 2
        for size in range(len(data)):
            made = ext._makeChunk(b"IDAT", data[:size])
            assert made == chunk(b"IDAT", data[:size]), size
            assert ext._readChunk(io.BytesIO(made)) == (b"IDAT", data[:size])

    @given(st.binary(min_size=1, max_size=5000), st.binary(min_size=4, max_size=4))
    def test_any_data_and_type(self, data, chunk_type):
        assert simpleImage_ext._makeChunk(chunk_type, data) == chunk(chunk_type, data)

    def test_a_megabyte(self, ext):
        data = bytes(i * 7919 % 251 for i in range(1 << 20))
        assert ext._makeChunk(b"IDAT", data)[-4:] == struct.pack(
            ">I", zlib.crc32(data, zlib.crc32(b"IDAT")))


class TestRebindingModules:
    def test_a_crc32_replaced_in_the_zlib_module_is_called(self, monkeypatch, ext):
        calls = []

        def crc32(data, start=0):
            calls.append(bytes(data))
            return 0x1234

        monkeypatch.setattr(zlib, "crc32", crc32)
        assert ext._makeChunk(b"IEND", b"")[-4:] == b"\x00\x00\x12\x34"
        assert calls == [b"IEND", b""]

    def test_crc_comes_from_the_module_zlib(self, restore_module_attributes):
        ext = restore_module_attributes
        ext.zlib = types.SimpleNamespace(crc32=lambda data, start=0: 0x1234)
        made = ext._makeChunk(b"IEND", b"")
        assert made[-4:] == b"\x00\x00\x12\x34"
        assert ext._readChunk(io.BytesIO(made)) == (b"IEND", b"")

    def test_packing_goes_through_the_module_struct(self, restore_module_attributes):
        ext = restore_module_attributes
        ext.struct = types.SimpleNamespace(pack=lambda fmt, value: b"<%d>" % value,
                                           unpack=struct.unpack)
        assert ext._makeChunk(b"IEND", b"") == b"<0>IEND<%d>" % zlib.crc32(b"IEND")
