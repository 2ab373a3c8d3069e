"""A short, bounded fuzz session of both fuzz targets against the build with the
sanitizers and coverage instrumentation (fuzz/run): any finding fails the suite.
Deselect it with `-m "not fuzz"` for a quick local run."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SECONDS_PER_TARGET = os.environ.get("SIMPLEIMAGE_FUZZ_SECONDS", "90")


@pytest.mark.fuzz
def test_short_fuzz_session_finds_nothing():
    if shutil.which("clang++-14") is None and os.geteuid() != 0:
        pytest.skip("fuzzing needs clang 14 (clang-14, libclang-rt-14-dev) or root to install it")
    result = subprocess.run([ROOT / "fuzz" / "run", "--seconds", SECONDS_PER_TARGET],
                            capture_output=True, text=True, cwd=ROOT, timeout=3600)
    assert result.returncode == 0, (result.stdout + result.stderr)[-4000:]
