"""Fixtures and helpers shared by the test modules."""

import io
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from Corvane import SimpleImage, simpleImage_ext


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


def _tool(name: str) -> str:
    beside_python = Path(sys.executable).parent / name
    found = str(beside_python) if beside_python.exists() else shutil.which(name)
    if found is None:
        pytest.fail(f"{name} not found; scripts/test installs it into .venv")
    return found


def _run(command: list[str]) -> None:
    result = subprocess.run(command, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="session")
def kernel_build(tmp_path_factory) -> Path:
    """The folder of the C++ programs and libraries of tests/kernels/ (the
    kernel checks, the zlib shims), built under pytest's temporary folder with
    the cmake and ninja of the test environment."""
    build = tmp_path_factory.mktemp("kernel-checks")
    cmake = _tool("cmake")
    _run([cmake, "-S", str(Path(__file__).resolve().parent / "kernels"), "-B", str(build),
          "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}", "-DCMAKE_BUILD_TYPE=Release"])
    _run([cmake, "--build", str(build)])
    return build
