"""The structure of PNG and BMP files, read from their bytes without decoding
any pixels: a PNG's chunks, read with the extension's own chunk reader, its
header and its text chunks; a BMP's header fields and where its rows lie. The
command uses it to describe files that the decoder refuses and to say what
writing an image back changed in its file."""

from __future__ import annotations

import io
import struct
import zlib
from collections.abc import Iterable
from dataclasses import dataclass

from Corvane import simpleImage_ext

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
BMP_SIGNATURE = b"BM"
# A BMP's file header after its signature, and a 40-byte information header.
BMP_FILE_HEADER = struct.Struct("<IHHI")
BMP_INFO_HEADER = struct.Struct("<IiiHHIIiiII")
BMP_HEADERS_SIZE = len(BMP_SIGNATURE) + BMP_FILE_HEADER.size + BMP_INFO_HEADER.size
BMP_FIELDS = ("fileSize", "reserved1", "reserved2", "offset", "headerSize",
              "width", "height", "planes", "bitCount", "compression", "imageSize",
              "xppm", "yppm", "clrUsed", "clrImportant")
# How much of a compressed text is shown: a text chunk may inflate to anything.
TEXT_LIMIT = 1 << 20


def chunk_name(chunk_type: bytes) -> str:
    """A chunk type as text, whatever bytes it holds."""
    return chunk_type.decode("ascii", "backslashreplace")


@dataclass(frozen=True)
class PngChunk:
    type: bytes
    offset: int            # of its length field in the file
    length: int
    data: bytes | None     # None for IDAT: the command never needs image data whole

    @property
    def name(self) -> str:
        return chunk_name(self.type)


@dataclass(frozen=True)
class PngHeader:
    width: int
    height: int
    bit_depth: int
    colour_type: int
    compression: int
    filter_method: int
    interlace: int


@dataclass
class PngFile:
    """The chunks of a PNG as the decoder reads them: up to IEND or the end of
    the file, or up to the chunk that the chunk reader refused."""
    chunks: list[PngChunk]
    failure: str | None = None  # what made the chunk reader stop: a bad CRC, a short chunk
    after_end: int = 0          # bytes after IEND, which no reader looks at

    def idat_sizes(self) -> list[int]:
        return [chunk.length for chunk in self.chunks if chunk.type == b"IDAT"]

    def stored_chunks(self) -> list[tuple[bytes, bytes]]:
        return [(c.type, c.data) for c in self.chunks if c.data is not None]

    def header(self) -> PngHeader | None:
        """The fields of the last IHDR, which the decoder goes by; None without a
        well-formed one."""
        for chunk in reversed(self.chunks):
            if chunk.type == b"IHDR":
                try:
                    return ihdr_fields(chunk)
                except struct.error:
                    return None
        return None


def read_png(data: bytes) -> PngFile:
    """Reads the chunks of a file that starts with the PNG signature."""
    png = PngFile([])
    stream = io.BytesIO(data)
    stream.seek(len(PNG_SIGNATURE))
    while True:
        offset = stream.tell()
        try:
            chunk_type, chunk_data = simpleImage_ext._readChunk(stream)
        except ValueError:
            png.failure = chunk_failure(data, offset)
            return png
        if not chunk_type:
            return png
        is_idat = chunk_type == b"IDAT"
        png.chunks.append(PngChunk(chunk_type, offset, len(chunk_data),
                                   None if is_idat else chunk_data))
        if chunk_type == b"IEND":
            png.after_end = len(data) - stream.tell()
            return png


def chunk_failure(data: bytes, offset: int) -> str:
    """What is wrong with the chunk at `offset`, which the chunk reader refused."""
    left = len(data) - offset
    if left < 8:
        return f"the file ends {left} byte(s) into the chunk at byte {offset}"
    length, chunk_type = struct.unpack_from(">I4s", data, offset)
    where = f"{chunk_name(chunk_type)} chunk at byte {offset}"
    if left < 8 + length:
        return f"the {where} declares {length} data bytes; {left - 8} follow"
    if left < 12 + length:
        return f"the file ends inside the CRC of the {where}"
    (stored,) = struct.unpack_from(">I", data, offset + 8 + length)
    computed = zlib.crc32(data[offset + 4:offset + 8 + length])
    return f"{where}: stored CRC {stored:#010x}, computed {computed:#010x}"


def ihdr_fields(chunk: PngChunk) -> PngHeader:
    """The header fields; struct.error when the IHDR is not 13 bytes long."""
    return PngHeader(*struct.unpack(">IIBBBBB", chunk.data or b""))


def idat_data(data: bytes, png: PngFile) -> bytes:
    return b"".join(data[c.offset + 8:c.offset + 8 + c.length]
                    for c in png.chunks if c.type == b"IDAT")


# --- text chunks ------------------------------------------------------------

@dataclass(frozen=True)
class Text:
    chunk: str
    keyword: str
    text: str
    language: str = ""
    translated_keyword: str = ""


def inflate_text(data: bytes) -> str | None:
    """A compressed text, at most TEXT_LIMIT bytes of it; None when it cannot be inflated."""
    try:
        inflater = zlib.decompressobj()
        text = inflater.decompress(data, TEXT_LIMIT)
    except zlib.error:
        return None
    return text.decode("utf-8", "replace") + (" [...]" if inflater.unconsumed_tail else "")


def read_text(chunk_type: bytes, data: bytes) -> Text | None:
    """A tEXt (Latin-1), zTXt (Latin-1, compressed) or iTXt (UTF-8, perhaps
    compressed) chunk; None for another chunk or one that is malformed."""
    keyword, separator, rest = data.partition(b"\0")
    if not separator:
        return None
    name, key = chunk_name(chunk_type), keyword.decode("latin-1")
    if chunk_type == b"tEXt":
        return Text(name, key, rest.decode("latin-1"))
    if chunk_type == b"zTXt":
        text = inflate_text(rest[1:])
        return None if text is None else Text(name, key, text)
    if chunk_type != b"iTXt" or len(rest) < 2:
        return None
    compressed = rest[0] != 0
    language, _, rest = rest[2:].partition(b"\0")
    translated, _, body = rest.partition(b"\0")
    text = inflate_text(body) if compressed else body.decode("utf-8", "replace")
    if text is None:
        return None
    return Text(name, key, text, language.decode("latin-1"), translated.decode("utf-8", "replace"))


def texts(chunks: Iterable[tuple[bytes, bytes | None]]) -> list[Text]:
    found = (read_text(chunk_type, data) for chunk_type, data in chunks if data is not None)
    return [text for text in found if text is not None]


# --- BMP --------------------------------------------------------------------

@dataclass(frozen=True)
class BmpFile:
    """The header fields of a BMP with both headers complete, and where its rows lie."""
    fields: dict[str, int]
    size: int

    def __getitem__(self, name: str) -> int:
        return self.fields[name]

    @property
    def row_stride(self) -> int:
        return (self["width"] * 3 + 3) // 4 * 4

    @property
    def rows_end(self) -> int:
        return self["offset"] + abs(self["height"]) * self.row_stride


def bmp_size(data: bytes) -> tuple[int, int] | None:
    """Width and height from a BMP information header of any version, as far as
    the file holds them: the 12-byte OS/2 header keeps them in 16 bits."""
    if len(data) < 26:
        return None
    (header_size,) = struct.unpack_from("<I", data, 14)
    return struct.unpack_from("<HH" if header_size == 12 else "<ii", data, 18)


def read_bmp(data: bytes) -> BmpFile | None:
    """The headers of a BMP with a 40-byte information header; None for any other."""
    if len(data) < BMP_HEADERS_SIZE:
        return None
    values = (BMP_FILE_HEADER.unpack_from(data, len(BMP_SIGNATURE))
              + BMP_INFO_HEADER.unpack_from(data, len(BMP_SIGNATURE) + BMP_FILE_HEADER.size))
    return BmpFile(dict(zip(BMP_FIELDS, values)), len(data))


# --- what a save changed -----------------------------------------------------

# The kinds of change that writing an image back makes to its file, besides the pixels.
IDAT_SIZES = "IDAT sizes"
AFTER_IEND = "bytes after IEND dropped"
ROW_ORDER = "rows turned bottom-up"
HEADER_FIELDS = "BMP header fields rewritten"
BEFORE_ROWS = "bytes before the rows dropped or moved"
AFTER_ROWS = "bytes after the rows dropped"


@dataclass(frozen=True)
class Change:
    kind: str
    text: str


def sizes_text(sizes: list[int]) -> str:
    """IDAT sizes in short: "8192 x 3, 1000" for 8192, 8192, 8192, 1000."""
    runs: list[list[int]] = []
    for size in sizes:
        if runs and runs[-1][0] == size:
            runs[-1][1] += 1
        else:
            runs.append([size, 1])
    return ", ".join(f"{size} x {count}" if count > 1 else str(size) for size, count in runs)


def png_changes(source: PngFile, written: PngFile) -> list[Change]:
    """What the written PNG holds differently from its source besides the image
    data itself (the stored chunks are compared by the caller)."""
    found = []
    before, after = source.idat_sizes(), written.idat_sizes()
    if before != after:
        found.append(Change(IDAT_SIZES, f"IDAT sizes {sizes_text(before) or 'none'} -> "
                                        f"{sizes_text(after)}"))
    if source.after_end:
        found.append(Change(AFTER_IEND, f"dropped the {source.after_end} byte(s) after IEND"))
    return found


def bmp_changes(source: BmpFile, written: BmpFile) -> list[Change]:
    """What the written BMP holds differently from its source besides pixel values."""
    found = []
    if source["height"] < 0:
        found.append(Change(ROW_ORDER, "rows stored bottom-up (they were top-down)"))
    # The height's sign and the offset have entries of their own.
    rewritten = [f"{name} {source[name]} -> {written[name]}" for name in BMP_FIELDS
                 if source[name] != written[name] and name not in ("height", "offset")]
    if rewritten:
        found.append(Change(HEADER_FIELDS, "header fields " + ", ".join(rewritten)))
    gap = source["offset"] - BMP_HEADERS_SIZE
    if gap > 0:
        found.append(Change(BEFORE_ROWS, f"dropped the {gap} byte(s) between the headers "
                                         f"and the rows (a colour table or a gap)"))
    elif gap < 0:
        found.append(Change(BEFORE_ROWS, f"rows moved from byte {source['offset']} to byte "
                                         f"{BMP_HEADERS_SIZE}"))
    if source.size > source.rows_end:
        found.append(Change(AFTER_ROWS, f"dropped the {source.size - source.rows_end} "
                                        f"byte(s) after the rows"))
    return found


def changes(source: bytes, written: bytes) -> list[Change]:
    """What writing an image back changed in its file, the pixels aside; nothing
    for a pair of files of different or unknown formats."""
    if source.startswith(PNG_SIGNATURE) and written.startswith(PNG_SIGNATURE):
        return png_changes(read_png(source), read_png(written))
    source_bmp, written_bmp = read_bmp(source), read_bmp(written)
    if source_bmp and written_bmp:
        return bmp_changes(source_bmp, written_bmp)
    return []
