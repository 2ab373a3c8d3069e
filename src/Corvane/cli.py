"""The `corvane` command: inspect, edit and check PNG and BMP images with the
layout-preserving codecs of `Corvane.simpleImage_ext`.

Exit status: 0 when everything worked; 1 when an image could not be read,
written or round-tripped, or `check` found no image to check; 2 for a usage
error; 130 when interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import importlib
import io
import json
import os
import platform
import re
import signal
import stat
import sys
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import Corvane
from Corvane.simpleImage_ext import SimpleImage

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT

IMAGE_SUFFIXES = {".png": "PNG", ".bmp": "BMP"}
FILTER_NAMES = ("None", "Sub", "Up", "Average", "Paeth")

# What an exception without a message means, for the one-line report.
PLAIN_MEANINGS: dict[type[BaseException], str] = {
    MemoryError: "out of memory",
    RecursionError: "nested too deeply",
    EOFError: "unexpected end of file",
    OverflowError: "number out of range",
    OSError: "input/output error",
}


class FileError(Exception):
    """Working on one file failed; reported as one line that names the file."""

    def __init__(self, path: str | Path, message: str) -> None:
        super().__init__(f"{path}: {message}")
        self.path = str(path)
        self.message = message


def describe_error(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    text = str(error)
    if text:
        return text
    for kind, meaning in PLAIN_MEANINGS.items():
        if isinstance(error, kind):
            return meaning
    # "ZeroDivisionError" -> "zero division error"
    return re.sub(r"(?<!^)(?=[A-Z])", " ", type(error).__name__).lower()


@contextlib.contextmanager
def about(path: str | Path) -> Iterator[None]:
    """Whatever reading or writing one file raises (a codec's ValueError,
    zlib.error, struct.error, MemoryError, OSError, ...) becomes a FileError,
    so that one bad file never ends a batch with a traceback. Ctrl-C is not an
    Exception and still stops the command."""
    try:
        yield
    except FileError:
        raise
    except Exception as error:
        raise FileError(path, describe_error(error)) from error


# --- opening and describing -------------------------------------------------

def open_image(path: str | Path) -> SimpleImage:
    """Opens an image without the line that `SimpleImage.open` prints, so that
    the command's own output (JSON included) stays clean."""
    with contextlib.redirect_stdout(io.StringIO()), about(path):
        return SimpleImage.open(str(path))


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
            image = open_image(path)
            with about(path):
                described.append(describe(path, image))
        except FileError as error:
            failed = True
            report_error(arguments.command, error)
            described.append({"file": str(path), "error": error.message})
    if arguments.json:
        print(json.dumps(described, indent=2))
    else:
        text = "\n".join(format_info(info) for info in described if "error" not in info)
        if text:
            print(text)
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

    def __str__(self) -> str:
        if (self.x0, self.y0) == (self.x1, self.y1):
            return f"pixel ({self.x0},{self.y0})"
        return f"rectangle ({self.x0},{self.y0})-({self.x1},{self.y1})"


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


def apply_fill(pixels: bytearray, width: int, height: int, fill: Fill) -> None:
    if not (0 <= fill.x0 and fill.x1 < width and 0 <= fill.y0 and fill.y1 < height):
        raise ValueError(f"{fill} lies outside the {width}x{height} image")
    row = bytes(fill.colour) * (fill.x1 - fill.x0 + 1)
    for y in range(fill.y0, fill.y1 + 1):
        start = (y * width + fill.x0) * 3
        pixels[start:start + len(row)] = row


def changed_pixels(before: bytes, after: bytes) -> int:
    """The number of RGB pixels that differ between two equally long buffers.
    Byte k of the OR of the three channels' XORs is zero exactly where pixel k
    is unchanged; the work stays in C, whatever the image's size."""
    count = len(before) // 3
    difference = 0
    for channel in range(3):
        difference |= int.from_bytes(before[channel::3]) ^ int.from_bytes(after[channel::3])
    return count - difference.to_bytes(count).count(0)


def apply_fills(image: SimpleImage, fills: Sequence[Fill]) -> int:
    """Applies the fills in order and returns how many pixels now hold another
    value than before: overlaps count once, a pixel set to its own colour not at all."""
    width, height = image.size
    pixels = image.pixels
    if pixels is None:
        raise ValueError("the image has no pixel buffer")
    # Only the rows that the fills touch are compared.
    start = min(f.y0 for f in fills) * width * 3
    end = (max(f.y1 for f in fills) + 1) * width * 3
    before = bytes(pixels[start:end]) if 0 <= start < end else b""
    for fill in fills:
        apply_fill(pixels, width, height, fill)
    return changed_pixels(before, bytes(pixels[start:end]))


def stored_chunks(image: SimpleImage) -> list[tuple[bytes, bytes]]:
    return [(t, d) for t, d, _ in image._png_chunks or [] if d is not None]


def format_note(input_path: str, output: str, written: str) -> str | None:
    """A note when OUT's suffix names the other format than the one written."""
    named = IMAGE_SUFFIXES.get(Path(output).suffix.lower())
    if named is None or named == written:
        return None
    return (f"{output} is written as {written}, the format of {input_path}; "
            f"its suffix does not choose the format")


def command_edit(arguments: argparse.Namespace) -> int:
    image = open_image(arguments.input)
    with about(arguments.input):
        changed = apply_fills(image, arguments.set + arguments.fill)
    note = format_note(arguments.input, arguments.output, image_format(image))
    if note:
        print(f"corvane {arguments.command}: note: {note}", file=sys.stderr)
    # `save` replaces OUT only once the new file is complete, so a failed write
    # leaves OUT (or IN, when it is both) as it was.
    with about(arguments.output):
        image.save(arguments.output)
    written = open_image(arguments.output)
    print(f"{arguments.output}: {image_format(written)} {written.size[0]}x{written.size[1]}, "
          f"{changed} pixel(s) changed")
    if image._png_chunks is not None and written._png_chunks is not None:
        kept = stored_chunks(written) == stored_chunks(image)
        names = " ".join(t.decode("latin-1") for t, _, _ in written._png_chunks)
        print(f"  chunks: {names}")
        print("  every chunk other than IDAT kept byte for byte; only the pixel data changed"
              if kept else "  warning: the chunk list changed")
    elif written._bmp_header is not None:
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
    except FileError as error:
        return Verdict(path, "unreadable", error.message)
    verdict = Verdict(path, "ok", format=image_format(image))
    if roundtrip:
        try:
            verdict.detail = roundtrip_difference(image)
        except Exception as error:
            verdict.detail = f"round trip failed: {describe_error(error)}"
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
        except Exception as error:
            return f"cannot be written back: {describe_error(error)}"
        try:
            again = open_image(target)
        except FileError as error:
            return f"cannot be read back: {error.message}"
    for name in ("size", "pixels", "_alpha", "_png_filters", "_bmp_header"):
        if getattr(again, name) != getattr(image, name):
            return f"{name.lstrip('_')} differ after a round trip"
    if stored_chunks(again) != stored_chunks(image):
        return "chunks differ after a round trip"
    return ""


def find_images(paths: Iterable[str]) -> tuple[list[str], list[Verdict]]:
    """The files to check under `paths` (folders recursively, by suffix), and
    what could not be looked into: folders that cannot be listed and paths
    that are not regular files (a pipe would block the whole run)."""
    files: list[str] = []
    problems: list[Verdict] = []

    def unlistable(error: OSError) -> None:
        problems.append(Verdict(str(error.filename), "unreadable",
                                f"folder cannot be listed: {describe_error(error)}"))

    def add(file: str) -> None:
        try:
            regular = stat.S_ISREG(os.stat(file).st_mode)
        except OSError:
            regular = True      # opening it reports why
        if regular:
            files.append(file)
        else:
            problems.append(Verdict(file, "unreadable", "not a regular file"))

    for path in paths:
        if not os.path.isdir(path):
            add(path)
            continue
        for folder, subfolders, names in os.walk(path, onerror=unlistable):
            subfolders.sort()
            for name in sorted(names):
                if Path(name).suffix.lower() in IMAGE_SUFFIXES:
                    add(os.path.join(folder, name))
    return files, problems


class Progress:
    """A progress bar on standard error when it is a terminal, and the error
    line of each file that failed, written above the bar."""

    def __init__(self, command: str, total: int) -> None:
        self.command, self.total, self.done = command, total, 0
        self.shown = sys.stderr.isatty() and total > 1

    def advance(self, verdict: Verdict) -> None:
        self.done += 1
        if self.shown:
            print("\r\x1b[K", end="", file=sys.stderr)
        if verdict.status != "ok":
            report_error(self.command, FileError(verdict.path, verdict.detail))
        if self.shown:
            width = 30
            filled = width * self.done // self.total
            print(f"[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}", end="",
                  file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.shown:
            print(file=sys.stderr)


def ignore_interrupts() -> None:
    """In the worker processes: Ctrl-C reaches the whole process group, and
    only the main process, which stops the pool, should act on it."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def pooled_verdict(path: str, future: Future[Verdict]) -> Verdict:
    try:
        return future.result()
    except Exception as error:   # the worker died (BrokenProcessPool) or could not be reached
        return Verdict(path, "unreadable", f"the process checking it failed: "
                                           f"{describe_error(error)}")


def run_checks(files: Sequence[str], roundtrip: bool, jobs: int,
               progress: Progress) -> list[Verdict]:
    verdicts = []
    if jobs > 1 and len(files) > 1:
        pool = ProcessPoolExecutor(max_workers=jobs, initializer=ignore_interrupts)
        try:
            futures = [pool.submit(check_file, path, roundtrip) for path in files]
            for path, future in zip(files, futures):
                verdicts.append(pooled_verdict(path, future))
                progress.advance(verdicts[-1])
        finally:
            pool.shutdown(cancel_futures=True)
    else:
        for path in files:
            verdicts.append(check_file(path, roundtrip))
            progress.advance(verdicts[-1])
    return verdicts


def summary(verdicts: Sequence[Verdict]) -> str:
    lines = [f"{v.status:<10}  {v.path}: {v.detail}"
             for v in sorted(verdicts, key=lambda v: v.path) if v.status != "ok"]
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
    files, problems = find_images(arguments.paths)
    progress = Progress(arguments.command, len(files))
    for problem in problems:
        report_error(arguments.command, FileError(problem.path, problem.detail))
    try:
        verdicts = problems + run_checks(files, arguments.roundtrip, arguments.jobs, progress)
    finally:
        progress.close()
    print(summary(verdicts))
    if not verdicts:
        # Not a usage error, but nothing was checked: most likely a wrong path.
        print(f"corvane {arguments.command}: error: no PNG or BMP files found", file=sys.stderr)
        return EXIT_FAILURE
    return EXIT_OK if all(v.status == "ok" for v in verdicts) else EXIT_FAILURE


# --- entry point ------------------------------------------------------------------

def positive(text: str) -> int:
    value = parse_numbers(text, 1, "a count")[0]
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def version_text() -> str:
    try:
        build = importlib.import_module("Corvane._build")
        inflater, deflate = build.INFLATER, build.DEFLATE
    except (ImportError, AttributeError):
        inflater = deflate = "unknown (the package was installed without its build information)"
    return (f"corvane {Corvane.__version__}\n"
            f"Python {platform.python_version()} ({platform.python_implementation()})\n"
            f"inflater: {inflater}\n"
            f"deflate: {deflate}")


class VersionAction(argparse.Action):
    """--version, in lines of its own (argparse's own action would rewrap them)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **_: object) -> None:
        super().__init__(option_strings, dest, nargs=0,
                         help="show the package, Python, inflater and deflate versions and exit")

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        print(version_text())
        parser.exit()


COORDINATES = ("Coordinates count from (0, 0), the top-left pixel: x is the column, "
               "growing to the right, y the row, growing downward.")
EXIT_STATUS = ("Exit status: 0 success; 1 an image could not be read, written or "
               "round-tripped, or check found no image; 2 usage error; 130 interrupted (Ctrl-C).")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane", epilog=EXIT_STATUS,
        description="Inspect, edit and check PNG and BMP images with codecs that keep the "
                    "layout of the files they write back.")
    parser.add_argument("--version", action=VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser(
        "info", help="describe images: format, size, chunks, filters", epilog=EXIT_STATUS,
        description="Describes each image: format, size and channels; for a PNG its chunk "
                    "table (type, length, stored or IDAT) and a histogram of the rows' filter "
                    "types; for a BMP its header record. A file that cannot be read is "
                    "reported in one line on standard error and the others are still described.")
    info.add_argument("files", nargs="+", metavar="FILE", help="a PNG or BMP file")
    info.add_argument("--json", action="store_true",
                      help="print a JSON list, one object per FILE (with 'error' for a "
                           "file that could not be read)")
    info.set_defaults(run=command_info)

    edit = commands.add_parser(
        "edit", help="change pixels and save, keeping the file's layout", epilog=EXIT_STATUS,
        description="Changes pixels of IN and writes the image to OUT in the format and layout "
                    "of IN (a PNG keeps its chunks and row filters, a BMP its header record), "
                    "whatever OUT is called; a note on standard error says so when OUT's "
                    "suffix names the other format. OUT is replaced only once it has been "
                    "written completely. Edits apply in order; the count reports the pixels "
                    "whose value changed. " + COORDINATES)
    edit.add_argument("input", metavar="IN", help="the PNG or BMP image to change")
    edit.add_argument("output", metavar="OUT",
                      help="where to write the result, in IN's format (may be IN itself)")
    edit.add_argument("--set", action="append", default=[], type=parse_set, metavar="X,Y=R,G,B",
                      help="set the pixel at column X, row Y to the colour R,G,B, each 0..255 "
                           "(repeatable)")
    edit.add_argument("--fill", action="append", default=[], type=parse_fill,
                      metavar="X0,Y0,X1,Y1=R,G,B",
                      help="fill the rectangle between two corners, both included (repeatable)")
    edit.set_defaults(run=command_edit, usage_error=edit.error)

    check = commands.add_parser(
        "check", help="open every image under the given paths", epilog=EXIT_STATUS,
        description="Opens every .png and .bmp file under the paths (folders recursively) "
                    "and ends with a summary table, whatever happens to single files. Files "
                    "that cannot be read, folders that cannot be listed and round trips that "
                    "fail are reported in one line each on standard error and listed in "
                    "the summary.")
    check.add_argument("paths", nargs="+", metavar="PATH",
                       help="an image file, or a folder to search for .png and .bmp files")
    check.add_argument("--roundtrip", action="store_true",
                       help="also write each image to a temporary file, read it back and "
                            "compare pixels, alpha, filters, header record and chunks")
    check.add_argument("-j", "--jobs", type=positive, default=1, metavar="N",
                       help="spread the files over N processes")
    check.set_defaults(run=command_check)
    return parser


# Options whose value may start with a minus sign: a negative coordinate.
NEGATIVE_VALUE_OPTIONS = {"--set", "--fill"}


def attach_negative_values(argv: Sequence[str]) -> list[str]:
    """argparse takes "-1,0=0,0,0" after --set for an option of its own and
    fails with "expected one argument"; joined to its option as
    "--set=-1,0=0,0,0" it is read as the value, and the range check reports it."""
    joined: list[str] = []
    for index, token in enumerate(argv):
        previous = joined[-1] if joined else ""
        if (previous in NEGATIVE_VALUE_OPTIONS and "--" not in argv[:index - 1]
                and re.match(r"-\d", token)):
            joined[-1] = f"{previous}={token}"
        else:
            joined.append(token)
    return joined


def report_error(command: str, error: FileError) -> None:
    print(f"corvane {command}: error: {error}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    arguments = parser.parse_args(attach_negative_values(sys.argv[1:] if argv is None else argv))
    if arguments.command == "edit" and not (arguments.set or arguments.fill):
        arguments.usage_error("nothing to change: give --set or --fill")
    try:
        return arguments.run(arguments)
    except FileError as error:
        report_error(arguments.command, error)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        print(f"\ncorvane {arguments.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (`corvane check . | head`):
        # nothing more can be said, and the interpreter must not fail flushing it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
