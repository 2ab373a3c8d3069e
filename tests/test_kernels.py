"""The vectorised row kernels give the same bytes as the reference kernels, at
every instruction-set level this processor runs, the inflater gives zlib's
verdict and bytes on every stream, and the deflate kernel writes the system
zlib's level-6 streams byte for byte on one thread and on several. The checks
are C++ programs (tests/kernels/), built once per digest of their sources (see
the kernel_build fixture)."""

import os
import subprocess
from pathlib import Path

import pytest

# Built with the compiler's own sanitizer runtime when the suite runs under the
# sanitizers, the checks must not also get the interpreter's preloaded one.
CHECK_ENVIRONMENT = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def run_check(program: Path, section: str) -> None:
    result = subprocess.run([str(program), section], capture_output=True, text=True,
                            timeout=600, env=CHECK_ENVIRONMENT)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def kernel_checks(kernel_build) -> Path:
    return kernel_build / "kernel_checks"


@pytest.fixture(scope="module")
def deflate_checks(kernel_build) -> Path:
    return kernel_build / "deflate_checks"


@pytest.mark.parametrize("section", [
    "paeth",         # every (a, b, c) through each level's Paeth, both directions
    "rows",          # every filter type, both directions, rows of many lengths
    "copies",        # RGBA split and merge, red-blue swap
    "adler32",       # every level against zlib's, at the vector and chunk edges
    "entry-points",  # the public functions: dispatch, empty row above, refused types
    "scanlines",     # whole images encoded and rebuilt, in place and not, refused types
    "inflater",      # a stream per rule zlib enforces, corner cases, cuts, trailing bytes
    "inflater-random",  # random, hand-rolled and mutated streams: zlib's verdict and bytes
])
def test_kernels_match_the_reference(kernel_checks, section):
    run_check(kernel_checks, section)


@pytest.mark.parametrize("section", [
    "edges",       # 0-3 bytes, zeros, runs over 258, random and half-random data, a cut match
    "windows",     # the window moves near 32 and 64 KiB, and the near-end threshold
    "blocks",      # 16383 symbols and one either side, the last one a literal or a match
    "distances",   # the 4096 limit for three bytes, the farthest match from head and chain
    "self-check",  # the self-check's samples, with stored, fixed and dynamic blocks
    "checks",      # Adler-32 on every route; the round trip refuses any other stream
    "mixtures",    # seeded random mixtures (a longer run: see the README)
])
def test_deflate_matches_zlib(deflate_checks, section):
    run_check(deflate_checks, section)
