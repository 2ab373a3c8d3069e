"""What the fuzz targets share: the exception that marks a finding and a
private directory for the files they write."""

import atexit
import os
import shutil
import tempfile


class Finding(AssertionError):
    """Behaviour that the documentation does not allow."""


_scratch = None


def scratch_directory() -> str:
    """A directory removed at exit, in memory where the system has such a file system."""
    global _scratch
    if _scratch is None:
        _scratch = tempfile.mkdtemp(prefix="simpleimage-fuzz-",
                                    dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        atexit.register(shutil.rmtree, _scratch, True)
    return _scratch
