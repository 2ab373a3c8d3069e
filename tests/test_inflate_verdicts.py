"""The verdict on a PNG's image data is zlib.decompress's, then the size check:
the decoder refuses exactly the zlib streams that the interpreter's zlib
refuses, with its error, and otherwise gives "Malformed PNG image data" when the
inflated length differs from the header's. The same holds whatever the source
(bytes, a path, an io.BytesIO, a stream of another type), however the IDAT data
is cut, and on both inflate routes.

The streams are written bit by bit (deflate_writer), one for each rule of the
format that zlib enforces, with the rare corners that it accepts; the outcomes
of each route come from a child interpreter (inflate_outcomes.py --sources)."""

import random
import re
import zlib
from dataclasses import dataclass

import pytest

from deflate_writer import (COMPLETE_CODE_LENGTHS, COMPLETE_DISTANCE_LENGTHS,
                            COMPLETE_LITERAL_LENGTHS, END_OF_BLOCK, BitWriter, Match, Raw,
                            dynamic_block, fixed_block, plain_lengths, stored_block,
                            zlib_stream)
from imagefiles import ihdr_data, png_with_image_data, unfilter_scanlines, zlib_bomb
from inflate_outcomes import SOURCES, image_digest
from subprocesses import folder_outcomes

# A filter byte of type None and ten RGB pixels: one row of an image 10 pixels wide.
ROW = bytes([0]) + bytes(range(10, 40))


@dataclass
class Case:
    stream: bytes
    header_size: int         # the inflated size the header declares: height 1, RGB
    zlib_says: str | None    # the end of zlib's message, or None: zlib accepts

    @property
    def width(self) -> int:
        return (self.header_size + 1) // 3

    def png(self, idat_sizes) -> bytes:
        return png_with_image_data(ihdr_data(self.width, 1), self.stream, idat_sizes)

    def expected_outcome(self) -> str:
        """zlib.decompress, then the size check, then the row."""
        try:
            raw = zlib.decompress(self.stream)
        except zlib.error as error:
            assert self.zlib_says is not None and str(error).endswith(self.zlib_says), error
            return f"error: {error}"
        assert self.zlib_says is None, "zlib accepts the stream"
        if len(raw) != 1 + 3 * self.width:
            return "ValueError: Malformed PNG image data"
        rows, filters = unfilter_scanlines(raw, self.width, 1, 3)
        return image_digest(self.width, 1, bytearray(b"".join(rows)), None, bytearray(filters))


def written(*blocks, content: bytes = ROW, **header) -> bytes:
    """The zlib stream of deflate blocks, each a function that writes one."""
    out = BitWriter()
    for block in blocks:
        block(out)
    return zlib_stream(out.getvalue(), content, **header)


def fixed(items, final=True, **options):
    return lambda out: fixed_block(out, [*items, END_OF_BLOCK], final, **options)


def dynamic(items, literal_lengths=COMPLETE_LITERAL_LENGTHS,
            distance_lengths=COMPLETE_DISTANCE_LENGTHS, final=True, **options):
    return lambda out: dynamic_block(out, [*items, END_OF_BLOCK], literal_lengths,
                                     distance_lengths, final, **options)


def stored(data, final=False, **options):
    return lambda out: stored_block(out, data, final, **options)


def refused(stream: bytes, message: str, header_size: int = len(ROW)) -> Case:
    return Case(stream, header_size, message)


def accepted(stream: bytes, content: bytes) -> Case:
    assert len(content) % 3 == 1 and content[0] == 0  # one row, filter type None
    return Case(stream, len(content), None)


def header_flags(flags: int, cmf: int = 0x78) -> int:
    """`flags` with check bits that make the two header bytes a multiple of 31."""
    return flags + (31 - ((cmf << 8) + flags) % 31) % 31


def without_codes(out: BitWriter) -> None:
    dynamic_block(out, [], COMPLETE_LITERAL_LENGTHS, COMPLETE_DISTANCE_LENGTHS, True,
                  code_length_lengths=[0] * 19, length_symbols=[])
    out.bits(0, 512)


def block_type_3_after(data: bytes) -> bytes:
    """`data` deflated in blocks that are not final, then a block of type 3."""
    compressor = zlib.compressobj(wbits=-15)
    deflated = compressor.compress(data) + compressor.flush(zlib.Z_SYNC_FLUSH)
    out = BitWriter()
    fixed_block(out, [END_OF_BLOCK], True, block_type=3)
    return zlib_stream(deflated + out.getvalue(), data)


INVALID_CODE = "invalid literal/length code"
INVALID_DISTANCE = "invalid distance code"
TOO_MANY = "too many length or distance symbols"
BAD_CODE_LENGTHS = "invalid code lengths set"
BAD_REPEAT = "invalid bit length repeat"
TRUNCATED = "incomplete or truncated stream"
ALL_LENGTHS = COMPLETE_LITERAL_LENGTHS + COMPLETE_DISTANCE_LENGTHS
ONE_CODE_LENGTH = [0] * 8 + [1] + [0] * 10  # only code length 8 has a code
# A complete literal/length code in which the end-of-block symbol has no code.
NO_END_OF_BLOCK = [8] * 227 + [9] * 29 + [0] + [9] * 29
WINDOW = bytes([0]) + random.Random(1).randbytes(32769)  # more than the largest distance
GOOD = written(fixed(ROW))

HAND_MADE = {
    # fixed codes: symbols that the code has room for but the format reserves,
    # in a header sized for an inflater that took them for length 258
    "fixed block, length symbol 286": refused(written(fixed([*ROW, Raw(286, 0, 0)])),
                                              INVALID_CODE, len(ROW) + 258),
    "fixed block, length symbol 287": refused(written(fixed([*ROW, Raw(287, 0, 0)])),
                                              INVALID_CODE, len(ROW) + 258),
    "fixed block, distance code 30": refused(written(fixed([*ROW, Raw(257, 0, 30)])),
                                             INVALID_DISTANCE),
    "fixed block, distance code 31": refused(written(fixed([*ROW, Raw(257, 0, 31)])),
                                             INVALID_DISTANCE),
    # dynamic headers
    "287 literal/length codes": refused(
        written(dynamic(ROW, COMPLETE_LITERAL_LENGTHS + [0])), TOO_MANY),
    "288 literal/length codes": refused(
        written(dynamic(ROW, COMPLETE_LITERAL_LENGTHS + [0, 0])), TOO_MANY),
    "31 distance codes": refused(
        written(dynamic(ROW, distance_lengths=COMPLETE_DISTANCE_LENGTHS + [0])), TOO_MANY),
    "32 distance codes": refused(
        written(dynamic(ROW, distance_lengths=COMPLETE_DISTANCE_LENGTHS + [0, 0])), TOO_MANY),
    "over-subscribed code-length code": refused(
        written(dynamic(ROW, code_length_lengths=[4] * 19)), BAD_CODE_LENGTHS),
    "incomplete code-length code": refused(
        written(dynamic(ROW, code_length_lengths=COMPLETE_CODE_LENGTHS[:-1] + [0])),
        BAD_CODE_LENGTHS),
    "code-length code of a single code": refused(
        written(dynamic(ROW, [8] * 286, [8] * 30, code_length_lengths=ONE_CODE_LENGTH)),
        BAD_CODE_LENGTHS),
    # With no code at all, zlib reads every length as 0 from one bit each.
    "code-length code without codes": refused(written(without_codes),
                                              "invalid code -- missing end-of-block"),
    "over-subscribed literal/length code": refused(
        written(dynamic(ROW, [7] + COMPLETE_LITERAL_LENGTHS[1:])),
        "invalid literal/lengths set"),
    "incomplete literal/length code": refused(
        written(dynamic(ROW, COMPLETE_LITERAL_LENGTHS[:-1] + [0])),
        "invalid literal/lengths set"),
    "over-subscribed distance code": refused(
        written(dynamic(ROW, distance_lengths=[4] * 30)), "invalid distances set"),
    "incomplete distance code": refused(
        written(dynamic(ROW, distance_lengths=[1, 2] + [0] * 28)), "invalid distances set"),
    "a single distance code of 2 bits": refused(
        written(dynamic(ROW, distance_lengths=[2])), "invalid distances set"),
    "repeat code 16 first": refused(
        written(dynamic(ROW, length_symbols=[(16, 0)] + plain_lengths(ALL_LENGTHS)[3:])),
        BAD_REPEAT),
    "repeat code 16 past the end": refused(
        written(dynamic(ROW, length_symbols=plain_lengths(ALL_LENGTHS)[:-2] + [(16, 0)])),
        BAD_REPEAT),
    "repeat code 17 past the end": refused(
        written(dynamic(ROW, length_symbols=plain_lengths(ALL_LENGTHS)[:-2] + [(17, 7)])),
        BAD_REPEAT),
    "repeat code 18 past the end": refused(
        written(dynamic(ROW, length_symbols=plain_lengths(ALL_LENGTHS)[:-2] + [(18, 0)])),
        BAD_REPEAT),
    "no end-of-block code": refused(
        written(lambda out: dynamic_block(out, ROW, NO_END_OF_BLOCK,
                                          COMPLETE_DISTANCE_LENGTHS, True)),
        "invalid code -- missing end-of-block"),
    # block data
    "a distance too far back": refused(written(fixed([*ROW, Match(3, len(ROW) + 1)])),
                                       "invalid distance too far back"),
    "a distance of 32 KiB after one byte less": refused(
        written(stored(WINDOW[:32767]), fixed([Match(258, 32768)])),
        "invalid distance too far back", 32767 + 258),
    "stored lengths that disagree": refused(written(stored(ROW, True, nlen=len(ROW))),
                                            "invalid stored block lengths"),
    "block type 3": refused(written(fixed(ROW, block_type=3)), "invalid block type"),
    "a last block that is not final": refused(written(fixed(ROW, final=False)),
                                              "invalid stored block lengths"),
    # the zlib header and trailer
    "compression method 7": refused(written(fixed(ROW), cmf=0x77),
                                    "unknown compression method"),
    "a window of 64 KiB": refused(written(fixed(ROW), cmf=0x88), "invalid window size"),
    "wrong header check bits": refused(GOOD[:1] + bytes([GOOD[1] ^ 1]) + GOOD[2:],
                                       "incorrect header check"),
    "a preset dictionary": refused(written(fixed(ROW), flags=header_flags(0x20)),
                                   "Error 2 while decompressing data"),
    "a wrong Adler-32": refused(written(fixed(ROW), checksum=zlib.adler32(ROW) ^ 1),
                                "incorrect data check"),
    "cut inside a block": refused(GOOD[:len(GOOD) // 2], TRUNCATED),
    "cut inside the checksum": refused(GOOD[:-2], TRUNCATED),
    "nothing but the header": refused(GOOD[:2], TRUNCATED),
    "nothing at all": refused(b"", TRUNCATED),
    # corners that zlib accepts
    "fixed codes": accepted(GOOD, ROW),
    "dynamic codes": accepted(written(dynamic(ROW)), ROW),
    "a single distance code": accepted(
        written(dynamic([*ROW, Match(3, 1)], distance_lengths=[1]),
                content=ROW + ROW[-1:] * 3),
        ROW + ROW[-1:] * 3),
    "a single distance code, not the first": accepted(
        written(dynamic([*ROW, Match(3, 7)], distance_lengths=[0] * 5 + [1]),
                content=ROW + ROW[-7:-4]),
        ROW + ROW[-7:-4]),
    "no distance code": accepted(written(dynamic(ROW, distance_lengths=[0])), ROW),
    "a literal/length code of only the end-of-block code": accepted(
        written(dynamic([], [0] * 256 + [1], [0], final=False), fixed(ROW)), ROW),
    "length 258 as symbol 284 with extra bits 31": accepted(
        written(fixed([*ROW, Raw(284, 31, 0, 0)]), content=ROW + ROW[-1:] * 258),
        ROW + ROW[-1:] * 258),
    "length 258 as symbol 285": accepted(
        written(fixed([*ROW, Match(258, 1)]), content=ROW + ROW[-1:] * 258),
        ROW + ROW[-1:] * 258),
    "a distance of 32 KiB": accepted(
        written(stored(WINDOW), fixed([Match(258, 32768)]), content=WINDOW + WINDOW[2:260]),
        WINDOW + WINDOW[2:260]),
    "a distance beyond the window the header declares": accepted(
        written(stored(WINDOW[:400]), fixed([Match(3, 300)]), cmf=0x08,
                content=WINDOW[:400] + WINDOW[100:103]),
        WINDOW[:400] + WINDOW[100:103]),
    "a repeat across the literal/length and distance lengths": accepted(
        written(dynamic([*ROW, Match(3, 2)], [8] * 254 + [9] * 4 + [0, 0], [0, 1, 1],
                        length_symbols=plain_lengths([8] * 254 + [9] * 4)
                        + [(17, 0), (1, 0), (1, 0)]),
                content=ROW + ROW[-2:] + ROW[-2:-1]),
        ROW + ROW[-2:] + ROW[-2:-1]),
    "empty stored blocks": accepted(written(stored(b""), stored(b""), fixed(ROW)), ROW),
    "a final empty stored block": accepted(written(fixed(ROW, final=False), stored(b"", True)),
                                           ROW),
    "bytes after the end of the stream": accepted(GOOD + b"trailing bytes", ROW),
    "a second stream after the first": accepted(GOOD + GOOD, ROW),
}

# Image data that inflates to more or less than the header allows.
LONG = ROW + bytes(50_000)  # a plausible size for the header's, to the whole route
LONG_STREAM = zlib.compress(LONG)
NOISE = ROW + random.Random(2).randbytes(5_000)  # too large for the header's, whole
BOMB = zlib_bomb(64)


def flipped(data: bytes, index: int) -> bytes:
    return data[:index] + bytes([data[index] ^ 0x10]) + data[index + 1:]


def sized(stream: bytes, zlib_says: str | None = None) -> Case:
    return Case(stream, len(ROW), zlib_says)


SIZE_BOUND = {
    "longer by one byte": sized(zlib.compress(ROW + b"\0")),
    "longer, then clean": sized(LONG_STREAM),
    "longer, then bytes after the end": sized(LONG_STREAM + b"trailing bytes"),
    "longer, then a wrong checksum": sized(flipped(LONG_STREAM, -1), "incorrect data check"),
    "longer, then cut short": sized(LONG_STREAM[:-8], TRUNCATED),
    "longer, then a bad block further on": sized(block_type_3_after(LONG),
                                                 "invalid block type"),
    "longer in stored blocks, then a wrong checksum": sized(
        flipped(zlib.compress(NOISE, 0), -1), "incorrect data check"),
    "longer in stored blocks, then cut short": sized(zlib.compress(NOISE, 0)[:-100], TRUNCATED),
    "64 MiB longer, clean": sized(BOMB),
    "64 MiB longer, then a wrong checksum": sized(flipped(BOMB, -1), "incorrect data check"),
    "64 MiB longer, then cut short": sized(BOMB[:-5], TRUNCATED),
    "shorter, then clean": sized(zlib.compress(ROW[:-1])),
    "shorter, then cut short": sized(zlib.compress(ROW[:-1])[:-2], TRUNCATED),
    "shorter, then bytes after the end": sized(zlib.compress(ROW[:-1]) + b"\0" * 8),
}

SPLITS = {"one IDAT": lambda stream: None,
          "two IDATs": lambda stream: [len(stream) // 2, len(stream)]}
ROUTES = {"default route": None, "zlib route": "zlib"}


def file_name(case: str, split: str) -> str:
    return re.sub(r"\W+", "-", f"{case} {split}") + ".png"


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """Per route, the outcome of every case, split and source: {(file, source): outcome}."""
    folder = tmp_path_factory.mktemp("verdicts")
    for name, case in {**HAND_MADE, **SIZE_BOUND}.items():
        for split, sizes in SPLITS.items():
            (folder / file_name(name, split)).write_bytes(case.png(sizes(case.stream)))
    results = {}
    for route, setting in ROUTES.items():
        lines = folder_outcomes(folder, setting, "--sources")
        results[route] = {tuple(line.split(" ", 2)[:2]): line.split(" ", 2)[2] for line in lines}
    return results


def assert_judged_as_zlib(outcomes: dict, name: str, case: Case) -> None:
    expected = case.expected_outcome()
    got = {(split, source): outcomes[file_name(name, split), source]
           for split in SPLITS for source in SOURCES}
    assert got == dict.fromkeys(got, expected)


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name", HAND_MADE)
def test_hand_made_streams_are_judged_as_zlib_judges_them(outcomes, route, name):
    assert_judged_as_zlib(outcomes[route], name, HAND_MADE[name])


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("name", SIZE_BOUND)
def test_data_of_the_wrong_length_gets_zlibs_verdict_first(outcomes, route, name):
    assert_judged_as_zlib(outcomes[route], name, SIZE_BOUND[name])
