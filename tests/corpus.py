"""The shared test corpora (PngSuite and bmpsuite), read in place, and what the
decoders must make of each file.

The expectation for a file is derived from what the file is, never from what the
module answers: for PngSuite from the suite's naming scheme (and, for the
deliberately corrupt files, from the damage that each name stands for); for
bmpsuite from the header fields, unpacked here with `struct`. The rules are
applied in the order in which the decoders apply them. A file that no rule
classifies raises `Unclassified`, so a new file in a corpus fails the tests
until someone states what it must give."""

import dataclasses
import os
import pathlib
import re
import struct
import zlib

import pytest
from PIL import Image

# SIMPLEIMAGE_CORPUS names the folder holding pngsuite/ and bmpsuite/; by
# default it is shared/corpus beside the project.
ROOT = pathlib.Path(os.environ.get("SIMPLEIMAGE_CORPUS")
                    or pathlib.Path(__file__).resolve().parents[2] / "shared" / "corpus")
PNG_DIR = ROOT / "pngsuite"
BMP_DIR = ROOT / "bmpsuite"
AVAILABLE = PNG_DIR.is_dir() and BMP_DIR.is_dir()

if not AVAILABLE and os.environ.get("CI"):
    # Under CI a missing corpus is a broken set-up, not a reason to test less.
    raise RuntimeError(f"test corpora not found in {ROOT}; set SIMPLEIMAGE_CORPUS")

needs_corpus = pytest.mark.skipif(not AVAILABLE, reason=f"test corpora not found in {ROOT}")


def png_names() -> list[str]:
    return sorted(path.name for path in PNG_DIR.glob("*.png"))


def bmp_names() -> list[str]:
    return sorted(str(path.relative_to(BMP_DIR)) for path in BMP_DIR.glob("*/*.bmp"))


class Unclassified(Exception):
    """A corpus file that no rule of this module covers."""


@dataclasses.dataclass(frozen=True)
class Refused:
    reason: str
    error: type
    # None: the message is the library's own (zlib, struct)
    message: str | None = None


@dataclasses.dataclass(frozen=True)
class Accepted:
    has_alpha: bool = False
    reason: str = "accepted"


UNSUPPORTED_FORMAT = "Unsupported image format"
CORRUPTED_CHUNK = "Corrupted PNG chunk detected"
ONLY_8_BIT = "Only 8-bit PNG images are supported"
ONLY_RGB_RGBA = "Only RGB/RGBA PNG images are supported"
UNSUPPORTED_CONFIGURATION = "Unsupported PNG configuration (compression/filter/interlace)"
UNSUPPORTED_BMP_HEADER = "Unsupported BMP header"
CORRUPTED_DIB_HEADER = "Corrupted BMP DIB header"
ONLY_INFO_HEADER = "Only BITMAPINFOHEADER BMP files are supported"
ONLY_UNCOMPRESSED_24_BIT = "Only uncompressed 24-bit BMP files are supported"
INCOMPLETE_PIXELS = "Incomplete BMP pixel data"


# --- PngSuite ---------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class PngHeader:
    bit_depth: int
    colour_type: int
    interlaced: bool


# Names are three characters for what the file exercises, "n" or "i" for
# non-interlaced or interlaced, the colour type digit, a letter for the kind of
# colour (grey, colour, palette, alpha), and the bit depth in two digits.
NAME_CODE = re.compile(r"[a-z0-9]{3}(?P<interlace>[ni])(?P<colour_type>[02346])"
                       r"[gcpa](?P<bit_depth>01|02|04|08|16)\.png")

# The deliberately corrupt files ("x" prefix) and what each one damages.
BAD_SIGNATURE = "bad signature"
BAD_CRC = "bad CRC"
MISSING_IDAT = "missing IDAT"
DAMAGE = {
    "xs1": BAD_SIGNATURE,  # first byte with its top bit cleared
    "xs2": BAD_SIGNATURE,  # second byte a "Q"
    "xs4": BAD_SIGNATURE,  # fourth byte in lower case
    "xs7": BAD_SIGNATURE,  # seventh byte a space instead of control-Z
    "xcr": BAD_SIGNATURE,  # line ends converted: CR bytes added
    "xlf": BAD_SIGNATURE,  # line ends converted: LF bytes added
    "xhd": BAD_CRC,        # IHDR checksum
    "xcs": BAD_CRC,        # IDAT checksum
    "xdt": MISSING_IDAT,
}
# Corrupt files whose header holds a value that no PNG may have.
DAMAGED_HEADER_FIELDS = {
    "xc1": {"colour_type": 1},
    "xc9": {"colour_type": 9},
    "xd0": {"bit_depth": 0},
    "xd3": {"bit_depth": 3},
    "xd9": {"bit_depth": 99},
}
# The suite's logo follows no naming scheme: its header is read from the file.
LOGO = "PngSuite.png"

COLOUR_KINDS = {0: "grey", 3: "palette", 4: "grey with alpha"}


def ihdr_fields(data: bytes) -> PngHeader:
    """Bit depth, colour type and interlacing from the IHDR that follows the signature."""
    assert data[12:16] == b"IHDR"
    _, _, bit_depth, colour_type, _, _, interlace = struct.unpack(">IIBBBBB", data[16:29])
    return PngHeader(bit_depth, colour_type, interlace != 0)


def header_from_name(name: str) -> PngHeader:
    if name == LOGO:
        return ihdr_fields((PNG_DIR / name).read_bytes())
    code = NAME_CODE.fullmatch(name)
    if code is None:
        raise Unclassified(f"pngsuite/{name}: name outside the naming scheme")
    header = PngHeader(int(code["bit_depth"]), int(code["colour_type"]),
                       code["interlace"] == "i")
    return dataclasses.replace(header, **DAMAGED_HEADER_FIELDS.get(name[:3], {}))


def expected_png(name: str):
    """What `SimpleImage.open` must do with a PngSuite file: the signature is
    tested first, then every chunk's CRC as the chunks are read, then the
    header fields, and only then is the image data decompressed."""
    if name.startswith("x") and name[:3] not in DAMAGE and name[:3] not in DAMAGED_HEADER_FIELDS:
        raise Unclassified(f"pngsuite/{name}: corrupt file of an unknown kind")
    damage = DAMAGE.get(name[:3])
    if damage == BAD_SIGNATURE:
        return Refused(BAD_SIGNATURE, ValueError, UNSUPPORTED_FORMAT)
    if damage == BAD_CRC:
        return Refused(BAD_CRC, ValueError, CORRUPTED_CHUNK)
    header = header_from_name(name)
    if header.bit_depth != 8:
        return Refused(f"{header.bit_depth}-bit", ValueError, ONLY_8_BIT)
    if header.colour_type not in (2, 6):
        kind = COLOUR_KINDS.get(header.colour_type, f"colour type {header.colour_type}")
        return Refused(kind, ValueError, ONLY_RGB_RGBA)
    if header.interlaced:
        return Refused("interlaced", ValueError, UNSUPPORTED_CONFIGURATION)
    if damage == MISSING_IDAT:
        return Refused(MISSING_IDAT, zlib.error)
    return Accepted(has_alpha=header.colour_type == 6)


# --- bmpsuite -----------------------------------------------------------------

INFO_HEADER_KINDS = {12: "OS/2 1.x header", 16: "OS/2 2.x header", 64: "OS/2 2.x header",
                     52: "V2 header", 56: "V3 header", 108: "V4 header", 124: "V5 header"}
COMPRESSIONS = {1: "RLE", 2: "RLE", 3: "bit fields", 4: "embedded JPEG", 5: "embedded PNG",
                6: "bit fields with alpha"}


def expected_bmp(data: bytes):
    """What `SimpleImage.open` must do with a BMP file, from its header fields,
    tested in the decoder's order. A pixel buffer larger than the machine's
    memory may be refused by the allocator before any row is read, or granted
    (depending on the kernel's overcommit policy) and then find its rows missing."""
    if len(data) < 14 or data[:2] != b"BM":
        return Refused("short file header", ValueError, UNSUPPORTED_BMP_HEADER)
    (offset,) = struct.unpack("<I", data[10:14])
    if len(data) < 18:
        return Refused("short DIB header", ValueError, CORRUPTED_DIB_HEADER)
    (header_size,) = struct.unpack("<I", data[14:18])
    if header_size != 40:
        return Refused(INFO_HEADER_KINDS.get(header_size, f"{header_size}-byte header"),
                       ValueError, ONLY_INFO_HEADER)
    if len(data) < 54:
        return Refused("short information header", struct.error)
    width, height, planes, bits, compression = struct.unpack("<iiHHI", data[18:34])
    if (planes, bits, compression) != (1, 24, 0):
        kind = ", ".join(filter(None, [
            f"{planes} planes" if planes != 1 else "", f"{bits}-bit" if bits != 24 else "",
            COMPRESSIONS.get(compression, f"compression {compression}") if compression else ""]))
        return Refused(kind, ValueError, ONLY_UNCOMPRESSED_24_BIT)
    rows, stride = abs(height), (width * 3 + 3) // 4 * 4
    if width < 0 and rows:
        return Refused("negative width", ValueError, "negative count")
    if rows * stride and offset + rows * stride > len(data):
        # However much memory the header promises (reallybig.bmp: 18 TB).
        return Refused("rows missing", ValueError, INCOMPLETE_PIXELS)
    return Accepted()


# --- the independent decoder ------------------------------------------------

def pillow_planes(path) -> tuple[bytes, bytes | None]:
    """RGB bytes and, for an image with an alpha channel, the alpha plane."""
    with Image.open(path) as reference:
        pixels = reference.convert("RGB").tobytes()
        alpha = reference.getchannel("A").tobytes() if reference.mode == "RGBA" else None
    return pixels, alpha


def accepted_pngs() -> list[str]:
    """The PngSuite files that must decode; an unclassified file is left to the
    test that opens every file, which fails on it."""
    def accepted(name):
        try:
            return isinstance(expected_png(name), Accepted)
        except Unclassified:
            return False
    return [name for name in png_names() if accepted(name)]


def accepted_bmps() -> list[str]:
    return [name for name in bmp_names()
            if isinstance(expected_bmp((BMP_DIR / name).read_bytes()), Accepted)]
