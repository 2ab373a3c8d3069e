"""The `corvane` command: inspect, edit and check PNG and BMP images with the
layout-preserving codecs of `Corvane.simpleImage_ext`.

Exit status: 0 when everything worked, 1 when an image could not be read,
written or round-tripped, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import io
import json
import os
import sys
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

from Corvane.simpleImage_ext import SimpleImage

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2

IMAGE_SUFFIXES = {".png", ".bmp"}
FILTER_NAMES = ("None", "Sub", "Up", "Average", "Paeth")


class UserError(Exception):
    """A problem caused by the command's input, reported in one line."""


# --- opening and describing -------------------------------------------------

def open_image(path: str | Path) -> SimpleImage:
    """Opens an image without the line that `SimpleImage.open` prints, so that
    the command's own output (JSON included) stays clean."""
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            return SimpleImage.open(str(path))
        except (OSError, ValueError, TypeError, OverflowError) as error:
            raise UserError(f"{path}: {describe_error(error)}") from error


def describe_error(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def image_format(image: SimpleImage) -> str:
    if image._png_chunks is not None:
        return "PNG"
    if image._bmp_header is not None:
        return "BMP"
    return "raw"


def describe(path: str | Path, image: SimpleImage) -> dict:
    width, height = image.size
    info: dict = {
        "file": str(path),
        "format": image_format(image),
        "width": width,
        "height": height,
        "channels": 4 if image._alpha is not None else 3,
    }
    if image._png_chunks is not None:
        info["chunks"] = [
            {"type": chunk_type.decode("latin-1"), "length": length,
             "data": "IDAT" if data is None else "stored"}
            for chunk_type, data, length in image._png_chunks]
        counts = collections.Counter(image._png_filters or b"")
        info["filters"] = {FILTER_NAMES[t] if t < len(FILTER_NAMES) else str(t): counts[t]
                           for t in sorted(counts)}
    if image._bmp_header is not None:
        info["bmp_header"] = dict(image._bmp_header)
    return info


def format_info(info: dict) -> str:
    lines = [f"{info['file']}: {info['format']} {info['width']}x{info['height']}, "
             f"{info['channels']} channels"]
    if "chunks" in info:
        lines.append("  chunk  length  data")
        lines += [f"  {c['type']:<5}  {c['length']:>6}  {c['data']}" for c in info["chunks"]]
        histogram = ", ".join(f"{name} {count}" for name, count in info["filters"].items())
        lines.append(f"  row filters: {histogram or 'none'}")
    if "bmp_header" in info:
        lines.append("  header: " + ", ".join(f"{k}={v}" for k, v in info["bmp_header"].items()))
    return "\n".join(lines)


def command_info(arguments: argparse.Namespace) -> int:
    """Describes every file it can read; the others are reported as errors."""
    described, failed = [], False
    for path in arguments.files:
        try:
            described.append(describe(path, open_image(path)))
        except UserError as error:
            failed = True
            report_error(arguments.command, error)
            described.append({"file": str(path), "error": str(error).removeprefix(f"{path}: ")})
    if arguments.json:
        print(json.dumps(described, indent=2))
    else:
        print("\n".join(format_info(info) for info in described if "error" not in info))
    return EXIT_FAILURE if failed else EXIT_OK


# --- editing ------------------------------------------------------------------

@dataclass
class Fill:
    """Pixels to set: the rectangle [x0, x1] x [y0, y1], inclusive, to one colour."""
    x0: int
    y0: int
    x1: int
    y1: int
    colour: tuple[int, int, int]


def parse_numbers(text: str, count: int, what: str) -> list[int]:
    parts = text.split(",")
    if len(parts) != count:
        raise argparse.ArgumentTypeError(f"{what} needs {count} comma-separated numbers: {text!r}")
    try:
        return [int(part) for part in parts]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be integers: {text!r}") from None


def parse_colour(text: str) -> tuple[int, int, int]:
    r, g, b = parse_numbers(text, 3, "a colour")
    if not all(0 <= c <= 255 for c in (r, g, b)):
        raise argparse.ArgumentTypeError(f"colour components must be 0..255: {text!r}")
    return r, g, b


def parse_set(text: str) -> Fill:
    """X,Y=R,G,B"""
    where, _, colour = text.partition("=")
    x, y = parse_numbers(where, 2, "a pixel position")
    return Fill(x, y, x, y, parse_colour(colour))


def parse_fill(text: str) -> Fill:
    """X0,Y0,X1,Y1=R,G,B"""
    where, _, colour = text.partition("=")
    x0, y0, x1, y1 = parse_numbers(where, 4, "a rectangle")
    return Fill(min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1), parse_colour(colour))


def apply_fill(image: SimpleImage, fill: Fill) -> int:
    width, height = image.size
    if not (0 <= fill.x0 and fill.x1 < width and 0 <= fill.y0 and fill.y1 < height):
        raise UserError(f"({fill.x0},{fill.y0})-({fill.x1},{fill.y1}) lies outside the "
                        f"{width}x{height} image")
    row = bytes(fill.colour) * (fill.x1 - fill.x0 + 1)
    for y in range(fill.y0, fill.y1 + 1):
        start = (y * width + fill.x0) * 3
        image.pixels[start:start + len(row)] = row
    return (fill.x1 - fill.x0 + 1) * (fill.y1 - fill.y0 + 1)


def stored_chunks(image: SimpleImage) -> list[tuple[bytes, bytes]]:
    return [(t, d) for t, d, _ in image._png_chunks or [] if d is not None]


def command_edit(arguments: argparse.Namespace) -> int:
    image = open_image(arguments.input)
    fills = arguments.set + arguments.fill
    if not fills:
        raise UserError("nothing to change: give --set or --fill")
    changed = sum(apply_fill(image, fill) for fill in fills)
    try:
        image.save(str(arguments.output))
    except (OSError, ValueError, TypeError) as error:
        raise UserError(f"{arguments.output}: {describe_error(error)}") from error
    written = open_image(arguments.output)
    print(f"{arguments.output}: {image_format(written)} {written.size[0]}x{written.size[1]}, "
          f"{changed} pixel(s) changed")
    if image._png_chunks is not None:
        kept = stored_chunks(written) == stored_chunks(image)
        names = " ".join(t.decode("latin-1") for t, _, _ in written._png_chunks)
        print(f"  chunks: {names}")
        print("  every chunk other than IDAT kept byte for byte; only the pixel data changed"
              if kept else "  warning: the chunk list changed")
    elif image._bmp_header is not None:
        print("  header: " + ", ".join(f"{k}={v}" for k, v in written._bmp_header.items()))
    return EXIT_OK


# --- checking -------------------------------------------------------------------

@dataclass
class Verdict:
    path: str
    status: str                 # "ok", "unreadable" or "mismatch"
    detail: str = ""
    format: str = ""


def check_file(path: str, roundtrip: bool) -> Verdict:
    try:
        image = open_image(path)
    except UserError as error:
        return Verdict(path, "unreadable", str(error).removeprefix(f"{path}: "))
    verdict = Verdict(path, "ok", format=image_format(image))
    if roundtrip:
        verdict.detail = roundtrip_difference(image)
        if verdict.detail:
            verdict.status = "mismatch"
    return verdict


def roundtrip_difference(image: SimpleImage) -> str:
    """Writes the image to a temporary file, reads it back and names the first
    thing that differs, or returns ''."""
    with tempfile.TemporaryDirectory() as folder:
        target = os.path.join(folder, "image")
        try:
            image.save(target)
            again = open_image(target)
        except (OSError, ValueError, TypeError, UserError) as error:
            return f"round trip failed: {describe_error(error)}"
    for name in ("size", "pixels", "_alpha", "_png_filters", "_bmp_header"):
        if getattr(again, name) != getattr(image, name):
            return f"{name.lstrip('_')} differ after a round trip"
    if stored_chunks(again) != stored_chunks(image):
        return "chunks differ after a round trip"
    return ""


def image_files(paths: Iterable[str]) -> Iterator[str]:
    for path in paths:
        if os.path.isdir(path):
            for folder, subfolders, files in os.walk(path):
                subfolders.sort()
                for name in sorted(files):
                    if Path(name).suffix.lower() in IMAGE_SUFFIXES:
                        yield os.path.join(folder, name)
        else:
            yield path


def progress(done: int, total: int) -> None:
    width = 30
    filled = width * done // total
    print(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total}", end="",
          file=sys.stderr, flush=True)


def run_checks(files: Sequence[str], roundtrip: bool, jobs: int) -> list[Verdict]:
    show_progress = sys.stderr.isatty() and len(files) > 1
    verdicts = []
    if jobs > 1:
        with ProcessPoolExecutor(max_workers=jobs) as pool:
            results = pool.map(check_file, files, [roundtrip] * len(files), chunksize=4)
            for done, verdict in enumerate(results, 1):
                verdicts.append(verdict)
                if show_progress:
                    progress(done, len(files))
    else:
        for done, path in enumerate(files, 1):
            verdicts.append(check_file(path, roundtrip))
            if show_progress:
                progress(done, len(files))
    if show_progress:
        print(file=sys.stderr)
    return verdicts


def summary(verdicts: Sequence[Verdict]) -> str:
    lines = [f"{v.status:<10}  {v.path}: {v.detail}" for v in verdicts if v.status != "ok"]
    counts = collections.Counter(v.status for v in verdicts)
    formats = collections.Counter(v.format for v in verdicts if v.status == "ok")
    lines.append("")
    lines.append("status      files")
    for status in ("ok", "unreadable", "mismatch"):
        lines.append(f"{status:<10}  {counts[status]:>5}")
    lines.append(f"{'total':<10}  {len(verdicts):>5}")
    if formats:
        lines.append("read: " + ", ".join(f"{n} {f}" for f, n in sorted(formats.items())))
    return "\n".join(lines)


def command_check(arguments: argparse.Namespace) -> int:
    files = list(image_files(arguments.paths))
    if not files:
        raise UserError("no PNG or BMP files found")
    verdicts = run_checks(files, arguments.roundtrip, arguments.jobs)
    print(summary(verdicts))
    return EXIT_OK if all(v.status == "ok" for v in verdicts) else EXIT_FAILURE


# --- entry point ------------------------------------------------------------------

def positive(text: str) -> int:
    value = parse_numbers(text, 1, "a count")[0]
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane", description=__doc__.split("\n\n")[0],
        epilog="Exit status: 0 success, 1 an image failed, 2 usage error.")
    commands = parser.add_subparsers(dest="command", required=True)

    info = commands.add_parser("info", help="describe images: format, size, chunks, filters")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--json", action="store_true", help="machine-readable output")
    info.set_defaults(run=command_info)

    edit = commands.add_parser("edit", help="change pixels and save, keeping the file's layout")
    edit.add_argument("input", metavar="IN")
    edit.add_argument("output", metavar="OUT")
    edit.add_argument("--set", action="append", default=[], type=parse_set, metavar="X,Y=R,G,B",
                      help="set one pixel (repeatable)")
    edit.add_argument("--fill", action="append", default=[], type=parse_fill,
                      metavar="X0,Y0,X1,Y1=R,G,B", help="fill a rectangle, corners included")
    edit.set_defaults(run=command_edit)

    check = commands.add_parser("check", help="open every image under the given paths")
    check.add_argument("paths", nargs="+", metavar="PATH")
    check.add_argument("--roundtrip", action="store_true",
                       help="also write each image back and compare what is read again")
    check.add_argument("-j", "--jobs", type=positive, default=1, metavar="N",
                       help="spread the files over N processes")
    check.set_defaults(run=command_check)
    return parser


def report_error(command: str, error: UserError) -> None:
    print(f"corvane {command}: error: {error}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = build_parser().parse_args(argv)
    try:
        return arguments.run(arguments)
    except UserError as error:
        report_error(arguments.command, error)
        return EXIT_FAILURE
