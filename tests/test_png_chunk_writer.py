"""Writing PNG files back along a stored chunk list: `_split_idat_payload` and
`_writePngWithChunks`."""

import types
import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from PIL import Image

from imagefiles import (PNG_SIGNATURE, chunk, filter_scanlines, idat_stream, ihdr_data,
                        parse_png, png_chunks, raw_rows)

PIXELS = bytes(range(2 * 2 * 3))
# The fixtures used by the property tests (the module, a scratch directory) keep no
# state between examples.
examples = settings(max_examples=40, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])
IHDR = (b"IHDR", ihdr_data(2, 2), 13)
IEND = (b"IEND", b"", 0)


def stored(chunks):
    """The chunk list that the decoder keeps for the given (type, data) chunks."""
    return [(t, None if t == b"IDAT" else d, len(d)) for t, d in chunks]


def text(label: bytes):
    return (b"tEXt", b"k\x00" + label, len(label) + 2)



def written_chunks(ext, target, chunks, pixels=PIXELS, size=(2, 2), alpha=None, filters=None):
    ext._writePngWithChunks(str(target), *size, pixels, alpha, chunks, filters)
    return parse_png(target.read_bytes())


class TestSplitIdatPayload:
    @pytest.mark.parametrize("lengths, parts", [
        ([2, 2], [b"ab", b"cdef"]),
        ([4, 4, 4], [b"abcd", b"ef"]),
        ([2, 0], [b"ab", b"cdef"]),
        ([0, 3], [b"abcdef"]),
        ([1, -1, 2], [b"a", b"bcdef"]),
        ([], [b"abcdef"]),
        ([9], [b"abcdef"]),
    ])
    def test_split_examples(self, ext, lengths, parts):
        assert ext._split_idat_payload(b"abcdef", lengths) == parts

    def test_empty_payload_gives_no_parts(self, ext):
        assert ext._split_idat_payload(b"", [5]) == []

    @examples
    @given(data=st.binary(max_size=64), lengths=st.lists(st.integers(-3, 20), max_size=8))
    def test_parts_are_non_empty_and_join_to_the_payload(self, ext, data, lengths):
        parts = ext._split_idat_payload(data, lengths)
        assert b"".join(parts) == data
        assert all(parts) and len(parts) <= len(lengths) + 1

    @examples
    @given(data=st.binary(min_size=1, max_size=64), lengths=st.lists(st.integers(1, 20),
                                                                      min_size=1, max_size=8))
    def test_positive_lengths_are_kept_while_the_payload_lasts(self, ext, data, lengths):
        head = lengths[:-1]
        if sum(head) < len(data):
            sizes = [len(p) for p in ext._split_idat_payload(data, lengths)]
            assert sizes == head + [len(data) - sum(head)]

    @pytest.mark.parametrize("data, lengths, message", [
        (bytearray(b"ab"), [1], "Argument 'data' has incorrect type (expected bytes, got "
                                "bytearray)"),
        (b"ab", (1,), "Argument 'lengths' has incorrect type (expected list, got tuple)"),
        (None, [1], "object of type 'NoneType' has no len()"),
        (b"ab", None, "object of type 'NoneType' has no len()"),
    ])
    def test_argument_types(self, ext, data, lengths, message):
        with pytest.raises(TypeError) as raised:
            ext._split_idat_payload(data, lengths)
        assert str(raised.value) == message

    def test_bytes_subclass_is_refused_without_a_note(self, ext):
        class Payload(bytes):
            pass

        with pytest.raises(TypeError) as raised:
            ext._split_idat_payload(Payload(b"ab"), [1])
        assert not getattr(raised.value, "__notes__", None)

    def test_length_that_cannot_be_compared(self, ext):
        with pytest.raises(TypeError):
            ext._split_idat_payload(b"ab", [None])


class TestChunkWalk:
    def test_chunks_are_written_back_in_order_with_fresh_image_data(self, ext, target):
        source = png_chunks(2, 2, PIXELS, filters=[1, 4], idat_sizes=[5, 5, 5],
                            before_idat=[(b"gAMA", b"\x00\x00\xb1\x8f")],
                            after_idat=[(b"tEXt", b"k\x00v")])
        chunks = written_chunks(ext, target, stored(source), filters=bytearray([1, 4]))
        assert [c for c in chunks if c[0] != b"IDAT"] == [c for c in source if c[0] != b"IDAT"]
        types_in_order = [t for t, _ in chunks]
        assert types_in_order[:2] == [b"IHDR", b"gAMA"] and types_in_order[-2:] == [b"tEXt",
                                                                                   b"IEND"]
        assert idat_stream(target.read_bytes()) == idat_stream(
            PNG_SIGNATURE + b"".join(chunk(t, d) for t, d in source))
        with Image.open(target) as image:
            assert image.tobytes() == PIXELS

    def test_run_stands_at_the_first_idat_entry_and_later_ones_are_dropped(self, ext, target):
        chunks = written_chunks(ext, target, [IHDR, (b"IDAT", None, 100), text(b"a"),
                                              (b"IDAT", None, 100), IEND])
        assert [t for t, _ in chunks] == [b"IHDR", b"IDAT", b"tEXt", b"IEND"]

    def test_run_is_appended_when_there_is_no_idat_entry(self, ext, target):
        chunks = written_chunks(ext, target, [IHDR, IEND, text(b"z")])
        assert [t for t, _ in chunks] == [b"IHDR", b"IEND", b"tEXt", b"IDAT"]

    def test_no_chunk_is_added_or_rebuilt(self, ext, target):
        stale_ihdr = (b"IHDR", ihdr_data(7, 9), 13)
        chunks = written_chunks(ext, target, [stale_ihdr, (b"IDAT", None, 1)])
        assert chunks[0] == (b"IHDR", ihdr_data(7, 9)) and [t for t, _ in chunks][-1] == b"IDAT"

    def test_none_data_and_stale_lengths(self, ext, target):
        ext._writePngWithChunks(str(target), 2, 2, PIXELS, None,
                                [IHDR, (b"zzZz", None, 40), (b"tEXt", b"k\x00v", 999)])
        data = target.read_bytes()
        assert chunk(b"zzZz", b"") + chunk(b"tEXt", b"k\x00v") in data

    def test_chunk_bytes_are_taken_once_before_the_path_is_used(self, ext, target):
        # Changed after the chunks were prepared, before a byte is written.
        label = bytearray(b"k\x00before")

        class ChangingPath:
            def __fspath__(self):
                label[:] = b"k\x00changed meanwhile"
                return str(target)

        ext._writePngWithChunks(ChangingPath(), 2, 2, PIXELS, None, [IHDR, (b"tEXt", label, 8),
                                                                    (b"IDAT", None, 0), IEND])
        assert (b"tEXt", b"k\x00before") in parse_png(target.read_bytes())  # checks each CRC

    @pytest.mark.parametrize("chunks", [[], None, ()])
    def test_false_chunk_list_writes_the_plain_png(self, ext, tmp_path, chunks):
        alpha, filters = bytearray(range(4)), bytearray([3, 2])
        ext._writePng(str(tmp_path / "plain.png"), 2, 2, PIXELS, alpha, filters)
        ext._writePngWithChunks(str(tmp_path / "out.png"), 2, 2, PIXELS, alpha, chunks, filters)
        assert (tmp_path / "out.png").read_bytes() == (tmp_path / "plain.png").read_bytes()

    @pytest.mark.parametrize("payload, sizes", [(20000, [8192, 8192, 3616]),
                                                (10000, [8192, 1808])])
    def test_idat_sizes_follow_the_source(self, ext, target, restore_module_attributes,
                                          payload, sizes):
        ext.zlib = types.SimpleNamespace(compress=lambda stream: bytes(payload),
                                         crc32=zlib.crc32)
        layout = [IHDR] + [(b"IDAT", None, n) for n in (8192, 8192, 1000)] + [IEND]
        chunks = written_chunks(ext, target, layout)
        assert [len(d) for t, d in chunks if t == b"IDAT"] == sizes

    @examples
    @given(data=st.data(), width=st.integers(0, 6), height=st.integers(0, 5),
           with_alpha=st.booleans(),
           layout=st.lists(st.one_of(
               st.tuples(st.just(b"IDAT"), st.integers(-2, 40)),
               st.tuples(st.sampled_from([b"tEXt", b"zzZz", b"IEND"]),
                         st.one_of(st.none(), st.binary(max_size=6)))), max_size=7))
    def test_round_trip_of_random_layouts(self, ext, target, data, width, height, with_alpha,
                                          layout):
        rgb = data.draw(st.binary(min_size=width * height * 3, max_size=width * height * 3))
        alpha = bytes(range(width * height)) if with_alpha else None
        filters = data.draw(st.lists(st.integers(0, 4), min_size=height, max_size=height))
        entries = [IHDR] + [(t, None, x) if t == b"IDAT" else (t, x, 3) for t, x in layout]
        chunks = written_chunks(ext, target, entries, rgb, (width, height),
                                bytearray(alpha) if with_alpha else None, bytearray(filters))

        stream = filter_scanlines(raw_rows(width, height, rgb, alpha), filters,
                                  4 if with_alpha else 3)
        assert idat_stream(target.read_bytes()) == stream
        compressed = zlib.compress(stream)
        idat_lengths = [x for t, x in layout if t == b"IDAT"]
        expected_sizes = [len(p) for p in ext._split_idat_payload(compressed, idat_lengths)]
        assert [len(d) for t, d in chunks if t == b"IDAT"] == (expected_sizes
                                                              or [len(compressed)])
        first_idat = next((i for i, (t, _) in enumerate(layout) if t == b"IDAT"), len(layout))
        others = [(t, x or b"") for t, x in layout if t != b"IDAT"]
        non_idat = [c for c in chunks if c[0] != b"IDAT"]
        assert non_idat == [(b"IHDR", ihdr_data(2, 2))] + others
        run_start = [t for t, _ in chunks].index(b"IDAT")
        assert run_start == 1 + len([t for t, _ in layout[:first_idat]])


def fails_before_opening(ext, existing, exception, message, chunks, width=2, height=2,
                         pixels=PIXELS):
    existing.refuses(
        lambda path: ext._writePngWithChunks(path, width, height, pixels, None, chunks),
        exception, message)


class TestFailuresLeaveTheFileUnchanged:
    @pytest.mark.parametrize("entry, exception, message", [
        ((b"tEXt", b"ab"), ValueError, "need more than 2 values to unpack"),
        ((b"tEXt", b"ab", 2, 0), ValueError, "too many values to unpack (expected 3)"),
        (5, TypeError, None),
        ((b"IDAT", None, None), TypeError, None),
    ])
    def test_entries_that_do_not_unpack_or_compare(self, ext, existing, entry, exception,
                                                   message):
        fails_before_opening(ext, existing, exception, message, [IHDR, (b"IDAT", None, 1),
                                                                 entry])

    @pytest.mark.parametrize("entry, message", [
        ((b"tEXt", "text", 4), "a bytes-like object is required, not 'str'"),
        (("tEXt", b"text", 4), "a bytes-like object is required, not 'str'"),
        ((b"tEXt", 7, 1), "object of type 'int' has no len()"),
    ])
    def test_stored_type_or_data_that_is_not_bytes_like(self, ext, existing, entry, message):
        fails_before_opening(ext, existing, TypeError, message, [IHDR, entry, IEND])

    @pytest.mark.parametrize("width, height, pixels, message", [
        (2, 2, bytes(5), "Pixel data length does not match image dimensions"),
        (-1, -1, bytes(3), "negative count"),
    ])
    def test_image_checks(self, ext, existing, width, height, pixels, message):
        fails_before_opening(ext, existing, ValueError, message, [IHDR], width, height, pixels)


class TestArgumentsAndModuleAttributes:
    @pytest.mark.parametrize("call, message", [
        (lambda ext: ext._writePngWithChunks(*"abcde"),
         "_writePngWithChunks() takes at least 6 positional arguments (5 given)"),
        (lambda ext: ext._writePngWithChunks(*"abcdefgh"),
         "_writePngWithChunks() takes at most 7 positional arguments (8 given)"),
        (lambda ext: ext._split_idat_payload(b""),
         "_split_idat_payload() takes exactly 2 positional arguments (1 given)"),
    ])
    def test_argument_counts(self, ext, call, message):
        with pytest.raises(TypeError) as raised:
            call(ext)
        assert str(raised.value) == message

    def test_false_chunk_list_goes_to_module_write_png(self, ext, restore_module_attributes):
        calls = []
        ext._writePng = lambda *args: calls.append(args)
        alpha = bytearray(4)
        assert ext._writePngWithChunks("p.png", 2.5, 2, PIXELS, alpha, []) is None
        assert calls == [("p.png", 2, 2, PIXELS, alpha, None)] and calls[0][4] is alpha

    def test_module_split_signature_and_struct_are_used(self, ext, target, packed_formats):
        ext.PNG_SIGNATURE = b"SIG"
        ext._split_idat_payload = lambda data, lengths: [data[:1], data[1:]]
        ext._writePngWithChunks(str(target), 2, 2, PIXELS, None, [(b"IDAT", None, 0)])
        data = target.read_bytes()
        assert data.startswith(b"SIG") and packed_formats == [">I", ">I"]
        assert [len(d) for _, d in parse_png(PNG_SIGNATURE + data[3:])][0] == 1
