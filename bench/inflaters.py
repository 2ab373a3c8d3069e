"""Inflaters alone: the image data of the codec benchmark's images (the IDAT
chunks' data joined) inflated whole into a buffer of the known output size, by
the interpreter's zlib, the extension's own inflater (the kernels built here
as a small shared library), libdeflate (the system's and the `deflate`
package's), zlib-ng and ISA-L. What the PNG decoder's inflater is worth before
any pixel work.

    bench/run --inflaters            # or bench/inflaters.py with the package installed
    bench/run --inflaters --quick    # the quick image set, shorter time budgets
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import shutil
import subprocess
import sys
import time
import zlib
from pathlib import Path

import deflate
import isal.isal_zlib
import numpy as np
import zlib_ng.zlib_ng

import setting
from samples import Sample, image_set
from tables import Column, Row, markdown_table
from timing import measure

PEERS = ["built-in", "system libdeflate", "libdeflate", "zlib-ng", "ISA-L"]
ROOT = Path(__file__).resolve().parent.parent
KERNEL_BUILD = ROOT / "build" / "kernel-bench"  # shared with bench/kernels/run


def tool(name: str) -> str:
    beside_python = Path(sys.executable).parent / name
    return str(beside_python) if beside_python.exists() else (shutil.which(name) or name)


def own_inflater():
    """inflate(data, size) with the extension's inflater: the kernels built with the
    extension's Release flags into bench/kernels' inflate_probe, called through ctypes."""
    cmake = tool("cmake")
    subprocess.run([cmake, "-S", str(ROOT / "bench" / "kernels"), "-B", str(KERNEL_BUILD),
                    "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tool('ninja')}",
                    "-DCMAKE_BUILD_TYPE=Release"], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(KERNEL_BUILD), "--target", "inflate_probe"],
                   check=True, capture_output=True)
    library = ctypes.CDLL(str(KERNEL_BUILD / "libinflate_probe.so"))
    library.simpleimage_inflate.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                                            ctypes.c_size_t]
    library.simpleimage_inflate.restype = ctypes.c_int

    def inflate(data: bytes, size: int) -> np.ndarray:
        out = np.empty(size, np.uint8)
        if not library.simpleimage_inflate(data, len(data), out.ctypes.data, size):
            raise zlib.error("the built-in inflater: bad data or another size")
        return out
    return inflate


def system_libdeflate():
    """inflate(data, size) with the system's libdeflate, the one the extension
    links, through ctypes; None when the system has none."""
    name = ctypes.util.find_library("deflate")
    if name is None:
        return None
    library = ctypes.CDLL(name)
    library.libdeflate_alloc_decompressor.restype = ctypes.c_void_p
    library.libdeflate_zlib_decompress.argtypes = [
        ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t,
        ctypes.c_void_p]
    decompressor = library.libdeflate_alloc_decompressor()

    def inflate(data: bytes, size: int) -> np.ndarray:
        # Not zero-filled, like the others' output buffers.
        out = np.empty(size, np.uint8)
        if library.libdeflate_zlib_decompress(decompressor, data, len(data), out.ctypes.data,
                                              size, None) != 0:
            raise zlib.error("libdeflate: bad data or another size")
        return out
    return inflate


SYSTEM_INFLATE = system_libdeflate()
OWN_INFLATE = own_inflater()


def inflaters(idat: bytes, size: int) -> dict:
    runs = {
        "zlib": lambda: zlib.decompress(idat, 15, size),
        "zlib, no size": lambda: zlib.decompress(idat),
        "built-in": lambda: OWN_INFLATE(idat, size),
        "system libdeflate": lambda: SYSTEM_INFLATE(idat, size),
        "libdeflate": lambda: deflate.zlib_decompress(idat, size),
        "zlib-ng": lambda: zlib_ng.zlib_ng.decompress(idat, 15, size),
        "ISA-L": lambda: isal.isal_zlib.decompress(idat, 15, size),
    }
    if SYSTEM_INFLATE is None:
        del runs["system libdeflate"]
    return runs


def measure_inflaters(sample: Sample, budget: float) -> Row:
    size = len(zlib.decompress(sample.idat))
    candidates = inflaters(sample.idat, size)
    for name, run in candidates.items():
        if len(run()) != size:
            raise AssertionError(f"{name} inflated {sample.name} to the wrong size")
    small = sample.pixels < 100_000
    timings = measure(candidates, budget, 5, 2000 if small else 25,
                      batch_seconds=0.002 if small else 0.0)
    values = {"in": len(sample.idat), "zlib": timings.median("zlib"),
              "no size": timings.ratio("zlib, no size", "zlib")}
    values.update((peer, timings.ratio("zlib", peer)) for peer in PEERS if peer in candidates)
    return Row(sample, values)


COLUMNS = [Column("compressed KB", "in", "KB"), Column("zlib ms", "zlib", "ms"),
           Column("built-in speed-up", "built-in"),
           Column("system libdeflate speed-up", "system libdeflate"),
           Column("libdeflate (deflate) speed-up", "libdeflate"),
           Column("zlib-ng speed-up", "zlib-ng"), Column("ISA-L speed-up", "ISA-L"),
           Column("zlib without size / with size", "no size")]
TEXT = (
    "Whole-buffer inflate of the joined IDAT data into a buffer of the known output size "
    "(`zlib.decompress(data, 15, size)`; the extension's own inflater, built from the "
    "kernels as `bench/kernels`' `inflate_probe`, and the system's libdeflate, each "
    "through ctypes into a NumPy buffer; the libdeflate bundled in the `deflate` "
    "package, `deflate.zlib_decompress(data, size)`; zlib-ng's and ISA-L's `decompress` "
    "like zlib's). Speed-up: zlib's time over the "
    "inflater's (higher is better). The last column: the interpreter's `zlib.decompress` "
    "without the size, as the open table's ratios use it, over the same with the size.")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="the quick image set, 0.5 s per image")
    parser.add_argument("--only", default="", help="only images whose name contains this text")
    args = parser.parse_args()
    started, start_load = time.perf_counter(), setting.load()
    images = image_set(args.quick).only(args.only)
    rows = []
    for sample in images.opens + images.tiny:
        print(f"inflate {sample.name} ...", file=sys.stderr, flush=True)
        rows.append(measure_inflaters(sample, 0.5 if args.quick else 2.0))
    print("\n".join([*setting.header(start_load, time.perf_counter() - started),
                     "### Inflaters", "", TEXT, "", *markdown_table(rows, COLUMNS)]))


if __name__ == "__main__":
    main()
