"""Peak memory of an open (and a save), measured in a child interpreter so that
the test process's own allocations do not count."""

import os
import subprocess
import sys

import pytest

# AddressSanitizer (preloaded by `fuzz/run --pytest`) keeps freed memory in
# quarantine and writes shadow memory for every buffer it hands out, even one
# that is never touched: resident memory then measures the sanitizer, not the code.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
plain_memory_only = pytest.mark.skipif(
    SANITIZED, reason="resident memory under AddressSanitizer is the sanitizer's")

_PROBE = """
import resource, sys
from Corvane import SimpleImage
path, source, save_to = sys.argv[1:4]
data = open(path, "rb").read()
baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    image = SimpleImage.open(data if source == "bytes" else path)
    outcome = "decoded"
    if save_to:
        image.save(save_to)
        outcome = "saved"
except Exception as error:
    outcome = f"{type(error).__name__}: {error}"
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(outcome)
print(baseline, peak)
"""


def open_in_child(path, source: str = "bytes", save_to=None) -> tuple[str, int]:
    """Opens the file at `path` in a fresh interpreter, from its bytes or (with
    source="path") from the path, and saves the image to `save_to` when given.
    Returns the outcome (the exception as "Type: message", "decoded" or "saved")
    and the growth of the peak resident set meanwhile, in MiB."""
    result = subprocess.run([sys.executable, "-c", _PROBE, str(path), source, str(save_to or "")],
                            capture_output=True, text=True, check=True, timeout=120)
    outcome, sizes = result.stdout.strip().splitlines()[-2:]
    baseline, peak = (int(value) for value in sizes.split())
    return outcome, (peak - baseline) // 1024
