"""Every input on which fuzzing found a fault, replayed through the fuzz target
that found it (fuzz/<target>.py, file fuzz/regressions/<target>/<name>).

Each replay runs in a child interpreter with its address space limited, so that
a crash, an abort or a runaway allocation fails the test as well as a wrong result.
(Not under AddressSanitizer, which reserves terabytes of address space for itself.)"""

import pathlib
import subprocess
import sys

import pytest

from subprocesses import SANITIZED

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
CASES = sorted(path for path in (FUZZ / "regressions").glob("*/*") if path.is_file())

REPLAY = """
import resource, sys
fuzz, target, case, limited = sys.argv[1:5]
if limited == "yes":
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
sys.path.insert(0, fuzz)
harness = __import__(target)
harness.check(open(case, "rb").read())
"""


@pytest.mark.parametrize("case", CASES, ids=[f"{c.parent.name}/{c.name}" for c in CASES])
def test_input_replays_without_a_finding(case):
    limited = "no" if SANITIZED else "yes"
    result = subprocess.run([sys.executable, "-c", REPLAY, str(FUZZ), case.parent.name, str(case),
                             limited], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-4000:]
