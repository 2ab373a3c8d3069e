"""Image files read whole, decoded, and rendered back to bytes. A file is read
only when it is a regular file, so that naming a named pipe never blocks and
naming a device never sets it off; an image is rendered to the bytes that
`save` writes without touching the disk."""

from __future__ import annotations

import contextlib
import io
import os
import stat
from dataclasses import dataclass

from Corvane.command.diagnosis import BROKEN, examine
from Corvane.command.errors import describe_error
from Corvane.simpleImage_ext import SimpleImage

OK = "ok"
UNREADABLE = "unreadable"
IMAGE_SUFFIXES = {".png": "PNG", ".bmp": "BMP"}
FILE_KINDS = {stat.S_IFDIR: "a folder", stat.S_IFIFO: "a named pipe",
              stat.S_IFCHR: "a character device", stat.S_IFBLK: "a block device",
              stat.S_IFSOCK: "a socket"}


class NotARegularFile(Exception):
    """A path that names something other than a regular file."""

    def __init__(self, mode: int) -> None:
        kind = FILE_KINDS.get(stat.S_IFMT(mode), "of an unknown kind")
        super().__init__(f"not a regular file ({kind})")


def read_regular_file(path: str) -> bytes:
    """The contents of a regular file; anything else is refused before it is
    opened. It is opened without blocking and looked at again, in case it was
    replaced in between."""
    mode = os.stat(path).st_mode
    if not stat.S_ISREG(mode):
        raise NotARegularFile(mode)
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    with open(descriptor, "rb") as file:
        mode = os.fstat(descriptor).st_mode
        if not stat.S_ISREG(mode):
            raise NotARegularFile(mode)
        return file.read()


def decode(data: bytes) -> SimpleImage:
    """Decodes an image without the line that `SimpleImage.open` prints, so that
    the command's own output (JSON included) stays clean."""
    with contextlib.redirect_stdout(io.StringIO()):
        return SimpleImage.open(data)


def rendered(image: SimpleImage) -> bytes:
    """The bytes that `save` writes for the image. They go to an anonymous file
    in memory, which `save` writes in place through its /proc path: nothing
    reaches the disk, nothing is synced and nothing is left behind."""
    descriptor = os.memfd_create("corvane-image", os.MFD_CLOEXEC)
    with open(descriptor, "rb") as file:
        image.save(f"/proc/self/fd/{descriptor}")
        return file.read()


def image_format(image: SimpleImage) -> str:
    """The format that `save` writes, chosen by the image's side data."""
    if image._png_chunks is not None:
        return "PNG"
    if image._bmp_header is not None:
        return "BMP"
    return "raw"


@dataclass
class Loaded:
    """A file as the command read it: its bytes, and the image decoded from
    them or why there is none."""
    path: str
    data: bytes = b""
    image: SimpleImage | None = None
    status: str = OK          # OK, UNSUPPORTED, BROKEN or UNREADABLE
    message: str = ""         # why there is no image: the module's own words, then what was found
    detail: str = ""          # what was found alone; for an unsupported file, its kind


def load(path: str, data: bytes | None = None) -> Loaded:
    """Reads the file at `path` (unless its bytes are given) and decodes it. A
    file the decoder refuses is examined to tell an unsupported kind of file
    from a broken one, and to say what exactly stopped the decoder."""
    try:
        if data is None:
            data = read_regular_file(path)
    except (OSError, NotARegularFile) as error:
        return Loaded(path, status=UNREADABLE, message=describe_error(error))
    try:
        return Loaded(path, data, decode(data))
    except MemoryError as error:
        return Loaded(path, data, status=UNREADABLE, message=describe_error(error))
    except Exception as error:
        reason = describe_error(error)
    finding = examine(data)
    if finding is None:
        return Loaded(path, data, status=BROKEN, message=reason)
    return Loaded(path, data, status=finding.status, message=f"{reason} ({finding.detail})",
                  detail=finding.detail)
