"""What a benchmark's numbers depend on, recorded with them so that a run can be
reproduced and compared: the processor and its load, the interpreter, the
compiler, the inflater the extension was built with, every library's version
and the commit."""

from __future__ import annotations

import contextlib
import importlib
import importlib.metadata
import os
import platform
import re
import subprocess
import zlib
from pathlib import Path

from Corvane import simpleImage_ext

ROOT = Path(__file__).resolve().parent.parent


def command_line(*args) -> str:
    try:
        return subprocess.run(args, capture_output=True, text=True, check=True,
                              cwd=ROOT).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def cpu_name() -> str:
    with contextlib.suppress(OSError):
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def load() -> str:
    return ", ".join(f"{value:.2f}" for value in os.getloadavg())


def version(distribution: str) -> str:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def linked_libdeflate() -> str | None:
    """The libdeflate the extension is linked against (by ldd), with the version
    pkg-config gives for the system's copy, or None when it is not linked."""
    listing = command_line("ldd", simpleImage_ext.__file__)
    match = re.search(r"libdeflate\S* => (\S+)", listing)
    if match is None:
        return None
    return f"libdeflate {command_line('pkg-config', '--modversion', 'libdeflate')} ({match[1]})"


def build_fact(name: str) -> str:
    """What the package's build information says of `name`, when it has it."""
    with contextlib.suppress(ImportError, AttributeError):
        return str(getattr(importlib.import_module("Corvane._build"), name))
    return "unknown"


def inflater() -> str:
    """The build's own word on its inflater, and whether the extension links
    libdeflate."""
    return f"{build_fact('INFLATER')}; the extension links {linked_libdeflate() or 'no libdeflate'}"


def deflate() -> str:
    """The build's own word on the deflate of its PNG writers, and the threads
    its pool has here."""
    name = build_fact("DEFLATE")
    threads = len(os.sched_getaffinity(0))
    cap = os.environ.get("CORVANE_THREADS")
    return f"{name}; {threads} CPUs to run on" + (f", CORVANE_THREADS={cap}" if cap else "")


def libraries() -> str:
    import cv2
    import imagecodecs
    import isal
    import numpy
    import PIL
    import PIL.features
    import skimage
    import zlib_ng.zlib_ng

    return ", ".join([
        f"zlib {zlib.ZLIB_RUNTIME_VERSION}",
        f"imagecodecs {imagecodecs.__version__} ({imagecodecs.png_version()})",
        f"OpenCV {cv2.__version__}",
        f"Pillow {PIL.__version__} (zlib {PIL.features.version('zlib')})",
        f"pyspng {version('pyspng')}",
        f"pypng {version('pypng')}",
        f"zlib-ng {zlib_ng.zlib_ng.ZLIBNG_VERSION} (python-zlib-ng {version('zlib-ng')})",
        f"deflate {version('deflate')} (bundled libdeflate)",
        f"ISA-L {isal.ISAL_VERSION} (isal {version('isal')})",
        f"numpy {numpy.__version__}",
        f"scikit-image {skimage.__version__}",
    ])


def header(start_load: str, seconds: float) -> list[str]:
    """The Markdown lines of the setting; start_load is load() taken at the start."""
    compiler = command_line("c++", "--version").splitlines()[0]
    return [
        "### Machine", "",
        f"- Machine: {cpu_name()}, {os.cpu_count()} cores, load average {start_load} at the "
        f"start, {load()} at the end",
        f"- Python {platform.python_version()} ({platform.python_implementation()}), "
        f"{platform.system()} {platform.release()}",
        f"- Compiler: {compiler}",
        f"- Inflater of the extension: {inflater()}",
        f"- Deflate of the extension: {deflate()}",
        f"- Libraries: {libraries()}",
        f"- Commit {command_line('git', 'describe', '--always', '--dirty')}",
        f"- Benchmark time: {seconds:.0f} s",
        "",
    ]
