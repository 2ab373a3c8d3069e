"""The vectorised row kernels give the same bytes as the reference kernels, at
every instruction-set level this processor runs, and the inflater gives zlib's
verdict and bytes on every stream. The checks are a C++ program
(tests/kernels/) built here, under pytest's temporary folder, with the cmake and
ninja of the test environment."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parent / "kernels"


def _tool(name: str) -> str:
    beside_python = Path(sys.executable).parent / name
    found = str(beside_python) if beside_python.exists() else shutil.which(name)
    if found is None:
        pytest.fail(f"{name} not found; scripts/test installs it into .venv")
    return found


def _run(command: list[str]) -> None:
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def kernel_checks(tmp_path_factory) -> Path:
    build = tmp_path_factory.mktemp("kernel-checks")
    cmake = _tool("cmake")
    _run([cmake, "-S", str(SOURCE), "-B", str(build), "-G", "Ninja",
          f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release"])
    _run([cmake, "--build", str(build)])
    return build / "kernel_checks"


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
    result = subprocess.run([str(kernel_checks), section], capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
