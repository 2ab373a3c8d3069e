"""Exit statuses, and errors about one file, reported as one line that names it."""

from __future__ import annotations

import contextlib
import re
import signal
import sys
from collections.abc import Iterator
from pathlib import Path

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_INTERRUPTED = 128 + signal.SIGINT

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


def report_error(command: str, error: FileError) -> None:
    print(f"corvane {command}: error: {error}", file=sys.stderr)
