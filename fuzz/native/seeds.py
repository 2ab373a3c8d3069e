"""Seeds for the native fuzz targets that take something other than whole
files, made from the PNG files of the test corpus: each file's image data (its
IDAT chunks joined) for `inflate`; that data inflated, behind a byte that
chooses the split, for `deflate`; and for 8-bit RGB and RGBA files that are not
interlaced, the inflated data behind the two bytes that give `scanlines` the
channels and the width.

    seeds.py PNG_FOLDER OUTPUT_FOLDER
"""

import struct
import sys
import zlib
from pathlib import Path

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunks(data: bytes):
    """(type, data) of each whole chunk after the signature."""
    offset = len(SIGNATURE)
    while offset + 12 <= len(data):
        (length,) = struct.unpack(">I", data[offset:offset + 4])
        if offset + 12 + length > len(data):
            return
        yield data[offset + 4:offset + 8], data[offset + 8:offset + 8 + length]
        offset += 12 + length


def scanlines_header(header: bytes) -> bytes | None:
    """The two bytes that give the scanlines target this image's layout, or
    nothing for an image that target does not take."""
    width, _, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", header)
    if depth != 8 or colour not in (2, 6) or interlace != 0 or width >= 2048:
        return None
    return bytes([(colour == 6) | (width >> 8) << 1, width & 0xFF])


def write_seeds(png: Path, output: Path, index: int) -> None:
    data = png.read_bytes()
    if not data.startswith(SIGNATURE):
        return
    found = list(chunks(data))
    stream = b"".join(body for kind, body in found if kind == b"IDAT")
    headers = [body for kind, body in found if kind == b"IHDR" and len(body) == 13]
    if not stream:
        return
    (output / "inflate" / png.name).write_bytes(stream)
    try:
        inflated = zlib.decompress(stream)
    except zlib.error:
        return
    (output / "deflate" / png.name).write_bytes(bytes([index % 256]) + inflated)
    layout = scanlines_header(headers[0]) if headers else None
    if layout is not None:
        (output / "scanlines" / png.name).write_bytes(layout + inflated)


def main() -> None:
    folder, output = Path(sys.argv[1]), Path(sys.argv[2])
    for target in ("inflate", "deflate", "scanlines"):
        (output / target).mkdir(parents=True, exist_ok=True)
    for index, png in enumerate(sorted(folder.glob("*.png"))):
        write_seeds(png, output, index)


if __name__ == "__main__":
    main()
