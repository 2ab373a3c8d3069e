"""Runs snippets of Python in a fresh interpreter, for what must not happen in the
test process itself: a failing import, hitting a file size limit, or measuring
peak memory without the test process's own allocations."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# AddressSanitizer (preloaded by `fuzz/run --pytest`) keeps freed memory in
# quarantine and writes shadow memory for every buffer it hands out, even one
# that is never touched: resident memory then measures the sanitizer, not the code.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
plain_memory_only = pytest.mark.skipif(
    SANITIZED, reason="resident memory under AddressSanitizer is the sanitizer's")

PRELUDE = """
import resource, signal, sys
from Corvane import SimpleImage, simpleImage_ext as ext

def limit_file_size(size):
    # Writes beyond the limit fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

def _status_kib(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise LookupError(field)


def peak_rss_kib():
    # The peak of this process's own memory (VmHWM), restarted from the current
    # resident set when a baseline is taken. ru_maxrss would not do: a child
    # inherits its parent's peak across fork and exec, which hides any growth
    # below the size of the test process itself.
    return _status_kib("VmHWM")


def reset_peak_rss_kib():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    return _status_kib("VmRSS")
"""


def run_python(code: str, prelude: bool = True, environment: dict | None = None) -> str:
    """Runs `code` (after the prelude above, unless told otherwise; in
    `environment` when given) and returns its standard output; the child must
    succeed."""
    source = (PRELUDE if prelude else "") + textwrap.dedent(code)
    result = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                            timeout=120, env=environment)
    assert result.returncode == 0, result.stderr
    return result.stdout


def open_in_child(path, source: str = "bytes", save_to=None) -> tuple[str, int]:
    """Opens the file at `path` in a fresh interpreter, from its bytes or (with
    source="path") from the path, and saves the image to `save_to` when given.
    Returns the outcome (the exception as "Type: message", "decoded" or "saved")
    and the growth of the peak resident set meanwhile, in MiB."""
    out = run_python(f"""
        path, save_to = {str(path)!r}, {str(save_to) if save_to else None!r}
        data = open(path, "rb").read()
        baseline = reset_peak_rss_kib()
        try:
            image = SimpleImage.open(data if {source!r} == "bytes" else path)
            outcome = "decoded"
            if save_to:
                image.save(save_to)
                outcome = "saved"
        except Exception as error:
            outcome = f"{{type(error).__name__}}: {{error}}"
        print(outcome)
        print(baseline, peak_rss_kib())
    """)
    outcome, sizes = out.strip().splitlines()[-2:]
    baseline, peak = (int(value) for value in sizes.split())
    return outcome, (peak - baseline) // 1024


def folder_outcomes(folder: Path, route: str | None, *options: str) -> list[str]:
    """The lines that inflate_outcomes.py prints for the files of `folder`, run
    with CORVANE_INFLATER set to `route` (unset for None)."""
    environment = dict(os.environ)
    environment.pop("CORVANE_INFLATER", None)
    if route is not None:
        environment["CORVANE_INFLATER"] = route
    script = Path(__file__).resolve().parent / "inflate_outcomes.py"
    result = subprocess.run([sys.executable, str(script), *options, str(folder)],
                            capture_output=True, text=True, env=environment, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()
