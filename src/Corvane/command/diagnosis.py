"""Why the decoder refused a file: a valid file of a kind it does not read
(unsupported: a palette PNG, a 32-bit BMP) or a broken one, and what exactly is
wrong with it. The file's structure is read in the order in which the decoder
tests it, so the first finding is the one the decoder stopped at."""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass

from Corvane.command.layout import (BMP_SIGNATURE, PNG_SIGNATURE, PngFile,
                            PngHeader, idat_data, ihdr_fields, read_bmp, read_png)

UNSUPPORTED = "unsupported"
BROKEN = "broken"

# The PNG colour types and the bit depths each allows.
PNG_COLOUR_TYPES = {0: ("greyscale", (1, 2, 4, 8, 16)), 2: ("RGB", (8, 16)),
                    3: ("palette", (1, 2, 4, 8)), 4: ("greyscale with alpha", (8, 16)),
                    6: ("RGBA", (8, 16))}
PNG_SIZE_LIMIT = 2**31 - 1
# BMP information headers by size, the depths and compression methods there are.
BMP_INFO_HEADERS = {12: "OS/2 1.x", 16: "OS/2 2.x", 64: "OS/2 2.x", 52: "V2", 56: "V3",
                    108: "V4", 124: "V5"}
BMP_BIT_COUNTS = (1, 2, 4, 8, 16, 24, 32, 64)
BMP_COMPRESSIONS = {1: "RLE8", 2: "RLE4", 3: "bit fields", 4: "embedded JPEG",
                    5: "embedded PNG", 6: "bit fields with alpha"}
# Image formats that are neither PNG nor BMP, by bytes at a given offset.
OTHER_FORMATS = ((0, b"\xff\xd8\xff", "JPEG"), (0, b"GIF8", "GIF"), (0, b"II*\0", "TIFF"),
                 (0, b"MM\0*", "TIFF"), (8, b"WEBP", "WebP"))
# Inflated image data is counted in pieces of this size, never held whole.
COUNTING_PIECE = 1 << 20


@dataclass(frozen=True)
class Finding:
    status: str     # UNSUPPORTED or BROKEN
    detail: str     # the kind of file, or what is wrong with it


def unsupported(kind: str) -> Finding:
    return Finding(UNSUPPORTED, kind)


def broken(detail: str) -> Finding:
    return Finding(BROKEN, detail)


def examine(data: bytes) -> Finding | None:
    """The first reason, in the decoder's order, why the file cannot be decoded;
    None when its structure shows none."""
    if data.startswith(PNG_SIGNATURE):
        return examine_png(data)
    if data.startswith(BMP_SIGNATURE):
        return examine_bmp(data)
    return examine_other(data)


# --- PNG ------------------------------------------------------------------------

def png_kind(header: PngHeader) -> str:
    """"8-bit palette", "16-bit RGB, interlaced", ..."""
    kind = f"{header.bit_depth}-bit {PNG_COLOUR_TYPES[header.colour_type][0]}"
    return kind + (", interlaced" if header.interlace else "")


def examine_png(data: bytes) -> Finding | None:
    png = read_png(data)
    # The decoder takes each IHDR's fields as it reads the chunk, then checks
    # the chunk layer to its end, then the last header's fields.
    for chunk in png.chunks:
        if chunk.type != b"IHDR":
            continue
        try:
            header = ihdr_fields(chunk)
        except struct.error:
            return broken(f"the IHDR chunk at byte {chunk.offset} holds {chunk.length} "
                          f"bytes, not 13")
        if max(header.width, header.height) > PNG_SIZE_LIMIT:
            return broken(f"the IHDR gives {header.width}x{header.height} pixels; "
                          f"sizes end at {PNG_SIZE_LIMIT}")
    if png.failure:
        return broken(png.failure)
    found = png.header()
    if found is None:
        return broken("the file has no IHDR chunk")
    return examine_png_header(found) or examine_image_data(data, png, found)


def examine_png_header(header: PngHeader) -> Finding | None:
    if header.colour_type not in PNG_COLOUR_TYPES:
        return broken(f"colour type {header.colour_type} is none of PNG's "
                      f"({', '.join(map(str, PNG_COLOUR_TYPES))})")
    kind, depths = PNG_COLOUR_TYPES[header.colour_type]
    if header.bit_depth not in depths:
        return broken(f"bit depth {header.bit_depth} is none that {kind} allows "
                      f"({', '.join(map(str, depths))})")
    for method, value in (("compression", header.compression),
                          ("filter", header.filter_method)):
        if value != 0:
            return broken(f"{method} method {value} is not PNG's (0)")
    if header.interlace not in (0, 1):
        return broken(f"interlace method {header.interlace} is none of PNG's (0, 1)")
    if header.bit_depth != 8 or header.colour_type not in (2, 6) or header.interlace:
        return unsupported(png_kind(header))
    return None


def inflated_size(compressed: bytes, limit: int) -> int | None:
    """How many bytes a zlib stream inflates to, counted up to `limit`; None when
    it is not a complete, valid stream (the decoder's own message says why)."""
    inflater = zlib.decompressobj()
    size, pending = 0, compressed
    try:
        while not inflater.eof and size <= limit:
            piece = inflater.decompress(pending, COUNTING_PIECE)
            if not piece and not inflater.unconsumed_tail:
                break
            size, pending = size + len(piece), inflater.unconsumed_tail
    except zlib.error:
        return None
    return size if inflater.eof or size > limit else None


def examine_image_data(data: bytes, png: PngFile, header: PngHeader) -> Finding | None:
    if not png.idat_sizes():
        return broken("the file has no IDAT chunk")
    channels = 3 if header.colour_type == 2 else 4
    needed = header.height * (header.width * channels + 1)
    size = inflated_size(idat_data(data, png), needed)
    if size is None or size == needed:
        return None
    amount = f"more than {needed}" if size > needed else str(size)
    return broken(f"the image data inflates to {amount} bytes; {header.width}x{header.height} "
                  f"{png_kind(header)} needs {needed}")


# --- BMP ------------------------------------------------------------------------

def examine_bmp(data: bytes) -> Finding | None:
    size = len(data)
    if size < 14:
        return broken(f"the file holds {size} bytes; its file header alone takes 14")
    if size < 18:
        return broken(f"the file ends at byte {size}, inside the information header's "
                      f"size field")
    (header_size,) = struct.unpack_from("<I", data, 14)
    if header_size != 40:
        version = BMP_INFO_HEADERS.get(header_size)
        if version is None:
            return broken(f"an information header of {header_size} bytes, a size no "
                          f"BMP version has")
        return unsupported(f"{version} information header ({header_size} bytes)")
    bmp = read_bmp(data)
    if bmp is None:
        return broken(f"the file ends at byte {size}, inside the 40-byte information header")
    planes, bits, compression = bmp["planes"], bmp["bitCount"], bmp["compression"]
    if planes != 1:
        return broken(f"planes is {planes}; a BMP has 1")
    if bits != 24 or compression != 0:
        if bits not in BMP_BIT_COUNTS:
            return broken(f"{bits} bits per pixel, a depth no BMP has")
        if compression and compression not in BMP_COMPRESSIONS:
            return broken(f"compression {compression}, a method no BMP has")
        method = BMP_COMPRESSIONS.get(compression)
        kind = f"{bits}-bit palette" if bits <= 8 else f"{bits}-bit"
        return unsupported(kind + (f", {method}" if method else ""))
    width, rows = bmp["width"], abs(bmp["height"])
    if width < 0 and rows:
        return broken(f"the width is negative: {width}")
    if width and rows and bmp.rows_end > size:
        return broken(f"{rows} rows of {bmp.row_stride} bytes from byte {bmp['offset']} end at "
                      f"byte {bmp.rows_end}; the file holds {size}")
    return None


# --- neither ----------------------------------------------------------------------

def examine_other(data: bytes) -> Finding:
    if not data:
        return broken("the file is empty")
    for offset, magic, name in OTHER_FORMATS:
        if data[offset:offset + len(magic)] == magic:
            return unsupported(f"{name} content")
    return broken(f"it starts with {data[:8].hex(' ')}, neither a PNG nor a BMP signature")

