"""The native fuzz targets (fuzz/native/): each replays the findings kept under
fuzz/native/regressions/, then runs a short session of its own; a finding fails
the suite. Marked `fuzz` with the Python-level session (`-m "not fuzz"` leaves
both out), as the targets' instrumented build takes a minute or two."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parent.parent / "fuzz" / "native" / "run"
SECONDS_PER_TARGET = "15"

pytestmark = [
    pytest.mark.fuzz,
    pytest.mark.skipif(shutil.which("clang++-14") is None and os.geteuid() != 0,
                       reason="native fuzzing needs clang 14 (clang-14, libclang-rt-14-dev) "
                              "or root to install it"),
]


def run(*arguments: str) -> None:
    result = subprocess.run([RUN, *arguments], capture_output=True, text=True, timeout=3600)
    assert result.returncode == 0, (result.stdout + result.stderr)[-4000:]


def test_kept_findings_replay_cleanly():
    run("--replay")


def test_short_native_fuzz_session_finds_nothing():
    run("--seconds", SECONDS_PER_TARGET)
