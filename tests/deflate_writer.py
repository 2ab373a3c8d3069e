"""Deflate streams written bit by bit, to build what no compressor emits: reserved
symbols, over-full or incomplete codes, bad repeats, wrong stored lengths and
the like, next to the rare corners that a strict inflater must still accept."""

import struct
import zlib

# Base lengths and extra bits of length symbols 257..285, and of distance codes 0..29.
LENGTH_BASES = [3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59,
                67, 83, 99, 115, 131, 163, 195, 227, 258]
LENGTH_EXTRA = [0] * 8 + [1] * 4 + [2] * 4 + [3] * 4 + [4] * 4 + [5] * 4 + [0]
DISTANCE_BASES = [1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513,
                  769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577]
DISTANCE_EXTRA = [0, 0, 0, 0] + [n for n in range(1, 14) for _ in (0, 1)]

FIXED_LITERAL_LENGTHS = [8] * 144 + [9] * 112 + [7] * 24 + [8] * 8  # symbols 0..287
FIXED_DISTANCE_LENGTHS = [5] * 32                                    # codes 0..31

# The order in which a dynamic header lists the code lengths of the code-length code.
CODE_LENGTH_ORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]

# Complete codes that can write anything: 13 x 4 bits + 6 x 5 bits for the 19
# code-length symbols; 226 x 8 + 60 x 9 bits for the 286 literal/length
# symbols; 2 x 4 + 28 x 5 bits for the 30 distance codes.
COMPLETE_CODE_LENGTHS = [4] * 13 + [5] * 6
COMPLETE_LITERAL_LENGTHS = [8] * 226 + [9] * 60
COMPLETE_DISTANCE_LENGTHS = [4] * 2 + [5] * 28

END_OF_BLOCK = 256


class BitWriter:
    """Bits in deflate order: values least significant bit first, Huffman codes
    most significant bit first, bytes filled from their lowest bit."""

    def __init__(self):
        self._value = 0
        self._count = 0

    def bits(self, value: int, count: int) -> None:
        assert 0 <= value < 1 << count or count == 0
        self._value |= value << self._count
        self._count += count

    def code(self, code: int, length: int) -> None:
        self.bits(int(format(code, f"0{length}b")[::-1], 2) if length else 0, length)

    def align(self) -> None:
        self._count += -self._count % 8

    def getvalue(self) -> bytes:
        return self._value.to_bytes((self._count + 7) // 8, "little")


def canonical_codes(lengths: list[int]) -> list[int]:
    """The codes that RFC 1951 (3.2.2) gives the symbols of these code lengths;
    over-subscribed lengths give colliding codes, which is all such a test needs."""
    counts = [0] * 16
    for length in lengths:
        counts[length] += 1
    counts[0] = 0
    next_code, code = [0] * 16, 0
    for bits in range(1, 16):
        code = (code + counts[bits - 1]) << 1
        next_code[bits] = code
    codes = []
    for length in lengths:
        codes.append(next_code[length])
        next_code[length] += length != 0
    return codes


class Code:
    """A Huffman code given by its code lengths, written to a BitWriter."""

    def __init__(self, lengths: list[int]):
        self.lengths = list(lengths)
        self.codes = canonical_codes(self.lengths)

    def write(self, out: BitWriter, symbol: int) -> None:
        assert self.lengths[symbol], f"symbol {symbol} has no code"
        out.code(self.codes[symbol], self.lengths[symbol])


FIXED_LITERALS = Code(FIXED_LITERAL_LENGTHS)
FIXED_DISTANCES = Code(FIXED_DISTANCE_LENGTHS)


# Items of a block's content: a literal byte (an int below 256), END_OF_BLOCK,
# Match(length, distance), or Raw symbols with their extra bits as given.
class Match:
    def __init__(self, length: int, distance: int):
        self.length, self.distance = length, distance


class Raw:
    """A length symbol and a distance code with extra bits written as given,
    valid or not; distance None writes no distance."""

    def __init__(self, length_symbol, length_extra=0, distance_code=None, distance_extra=0):
        self.length_symbol, self.length_extra = length_symbol, length_extra
        self.distance_code, self.distance_extra = distance_code, distance_extra


def _length_symbol(length: int) -> tuple[int, int, int]:
    if length == 258:
        return 285, 0, 0
    index = max(i for i, base in enumerate(LENGTH_BASES[:-1]) if base <= length)
    return 257 + index, length - LENGTH_BASES[index], LENGTH_EXTRA[index]


def _distance_code(distance: int) -> tuple[int, int, int]:
    code = max(i for i, base in enumerate(DISTANCE_BASES) if base <= distance)
    return code, distance - DISTANCE_BASES[code], DISTANCE_EXTRA[code]


def _extra_bits(symbol: int) -> int:
    return LENGTH_EXTRA[symbol - 257] if 257 <= symbol <= 285 else 0


def write_items(out: BitWriter, items, literals: Code, distances: Code) -> None:
    for item in items:
        if isinstance(item, int):
            literals.write(out, item)
        elif isinstance(item, Match):
            symbol, extra, extra_bits = _length_symbol(item.length)
            literals.write(out, symbol)
            out.bits(extra, extra_bits)
            code, extra, extra_bits = _distance_code(item.distance)
            distances.write(out, code)
            out.bits(extra, extra_bits)
        else:
            literals.write(out, item.length_symbol)
            out.bits(item.length_extra, _extra_bits(item.length_symbol))
            if item.distance_code is not None:
                distances.write(out, item.distance_code)
                extra_bits = DISTANCE_EXTRA[item.distance_code] if item.distance_code < 30 else 0
                out.bits(item.distance_extra, extra_bits)


def stored_block(out: BitWriter, data: bytes, final: bool = False, nlen: int | None = None):
    out.bits(final, 1)
    out.bits(0, 2)
    out.align()
    out.bits(len(data), 16)
    out.bits(nlen if nlen is not None else len(data) ^ 0xFFFF, 16)
    for byte in data:
        out.bits(byte, 8)


def fixed_block(out: BitWriter, items, final: bool = False, block_type: int = 1) -> None:
    out.bits(final, 1)
    out.bits(block_type, 2)
    write_items(out, items, FIXED_LITERALS, FIXED_DISTANCES)


def plain_lengths(lengths: list[int]) -> list[tuple[int, int]]:
    """Code lengths written one symbol each, with no repeat codes."""
    return [(length, 0) for length in lengths]


def dynamic_block(out: BitWriter, items, literal_lengths: list[int],
                  distance_lengths: list[int], final: bool = False, *,
                  code_length_lengths: list[int] = COMPLETE_CODE_LENGTHS,
                  length_symbols: list[tuple[int, int]] | None = None,
                  hlit: int | None = None, hdist: int | None = None,
                  literals: Code | None = None, distances: Code | None = None) -> None:
    """A block with its own codes. The header lists `literal_lengths` then
    `distance_lengths`, as `length_symbols` (code-length symbols with their
    extra bits) when given, and declares `hlit` and `hdist` codes (their real
    counts unless given). Items are written with `literals` and `distances`,
    by default the codes the header declares."""
    hlit = len(literal_lengths) if hlit is None else hlit
    hdist = len(distance_lengths) if hdist is None else hdist
    out.bits(final, 1)
    out.bits(2, 2)
    out.bits(hlit - 257, 5)
    out.bits(hdist - 1, 5)
    out.bits(19 - 4, 4)
    for symbol in CODE_LENGTH_ORDER:
        out.bits(code_length_lengths[symbol], 3)
    code_length_code = Code(code_length_lengths)
    symbols = (plain_lengths(literal_lengths + distance_lengths) if length_symbols is None
               else length_symbols)
    for symbol, extra in symbols:
        code_length_code.write(out, symbol)
        out.bits(extra, {16: 2, 17: 3, 18: 7}.get(symbol, 0))
    write_items(out, items, literals or Code(literal_lengths),
                distances or Code(distance_lengths))


def zlib_stream(deflate: bytes, content: bytes, *, cmf: int = 0x78, flags: int | None = None,
                checksum: int | None = None) -> bytes:
    """Deflate data between a zlib header and the Adler-32 of `content`; the
    header check bits are made right unless `flags` is given whole."""
    if flags is None:
        flags = 31 - (cmf << 8) % 31
    adler = zlib.adler32(content) if checksum is None else checksum
    return bytes([cmf, flags]) + deflate + struct.pack(">I", adler)
