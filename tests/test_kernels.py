"""The vectorised row kernels give the same bytes as the reference kernels, at
every instruction-set level this processor runs, and the inflater gives zlib's
verdict and bytes on every stream. The checks are a C++ program (tests/kernels/)
built with the cmake and ninja of the test environment, once per digest of its
sources, under build/kernel-checks/, and reused while they stay the same."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

PROJECT = Path(__file__).resolve().parent.parent
SOURCE = PROJECT / "tests" / "kernels"
# Everything the program is built from, and the settings that change the build.
INPUTS = [SOURCE, PROJECT / "src" / "simpleImage_ext" / "kernels", PROJECT / "cmake"]
BUILD_SETTINGS = ("CC", "CXX", "CXXFLAGS", "LDFLAGS")
BUILDS = PROJECT / "build" / "kernel-checks"


def _tool(name: str) -> str:
    beside_python = Path(sys.executable).parent / name
    found = str(beside_python) if beside_python.exists() else shutil.which(name)
    if found is None:
        pytest.fail(f"{name} not found; scripts/test installs it into .venv")
    return found


def _run(command: list[str]) -> None:
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def _source_digest() -> str:
    digest = hashlib.sha256()
    for folder in INPUTS:
        for path in sorted(p for p in folder.rglob("*") if p.is_file()):
            digest.update(str(path.relative_to(PROJECT)).encode() + b"\0" + path.read_bytes())
    for name in BUILD_SETTINGS:
        digest.update(f"{name}={os.environ.get(name, '')}\0".encode())
    return digest.hexdigest()[:16]


def _build(folder: Path) -> None:
    cmake = _tool("cmake")
    _run([cmake, "-S", str(SOURCE), "-B", str(folder), "-G", "Ninja",
          f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release"])
    _run([cmake, "--build", str(folder)])


@pytest.fixture(scope="module")
def kernel_checks() -> Path:
    """The program built from the current sources: found under its digest, or
    built beside it and renamed into place once complete, so that an
    interrupted build is never taken for a finished one. Builds of other
    digests are removed."""
    finished = BUILDS / _source_digest()
    if not finished.is_dir():
        BUILDS.mkdir(parents=True, exist_ok=True)
        building = Path(tempfile.mkdtemp(dir=BUILDS, prefix=".building-"))
        try:
            _build(building)
            for stale in BUILDS.iterdir():
                if not stale.name.startswith(".") and stale != finished:
                    shutil.rmtree(stale, ignore_errors=True)
            try:
                building.rename(finished)
            except OSError:
                if not finished.is_dir():     # else another run finished it first
                    raise
        finally:
            shutil.rmtree(building, ignore_errors=True)
    return finished / "kernel_checks"


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
