"""Fixtures and helpers shared by the test modules."""

import hashlib
import io
import os
import random
import shutil
import subprocess
import struct
import sys
import tempfile
import types
from pathlib import Path

import pytest

from Corvane import SimpleImage, simpleImage_ext
from subprocesses import SANITIZED


def decode(data: bytes):
    """The decoded-image tuple that `_streamToImage` makes of a file's bytes."""
    return SimpleImage._streamToImage(io.BytesIO(data))


def noise(size: int, seed: int = 0) -> bytes:
    """`size` reproducible random bytes."""
    return random.Random(seed).randbytes(size)


@pytest.fixture
def ext():
    """The extension module."""
    return simpleImage_ext


@pytest.fixture
def restore_module_attributes():
    """Puts back every module attribute that a test rebinds."""
    saved = dict(vars(simpleImage_ext))
    yield simpleImage_ext
    for name in set(vars(simpleImage_ext)) - set(saved):
        delattr(simpleImage_ext, name)
    for name, value in saved.items():
        setattr(simpleImage_ext, name, value)


@pytest.fixture
def packed_formats(restore_module_attributes):
    """Rebinds the module's struct to one that records the format of every
    pack, in order, in the list returned."""
    formats = []

    def pack(fmt, *values):
        formats.append(fmt)
        return struct.pack(fmt, *values)

    restore_module_attributes.struct = types.SimpleNamespace(pack=pack, unpack=struct.unpack)
    return formats


class ExistingFile:
    """A file that a failing writer must leave byte for byte as it was."""

    CONTENTS = b"previous contents"

    def __init__(self, path):
        self.path = path
        path.write_bytes(self.CONTENTS)

    def refuses(self, write, exception, message=None):
        """`write(path)` raises `exception` (with `message`) and leaves the file alone."""
        with pytest.raises(exception) as raised:
            write(str(self.path))
        if message is not None:
            assert str(raised.value) == message
        assert self.path.read_bytes() == self.CONTENTS


@pytest.fixture
def target(tmp_path):
    """A path for a writer to create."""
    return tmp_path / "out"


@pytest.fixture
def existing(tmp_path):
    return ExistingFile(tmp_path / "existing")


PROJECT = Path(__file__).resolve().parent.parent
KERNEL_SOURCES = PROJECT / "tests" / "kernels"
# Everything the kernel programs are built from, and the settings that change the build.
KERNEL_INPUTS = [KERNEL_SOURCES, PROJECT / "src" / "simpleImage_ext" / "kernels", PROJECT / "cmake"]
BUILD_SETTINGS = ("CC", "CXX", "CXXFLAGS", "LDFLAGS")
KERNEL_BUILDS = PROJECT / "build" / "kernel-checks"


def _tool(name: str) -> str:
    beside_python = Path(sys.executable).parent / name
    found = str(beside_python) if beside_python.exists() else shutil.which(name)
    if found is None:
        pytest.fail(f"{name} not found; scripts/test installs it into .venv")
    return found


def _run(command: list[str]) -> None:
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def _kernel_source_digest() -> str:
    digest = hashlib.sha256(f"sanitized={SANITIZED}\0".encode())
    for folder in KERNEL_INPUTS:
        for path in sorted(p for p in folder.rglob("*") if p.is_file()):
            digest.update(str(path.relative_to(PROJECT)).encode() + b"\0" + path.read_bytes())
    for name in BUILD_SETTINGS:
        digest.update(f"{name}={os.environ.get(name, '')}\0".encode())
    return digest.hexdigest()[:16]


def _build_kernel_programs(folder: Path) -> None:
    cmake = _tool("cmake")
    _run([cmake, "-S", str(KERNEL_SOURCES), "-B", str(folder), "-G", "Ninja",
          f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release",
          f"-DSIMPLEIMAGE_SANITIZE={'ON' if SANITIZED else 'OFF'}"])
    _run([cmake, "--build", str(folder)])


@pytest.fixture(scope="session")
def kernel_build() -> Path:
    """The folder of the C++ programs and libraries of tests/kernels/ (the
    kernel checks, the zlib shims), built with the cmake and ninja of the test
    environment once per digest of their sources, under build/kernel-checks/,
    the checks with the sanitizers when the suite runs under them (fuzz/run):
    found under its digest, or built beside it and renamed into place once
    complete, so that an interrupted build is never taken for a finished one.
    Builds of other digests are removed."""
    finished = KERNEL_BUILDS / _kernel_source_digest()
    if not finished.is_dir():
        KERNEL_BUILDS.mkdir(parents=True, exist_ok=True)
        building = Path(tempfile.mkdtemp(dir=KERNEL_BUILDS, prefix=".building-"))
        try:
            _build_kernel_programs(building)
            for stale in KERNEL_BUILDS.iterdir():
                if not stale.name.startswith(".") and stale != finished:
                    shutil.rmtree(stale, ignore_errors=True)
            try:
                building.rename(finished)
            except OSError:
                if not finished.is_dir():     # else another run finished it first
                    raise
        finally:
            shutil.rmtree(building, ignore_errors=True)
    return finished
