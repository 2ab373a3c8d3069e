"""Inflaters alone: the image data of the codec benchmark's images (the IDAT
chunks' data joined) inflated whole into a buffer of the known output size, by
the interpreter's zlib, libdeflate (the `deflate` package), zlib-ng and ISA-L.
What the PNG decoder's inflater choice is worth before any pixel work.

    bench/run --inflaters            # or bench/inflaters.py with the package installed
    bench/run --inflaters --quick    # the quick image set, shorter time budgets
"""

from __future__ import annotations

import argparse
import sys
import time
import zlib

import deflate
import isal.isal_zlib
import zlib_ng.zlib_ng

import setting
from samples import Sample, image_set
from tables import Column, Row, markdown_table
from timing import measure

PEERS = ["libdeflate", "zlib-ng", "ISA-L"]


def inflaters(idat: bytes, size: int) -> dict:
    return {
        "zlib": lambda: zlib.decompress(idat, 15, size),
        "zlib, no size": lambda: zlib.decompress(idat),
        "libdeflate": lambda: deflate.zlib_decompress(idat, size),
        "zlib-ng": lambda: zlib_ng.zlib_ng.decompress(idat, 15, size),
        "ISA-L": lambda: isal.isal_zlib.decompress(idat, 15, size),
    }


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
    values.update((peer, timings.ratio("zlib", peer)) for peer in PEERS)
    return Row(sample, values)


COLUMNS = [Column("compressed KB", "in", "KB"), Column("zlib ms", "zlib", "ms"),
           *(Column(f"{peer} speed-up", peer) for peer in PEERS),
           Column("zlib without size / with size", "no size")]
TEXT = (
    "Whole-buffer inflate of the joined IDAT data into a buffer of the known output size "
    "(`zlib.decompress(data, 15, size)`, `deflate.zlib_decompress(data, size)`, and "
    "zlib-ng's and ISA-L's `decompress` like zlib's). Speed-up: zlib's time over the "
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
