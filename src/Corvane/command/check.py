"""`corvane check`: open every image under the given paths, optionally write
each one back in memory, read it again and compare, and sum up. Each file that
is not fine is listed once, as it is met; the summary counts."""

from __future__ import annotations

import argparse
import collections
import dataclasses
import json
import os
import signal
import sys
from collections.abc import Iterable, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

from Corvane.command.diagnosis import BROKEN, UNSUPPORTED
from Corvane.command.errors import EXIT_FAILURE, EXIT_OK, describe_error
from Corvane.command.files import (IMAGE_SUFFIXES, OK, UNREADABLE, decode, image_format, load,
                                   rendered)
from Corvane.command.layout import Change, changes
from Corvane.simpleImage_ext import SimpleImage

MISMATCH = "mismatch"
STATUSES = (OK, UNSUPPORTED, BROKEN, UNREADABLE, MISMATCH)
# What a round trip compares, besides the chunks other than IDAT.
COMPARED = ("size", "pixels", "_alpha", "_png_filters", "_bmp_header")


@dataclass
class Verdict:
    file: str
    status: str
    detail: str = ""
    format: str = ""
    # What writing the image back changed in its file besides the pixels.
    changes: list[Change] = field(default_factory=list)


def stored_chunks(image: SimpleImage) -> list[tuple[bytes, bytes]]:
    return [(t, d) for t, d, _ in image._png_chunks or [] if d is not None]


def roundtrip(image: SimpleImage, source: bytes) -> tuple[str, list[Change]]:
    """Writes the image to memory, reads it back, and names the first thing
    that differs ('' when nothing does), with what the written file changed."""
    try:
        written = rendered(image)
    except Exception as error:
        return f"cannot be written back: {describe_error(error)}", []
    try:
        again = decode(written)
    except Exception as error:
        return f"cannot be read back: {describe_error(error)}", []
    for name in COMPARED:
        if getattr(again, name) != getattr(image, name):
            return f"{name.lstrip('_')} differ after a round trip", []
    if stored_chunks(again) != stored_chunks(image):
        return "chunks differ after a round trip", []
    return "", changes(source, written)


def check_file(path: str, with_roundtrip: bool) -> Verdict:
    loaded = load(path)
    if loaded.image is None:
        return Verdict(path, loaded.status, loaded.message)
    verdict = Verdict(path, OK, format=image_format(loaded.image))
    if with_roundtrip:
        verdict.detail, verdict.changes = roundtrip(loaded.image, loaded.data)
        if verdict.detail:
            verdict.status = MISMATCH
    return verdict


def find_images(paths: Iterable[str]) -> tuple[list[str], list[Verdict]]:
    """The files to check under `paths` (folders recursively, by suffix), and
    the folders that could not be listed."""
    files: list[str] = []
    problems: list[Verdict] = []

    def unlistable(error: OSError) -> None:
        problems.append(Verdict(str(error.filename), UNREADABLE,
                                f"folder cannot be listed: {describe_error(error)}"))

    for path in paths:
        if not os.path.isdir(path):
            files.append(path)
            continue
        for folder, subfolders, names in os.walk(path, onerror=unlistable):
            subfolders.sort()
            files += [os.path.join(folder, name) for name in sorted(names)
                      if Path(name).suffix.lower() in IMAGE_SUFFIXES]
    return files, problems


def finding_line(verdict: Verdict) -> str:
    return f"{verdict.status:<11}  {verdict.file}: {verdict.detail}"


class Progress:
    """A progress bar on standard error when it is a terminal, and, unless the
    output is JSON, each file that is not fine in one line on standard output,
    written above the bar."""

    def __init__(self, total: int, list_findings: bool) -> None:
        self.total, self.done, self.list_findings = total, 0, list_findings
        self.shown = sys.stderr.isatty() and total > 1

    def advance(self, verdict: Verdict) -> None:
        self.done += 1
        self.report(verdict)
        if self.shown:
            width = 30
            filled = width * self.done // self.total
            print(f"[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}", end="",
                  file=sys.stderr, flush=True)

    def report(self, verdict: Verdict) -> None:
        if verdict.status == OK or not self.list_findings:
            return
        if self.shown:
            print("\r\x1b[K", end="", file=sys.stderr, flush=True)
        print(finding_line(verdict), flush=self.shown)

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
        return Verdict(path, UNREADABLE, f"the process checking it failed: "
                                         f"{describe_error(error)}")


def run_checks(files: Sequence[str], with_roundtrip: bool, jobs: int,
               progress: Progress) -> list[Verdict]:
    verdicts = []
    if jobs > 1 and len(files) > 1:
        pool = ProcessPoolExecutor(max_workers=jobs, initializer=ignore_interrupts)
        try:
            futures = [pool.submit(check_file, path, with_roundtrip) for path in files]
            for path, future in zip(files, futures):
                verdicts.append(pooled_verdict(path, future))
                progress.advance(verdicts[-1])
        finally:
            pool.shutdown(cancel_futures=True)
    else:
        for path in files:
            verdicts.append(check_file(path, with_roundtrip))
            progress.advance(verdicts[-1])
    return verdicts


def change_counts(verdicts: Sequence[Verdict]) -> collections.Counter[str]:
    """How many files each kind of change touched."""
    return collections.Counter(kind for v in verdicts for kind in {c.kind for c in v.changes})


def summary(verdicts: Sequence[Verdict], with_roundtrip: bool) -> str:
    counts = collections.Counter(v.status for v in verdicts)
    formats = collections.Counter(v.format for v in verdicts if v.format)
    lines = ["", "status       files"]
    lines += [f"{status:<11}  {counts[status]:>5}" for status in STATUSES]
    lines.append(f"{'total':<11}  {len(verdicts):>5}")
    if formats:
        lines.append("read: " + ", ".join(f"{n} {f}" for f, n in sorted(formats.items())))
    if with_roundtrip:
        changed = change_counts(verdicts)
        lines.append("written back with changes besides the pixels: "
                     + (", ".join(f"{kind} {n}" for kind, n in sorted(changed.items()))
                        or "none"))
    return "\n".join(lines)


def as_json(verdicts: Sequence[Verdict]) -> str:
    counts = collections.Counter(v.status for v in verdicts)
    return json.dumps({
        "files": [dataclasses.asdict(v) for v in verdicts],
        "counts": {status: counts[status] for status in STATUSES} | {"total": len(verdicts)},
        "changes": dict(sorted(change_counts(verdicts).items())),
    }, indent=2)


def command_check(arguments: argparse.Namespace) -> int:
    files, problems = find_images(arguments.paths)
    progress = Progress(len(files), list_findings=not arguments.json)
    for problem in problems:
        progress.report(problem)
    try:
        verdicts = problems + run_checks(files, arguments.roundtrip, arguments.jobs, progress)
    finally:
        progress.close()
    print(as_json(verdicts) if arguments.json else summary(verdicts, arguments.roundtrip))
    if not verdicts:
        # Not a usage error, but nothing was checked: most likely a wrong path.
        print(f"corvane {arguments.command}: error: no PNG or BMP files found", file=sys.stderr)
        return EXIT_FAILURE
    accepted = {OK} if arguments.strict else {OK, UNSUPPORTED}
    return EXIT_OK if all(v.status in accepted for v in verdicts) else EXIT_FAILURE
