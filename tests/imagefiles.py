"""PNG and BMP files for the tests, built and taken apart independently of the
extension: plain Python over `struct` and `zlib`, with the PNG filters written
out byte by byte as the format defines them."""

import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def paeth(a: int, b: int, c: int) -> int:
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _predictor(filter_type: int, left: int, above: int, upper_left: int) -> int:
    return (0, left, above, (left + above) // 2, paeth(left, above, upper_left))[filter_type]


def filter_scanlines(raw_rows: list[bytes], filters: list[int], bpp: int) -> bytes:
    """The filtered scanline stream: a filter byte, then the filtered row, per row."""
    out = bytearray()
    previous = bytes(len(raw_rows[0])) if raw_rows else b""
    for raw, filter_type in zip(raw_rows, filters, strict=True):
        out.append(filter_type)
        for i, value in enumerate(raw):
            left = raw[i - bpp] if i >= bpp else 0
            upper_left = previous[i - bpp] if i >= bpp else 0
            out.append((value - _predictor(filter_type, left, previous[i], upper_left)) & 255)
        previous = raw
    return bytes(out)


def unfilter_scanlines(stream: bytes, width: int, height: int, bpp: int):
    """Inverse of filter_scanlines: (raw rows, filter types)."""
    stride = width * bpp
    assert len(stream) == height * (stride + 1)
    rows, filters = [], []
    previous = bytes(stride)
    for y in range(height):
        record = stream[y * (stride + 1):(y + 1) * (stride + 1)]
        filter_type, filtered = record[0], record[1:]
        raw = bytearray(stride)
        for i in range(stride):
            left = raw[i - bpp] if i >= bpp else 0
            upper_left = previous[i - bpp] if i >= bpp else 0
            raw[i] = (filtered[i] + _predictor(filter_type, left, previous[i], upper_left)) & 255
        rows.append(bytes(raw))
        filters.append(filter_type)
        previous = raw
    return rows, filters


def raw_rows(width: int, height: int, rgb: bytes, alpha: bytes | None = None) -> list[bytes]:
    """Unfiltered scanlines of an RGB buffer, interleaved with alpha when given."""
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            p = y * width + x
            row += rgb[3 * p:3 * p + 3]
            if alpha is not None:
                row.append(alpha[p])
        rows.append(bytes(row))
    return rows


def chunk(chunk_type: bytes, data: bytes) -> bytes:
    crc = zlib.crc32(chunk_type + data) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + chunk_type + data + struct.pack(">I", crc)


def ihdr_data(width: int, height: int, bit_depth: int = 8, colour_type: int = 2,
              compression: int = 0, filter_method: int = 0, interlace: int = 0) -> bytes:
    return struct.pack(">IIBBBBB", width, height, bit_depth, colour_type, compression,
                       filter_method, interlace)


def split_sizes(data: bytes, sizes: list[int]) -> list[bytes]:
    """`data` cut into pieces of the given sizes; the last piece takes the rest."""
    pieces, offset = [], 0
    for size in sizes[:-1]:
        pieces.append(data[offset:offset + size])
        offset += size
    pieces.append(data[offset:])
    return pieces


def png_file(chunks: list[tuple[bytes, bytes]]) -> bytes:
    return PNG_SIGNATURE + b"".join(chunk(t, d) for t, d in chunks)


def png_chunks(width: int, height: int, rgb: bytes, alpha: bytes | None = None,
               filters: list[int] | None = None, idat_sizes: list[int] | None = None,
               before_idat: list[tuple[bytes, bytes]] = (),
               after_idat: list[tuple[bytes, bytes]] = (), iend: bool = True):
    """The (type, data) chunks of an 8-bit RGB or RGBA PNG of the given pixels."""
    bpp = 4 if alpha is not None else 3
    filters = filters if filters is not None else [0] * height
    stream = filter_scanlines(raw_rows(width, height, rgb, alpha), filters, bpp)
    compressed = zlib.compress(stream)
    idats = split_sizes(compressed, idat_sizes) if idat_sizes else [compressed]
    chunks = [(b"IHDR", ihdr_data(width, height, colour_type=6 if alpha is not None else 2))]
    chunks += list(before_idat) + [(b"IDAT", d) for d in idats] + list(after_idat)
    if iend:
        chunks.append((b"IEND", b""))
    return chunks


def make_png(width: int, height: int, rgb: bytes, alpha: bytes | None = None, **options) -> bytes:
    return png_file(png_chunks(width, height, rgb, alpha, **options))


def parse_png(data: bytes) -> list[tuple[bytes, bytes]]:
    """The (type, data) chunks of a PNG file, checking the signature and every CRC."""
    assert data[:8] == PNG_SIGNATURE
    chunks, offset = [], 8
    while offset < len(data):
        (length,) = struct.unpack(">I", data[offset:offset + 4])
        chunk_type = data[offset + 4:offset + 8]
        body = data[offset + 8:offset + 8 + length]
        (crc,) = struct.unpack(">I", data[offset + 8 + length:offset + 12 + length])
        assert crc == zlib.crc32(chunk_type + body) & 0xFFFFFFFF
        chunks.append((chunk_type, body))
        offset += 12 + length
    return chunks


def idat_stream(data: bytes) -> bytes:
    """The decompressed image data of a PNG file."""
    return zlib.decompress(b"".join(d for t, d in parse_png(data) if t == b"IDAT"))


def make_bmp(width: int, height: int, rgb: bytes, top_down: bool = False, gap: bytes = b"",
             xppm: int = 2835, yppm: int = 2835, clr_used: int = 0, clr_important: int = 0,
             padding_byte: int = 0, header_size: int = 40, planes: int = 1, bits: int = 24,
             compression: int = 0, offset: int | None = None, trailing: bytes = b"") -> bytes:
    """A BMP file with a 40-byte information header; rows bottom-up unless top_down."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            r, g, b = rgb[3 * (y * width + x):3 * (y * width + x) + 3]
            row += bytes((b, g, r))
        row += bytes([padding_byte]) * (stride - width * 3)
        rows.append(bytes(row))
    if not top_down:
        rows.reverse()
    pixel_array = b"".join(rows)
    headers = bmp_headers(width, -height if top_down else height, len(pixel_array),
                          offset=54 + len(gap) if offset is None else offset,
                          file_size=54 + len(gap) + len(pixel_array), xppm=xppm, yppm=yppm,
                          clr_used=clr_used, clr_important=clr_important,
                          header_size=header_size, planes=planes, bits=bits,
                          compression=compression)
    return headers + gap + pixel_array + trailing


def bmp_headers(width: int, height: int, image_size: int = 0, offset: int = 54,
                file_size: int = 0, xppm: int = 2835, yppm: int = 2835, clr_used: int = 0,
                clr_important: int = 0, header_size: int = 40, planes: int = 1, bits: int = 24,
                compression: int = 0) -> bytes:
    """The 14-byte file header and 40-byte information header of a BMP, with
    every field as given (height negative for top-down rows)."""
    info = struct.pack("<IiiHHIIiiII", header_size, width, height, planes, bits, compression,
                       image_size, xppm, yppm, clr_used, clr_important)
    return b"BM" + struct.pack("<IHHI", file_size, 0, 0, offset) + info


def png_with_image_data(ihdr: bytes, payload: bytes | None, idat_sizes: list[int] | None = None,
                        iend: bool = True) -> bytes:
    """A PNG whose IDAT chunks carry `payload` as given (no IDAT when None),
    cut at `idat_sizes`: for corrupt or unusual zlib streams."""
    chunks = [(b"IHDR", ihdr)]
    if payload is not None:
        chunks += [(b"IDAT", part) for part in split_sizes(payload, idat_sizes or [len(payload)])]
    if iend:
        chunks.append((b"IEND", b""))
    return png_file(chunks)


def zlib_bomb(mebibytes: int, prefix: bytes = b"") -> bytes:
    """A valid zlib stream of `prefix` and then `mebibytes` MiB of zero bytes,
    about 1000 times smaller than those, built without compressing them all:
    after a full flush the deflate output of each further MiB of zeros is the
    same, so it is repeated."""
    block = bytes(1 << 20)
    compressor = zlib.compressobj(9)
    head = compressor.compress(prefix + block) + compressor.flush(zlib.Z_FULL_FLUSH)
    middle = compressor.compress(block) + compressor.flush(zlib.Z_FULL_FLUSH)
    tail = compressor.compress(block) + compressor.flush()
    # Adler-32 over zero bytes keeps its first sum and adds it to the second for each.
    adler = zlib.adler32(prefix)
    first, second = adler & 0xFFFF, adler >> 16
    second = (second + first * (mebibytes << 20)) % 65521
    checksum = second << 16 | first
    return head + middle * (mebibytes - 2) + tail[:-4] + struct.pack(">I", checksum)


BMP_FIELDS = ("file_size", "reserved1", "reserved2", "offset", "header_size", "width", "height",
              "planes", "bits", "compression", "image_size", "xppm", "yppm", "clr_used",
              "clr_important")


def bmp_fields(data: bytes) -> dict[str, int]:
    """The header fields of a BMP file with a 40-byte information header."""
    assert data[:2] == b"BM"
    values = struct.unpack("<IHHI", data[2:14]) + struct.unpack("<IiiHHIIiiII", data[14:54])
    return dict(zip(BMP_FIELDS, values, strict=True))


def split_payload(data: bytes, lengths: list[int]) -> list[bytes]:
    """The rule by which the chunk-preserving writer cuts its compressed image
    data along the source's IDAT sizes, step by step as documented."""
    parts, offset = [], 0
    for index, length in enumerate(lengths):
        if offset >= len(data):
            break
        if length <= 0:
            continue
        rest = len(data) - offset
        take = rest if index == len(lengths) - 1 else min(length, rest)
        parts.append(data[offset:offset + take])
        offset += take
    if offset < len(data):
        parts.append(data[offset:])
    return parts


def read_bmp_pixels(data: bytes) -> bytes:
    """The RGB rows, top to bottom, of a bottom-up 24-bit BMP file."""
    fields = bmp_fields(data)
    width, height, offset = fields["width"], fields["height"], fields["offset"]
    stride = (width * 3 + 3) // 4 * 4
    rgb = bytearray()
    for row in reversed(range(height)):
        start = offset + row * stride
        for x in range(width):
            b, g, r = data[start + 3 * x:start + 3 * x + 3]
            rgb += bytes((r, g, b))
    return bytes(rgb)


def stored_chunks(chunks: list[tuple[bytes, bytes]]) -> list[tuple[bytes, bytes | None, int]]:
    """The chunk list that the decoder keeps for the given (type, data) chunks."""
    return [(t, None if t == b"IDAT" else d, len(d)) for t, d in chunks]


def split_rule_sizes(total: int, lengths: list[int]) -> list[int]:
    """Sizes of the IDAT chunks that a new payload of `total` bytes is cut into
    along the source's IDAT lengths."""
    return [len(part) for part in split_payload(bytes(total), lengths)]


def idat_total(stored: list) -> int:
    """The size of the image data that a stored chunk list records."""
    return sum(length for t, _, length in stored if t == b"IDAT")


def written_back(stored: list, payload_size: int) -> list:
    """The chunk list of a file written along `stored` with a new payload of
    `payload_size` bytes: every other chunk in its place, the IDAT run at the
    first IDAT entry (later ones dropped), or after the last entry if none."""
    lengths = [length for t, _, length in stored if t == b"IDAT"]
    run = [(b"IDAT", None, size) for size in split_rule_sizes(payload_size, lengths)]
    result, placed = [], False
    for entry in stored:
        if entry[0] != b"IDAT":
            result.append(entry)
        elif not placed:
            result += run
            placed = True
    return result if placed else result + run
