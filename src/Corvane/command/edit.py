"""`corvane edit`: change pixels, alpha included, and write the image in the
format and layout of its source; then say what the written file holds and what
it changed besides the pixels."""

from __future__ import annotations

import argparse
import os
import stat
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TextIO

from Corvane.command.errors import EXIT_OK, FileError, about
from Corvane.command.files import (IMAGE_SUFFIXES, NotARegularFile, image_format, load,
                                   read_regular_file, rendered)
from Corvane.command.layout import (PNG_SIGNATURE, bmp_changes, png_changes, read_bmp,
                                    read_png)
from Corvane.simpleImage_ext import SimpleImage

STANDARD_STREAM = "-"
# One byte per pixel: 1 where the byte is not zero, 1 where it is.
NONZERO = bytes([0] + [1] * 255)
ZERO = bytes([1] + [0] * 255)


@dataclass
class Fill:
    """Pixels to set: the rectangle [x0, x1] x [y0, y1], inclusive, to one
    colour, and to one alpha value when it is given."""
    x0: int
    y0: int
    x1: int
    y1: int
    colour: tuple[int, int, int]
    alpha: int | None = None

    def __str__(self) -> str:
        if (self.x0, self.y0) == (self.x1, self.y1):
            return f"pixel ({self.x0},{self.y0})"
        return f"rectangle ({self.x0},{self.y0})-({self.x1},{self.y1})"


def parse_numbers(text: str, counts: Sequence[int], what: str) -> list[int]:
    parts = text.split(",")
    if len(parts) not in counts:
        needed = " or ".join(map(str, counts))
        raise argparse.ArgumentTypeError(f"{what} needs {needed} comma-separated numbers: {text!r}")
    try:
        return [int(part) for part in parts]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be integers: {text!r}") from None


def parse_colour(text: str) -> tuple[tuple[int, int, int], int | None]:
    """R,G,B or R,G,B,A, each 0..255."""
    components = parse_numbers(text, (3, 4), "a colour (R,G,B or R,G,B,A)")
    if not all(0 <= c <= 255 for c in components):
        raise argparse.ArgumentTypeError(f"colour components must be 0..255: {text!r}")
    r, g, b, *alpha = components
    return (r, g, b), alpha[0] if alpha else None


def parse_set(text: str) -> Fill:
    """X,Y=R,G,B[,A]"""
    where, _, colour = text.partition("=")
    x, y = parse_numbers(where, (2,), "a pixel position")
    return Fill(x, y, x, y, *parse_colour(colour))


def parse_fill(text: str) -> Fill:
    """X0,Y0,X1,Y1=R,G,B[,A]"""
    where, _, colour = text.partition("=")
    x0, y0, x1, y1 = parse_numbers(where, (4,), "a rectangle")
    return Fill(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1), *parse_colour(colour))


def apply_fill(image: SimpleImage, fill: Fill) -> None:
    width, height = image.size
    if not (0 <= fill.x0 and fill.x1 < width and 0 <= fill.y0 and fill.y1 < height):
        raise ValueError(f"{fill} lies outside the {width}x{height} image")
    pixels, alpha = image.pixels, image._alpha
    assert pixels is not None
    count = fill.x1 - fill.x0 + 1
    for y in range(fill.y0, fill.y1 + 1):
        start = y * width + fill.x0
        pixels[start * 3:(start + count) * 3] = bytes(fill.colour) * count
        if fill.alpha is not None and alpha is not None:
            alpha[start:start + count] = bytes((fill.alpha,)) * count


def difference(before: bytes, after: bytes, channels: int) -> int:
    """One byte per pixel, big-endian in an integer, zero exactly where the
    pixel is unchanged: the OR of its channels' XORs. The work stays in C,
    whatever the image's size."""
    found = 0
    for channel in range(channels):
        found |= (int.from_bytes(before[channel::channels])
                  ^ int.from_bytes(after[channel::channels]))
    return found


@dataclass
class Outcome:
    changed: int        # pixels whose colour or alpha now differs
    transparent: int    # of those, the ones that were and stay fully transparent


def apply_fills(image: SimpleImage, fills: Sequence[Fill]) -> Outcome:
    """Applies the fills in order and counts the pixels that now hold another
    value than before: overlaps count once, a pixel set to its own value not at all."""
    pixels, alpha = image.pixels, image._alpha
    if pixels is None:
        raise ValueError("the image has no pixel buffer")
    with_alpha = next((fill for fill in fills if fill.alpha is not None), None)
    if with_alpha is not None and alpha is None:
        raise ValueError(f"{with_alpha} is given an alpha value, but the image has no alpha "
                         f"channel: give R,G,B (adding alpha would change the file's header)")
    width = image.size[0]
    # Only the rows that the fills touch are compared.
    start = min(f.y0 for f in fills) * width
    end = (max(f.y1 for f in fills) + 1) * width
    rgb_before = bytes(pixels[start * 3:end * 3])
    alpha_before = bytes(alpha[start:end]) if alpha is not None else b""
    for fill in fills:
        apply_fill(image, fill)
    alpha_after = bytes(alpha[start:end]) if alpha is not None else b""
    changed = (difference(rgb_before, bytes(pixels[start * 3:end * 3]), 3)
               | difference(alpha_before, alpha_after, 1))
    count = end - start
    mask = changed.to_bytes(count)
    transparent = 0
    if alpha is not None:
        transparent = (int.from_bytes(mask.translate(NONZERO))
                       & int.from_bytes(alpha_before.translate(ZERO))
                       & int.from_bytes(alpha_after.translate(ZERO))).to_bytes(count).count(1)
    return Outcome(count - mask.count(0), transparent)


def names_standard_output(output: str) -> bool:
    """Whether OUT is standard output: "-", or a path to the very file or pipe
    that standard output is (/dev/stdout, /dev/fd/1, a file it was redirected to)."""
    if output == STANDARD_STREAM:
        return True
    try:
        named, standard = os.stat(output), os.fstat(sys.stdout.fileno())
    except (OSError, ValueError):
        return False
    return (named.st_dev, named.st_ino) == (standard.st_dev, standard.st_ino)


def is_special(path: str) -> bool:
    """A path that exists and is not a regular file: a device, a pipe."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def write_image(image: SimpleImage, output: str, to_standard_output: bool) -> bytes | None:
    """Writes the image to OUT and returns the bytes written, read back when
    OUT is a regular file (None when it cannot be read back). Standard output,
    devices and pipes are written once, in place, and never reopened."""
    if to_standard_output:
        data = rendered(image)
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return data
    if is_special(output):
        data = rendered(image)
        with open(output, "wb") as file:
            file.write(data)
        return data
    # `save` replaces OUT only once the new file is complete, so a failed write
    # leaves OUT (or IN, when it is both) as it was.
    image.save(output)
    try:
        return read_regular_file(output)
    except (OSError, NotARegularFile):
        return None


def format_note(input_path: str, output: str, written: str) -> str | None:
    """A note when OUT's suffix names the other format than the one written."""
    named = IMAGE_SUFFIXES.get(Path(output).suffix.lower())
    if named is None or named == written:
        return None
    return (f"{output} is written as {written}, the format of {input_path}; "
            f"its suffix does not choose the format")


def report(label: str, image: SimpleImage, outcome: Outcome, source: bytes,
           written: bytes | None) -> list[str]:
    """What OUT holds, read from the bytes written, and what the write changed
    besides the pixels."""
    width, height = image.size
    lines = [f"{label}: {image_format(image)} {width}x{height}, "
             f"{outcome.changed} pixel(s) changed"]
    if outcome.transparent:
        lines.append(f"  note: {outcome.transparent} of them were and stay fully transparent "
                     f"(alpha 0), so they look the same; R,G,B,A sets alpha as well")
    if written is None:
        lines.append("  (OUT could not be read back to show what it holds)")
        return lines
    if written.startswith(PNG_SIGNATURE):
        before, after = read_png(source), read_png(written)
        lines.append("  chunks: " + " ".join(chunk.name for chunk in after.chunks))
        lines.append("  every chunk other than IDAT kept byte for byte"
                     if after.stored_chunks() == before.stored_chunks()
                     else "  warning: the chunks other than IDAT changed")
        changes = png_changes(before, after)
    else:
        before_bmp, after_bmp = read_bmp(source), read_bmp(written)
        assert before_bmp is not None and after_bmp is not None
        lines.append("  header: " + ", ".join(f"{k}={after_bmp.fields[k]}" for k in
                                              ("xppm", "yppm", "clrUsed", "clrImportant")))
        changes = bmp_changes(before_bmp, after_bmp)
    if changes:
        lines.append("  changed: " + "; ".join(change.text for change in changes))
    return lines


def read_input(path: str) -> bytes:
    if path == STANDARD_STREAM:
        return sys.stdin.buffer.read()
    with about(path):
        return read_regular_file(path)


def command_edit(arguments: argparse.Namespace) -> int:
    to_standard_output = names_standard_output(arguments.output)
    if to_standard_output and sys.stdout.isatty():
        arguments.usage_error("OUT is a terminal: redirect standard output or name a file")
    source = load(arguments.input, read_input(arguments.input))
    image = source.image
    if image is None:
        raise FileError(arguments.input, source.message)
    with about(arguments.input):
        outcome = apply_fills(image, arguments.set + arguments.fill)
    note = format_note(arguments.input, arguments.output, image_format(image))
    if note:
        print(f"corvane {arguments.command}: note: {note}", file=sys.stderr)
    with about(arguments.output):
        written = write_image(image, arguments.output, to_standard_output)
    stream: TextIO = sys.stderr if to_standard_output else sys.stdout
    label = "standard output" if arguments.output == STANDARD_STREAM else arguments.output
    print("\n".join(report(label, image, outcome, source.data, written)), file=stream)
    return EXIT_OK
