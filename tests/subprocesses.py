"""Runs snippets of Python in a fresh interpreter, for what must not happen in the
test process itself: hitting a file size limit, or measuring peak memory."""

import subprocess
import sys
import textwrap

PRELUDE = """
import resource, signal, sys
from Corvane import simpleImage_ext as ext

def limit_file_size(size):
    # Writes beyond the limit fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))

def peak_rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
"""


def run_python(code: str) -> str:
    """Runs `code` after the prelude above and returns its standard output."""
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout
