"""Peak memory of a decode, measured in a child interpreter so that the test
process's own allocations do not count."""

import subprocess
import sys

_PROBE = """
import resource, sys
from Corvane import SimpleImage
data = open(sys.argv[1], "rb").read()
baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    SimpleImage.open(data)
    outcome = "decoded"
except Exception as error:
    outcome = f"{type(error).__name__}: {error}"
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(outcome)
print(baseline, peak)
"""


def open_in_child(path) -> tuple[str, int]:
    """Opens the file at `path` in a fresh interpreter; returns the outcome (the
    exception as "Type: message", or "decoded") and the growth of the peak
    resident set during the open, in MiB."""
    result = subprocess.run([sys.executable, "-c", _PROBE, str(path)], capture_output=True,
                            text=True, check=True, timeout=120)
    outcome, sizes = result.stdout.strip().splitlines()[-2:]
    baseline, peak = (int(value) for value in sizes.split())
    return outcome, (peak - baseline) // 1024
