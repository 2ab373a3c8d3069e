"""The `corvane` command: inspect, edit and check PNG and BMP images with the
layout-preserving codecs of `Corvane.simpleImage_ext`. This module holds the
arguments and the entry point; the commands are in Corvane.command.

Exit status: 0 when everything worked (for check, also when the only findings
are files of kinds the decoder does not read, unless --strict); 1 when an image
could not be read, written or round-tripped, or check found no image to check;
2 for a usage error; 130 when interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import importlib
import os
import platform
import re
import sys
from collections.abc import Callable, Sequence

import Corvane
from Corvane.command.check import command_check
from Corvane.command.edit import command_edit, parse_fill, parse_numbers, parse_set
from Corvane.command.errors import EXIT_FAILURE, EXIT_INTERRUPTED, FileError, report_error
from Corvane.command.info import command_info


def positive(text: str) -> int:
    value = parse_numbers(text, (1,), "a count")[0]
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
               "round-tripped (for check: a file was broken or unreadable, a round trip "
               "failed, or with --strict a file was unsupported), or check found no image; "
               "2 usage error; 130 interrupted (Ctrl-C).")
STANDARD_STREAMS = "With OUT on standard output the report goes to standard error."


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane", epilog=EXIT_STATUS,
        description="Inspect, edit and check PNG and BMP images with codecs that keep the "
                    "layout of the files they write back.")
    parser.add_argument("--version", action=VersionAction)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser(
        "info", help="describe images: format, size, alpha, chunks, filters", epilog=EXIT_STATUS,
        description="Describes each image: format, size, channels and whether it has alpha; "
                    "for a PNG its chunk table (type, length, stored or IDAT) and a histogram "
                    "of the rows' filter types; for a BMP its header record. A file of a kind "
                    "the decoder does not read (a palette PNG, a 32-bit BMP) is described as "
                    "far as its structure goes, the chunk table included. A broken file is "
                    "described likewise and reported in one line on standard error; only "
                    "regular files are opened, so a named pipe or a device never blocks.")
    info.add_argument("files", nargs="+", metavar="FILE", help="a PNG or BMP file")
    info.add_argument("--json", action="store_true",
                      help="print a JSON list, one object per FILE, with its 'status' (ok, "
                           "unsupported, broken, unreadable) and 'error' for a file that is "
                           "broken or could not be read")
    info.add_argument("--text", action="store_true",
                      help="also show the text chunks of a PNG (tEXt, zTXt, iTXt)")
    info.set_defaults(run=command_info)

    edit = commands.add_parser(
        "edit", help="change pixels and save, keeping the file's layout", epilog=EXIT_STATUS,
        description="Changes pixels of IN and writes the image to OUT in the format and layout "
                    "of IN (a PNG keeps its chunks and row filters, a BMP its header record), "
                    "whatever OUT is called; a note on standard error says so when OUT's "
                    "suffix names the other format. OUT is replaced only once it has been "
                    "written completely; a device or a pipe is written in place. Edits apply "
                    "in order; the count reports the pixels whose colour or alpha changed, "
                    "and the report says what the written file changed besides the pixels. "
                    "A colour with a fourth number sets alpha too, in an image that has "
                    "alpha. " + COORDINATES + " " + STANDARD_STREAMS)
    edit.add_argument("input", metavar="IN",
                      help="the PNG or BMP image to change, a regular file or - for standard "
                           "input")
    edit.add_argument("output", metavar="OUT",
                      help="where to write the result, in IN's format: a file (IN itself "
                           "too), - for standard output, /dev/null for a dry run")
    edit.add_argument("--set", action="append", default=[], type=parse_set,
                      metavar="X,Y=R,G,B[,A]",
                      help="set the pixel at column X, row Y to the colour R,G,B, each 0..255, "
                           "and to alpha A when given (repeatable)")
    edit.add_argument("--fill", action="append", default=[], type=parse_fill,
                      metavar="X0,Y0,X1,Y1=R,G,B[,A]",
                      help="fill the rectangle between two corners, both included (repeatable)")
    edit.set_defaults(run=command_edit, usage_error=edit.error)

    check = commands.add_parser(
        "check", help="open every image under the given paths", epilog=EXIT_STATUS,
        description="Opens every .png and .bmp file under the paths (folders recursively) "
                    "and ends with a summary table, whatever happens to single files. Each "
                    "file that is not fine is listed once, as it is met, in one line on "
                    "standard output: unsupported (a valid file of a kind the decoder does not "
                    "read), broken (with what exactly is wrong), unreadable (not a regular "
                    "file, no permission, out of memory; folders that cannot be listed too) "
                    "or mismatch (its round trip failed).")
    check.add_argument("paths", nargs="+", metavar="PATH",
                       help="an image file, or a folder to search for .png and .bmp files")
    check.add_argument("--roundtrip", action="store_true",
                       help="also write each image back in memory, read it again and compare "
                            "pixels, alpha, filters, header record and chunks; the summary "
                            "counts what writing back changed besides the pixels")
    check.add_argument("--strict", action="store_true",
                       help="count unsupported files as failures in the exit status")
    check.add_argument("--json", action="store_true",
                       help="print one JSON object: every file with its status, detail and "
                            "round-trip changes, and the counts")
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


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    arguments = parser.parse_args(attach_negative_values(sys.argv[1:] if argv is None else argv))
    if arguments.command == "edit" and not (arguments.set or arguments.fill):
        arguments.usage_error("nothing to change: give --set or --fill")
    run: Callable[[argparse.Namespace], int] = arguments.run
    try:
        return run(arguments)
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
