"""PNG image data goes one of two ways when the module's zlib.decompress is the
interpreter's own: inflated whole by the build's inflater, or, when that is
switched off (CORVANE_INFLATER=zlib) or does not report a clean result, in
bounded pieces through the interpreter's zlib. Both must give the same image or
the same exception for every file; these tests decode the same files both ways."""

import os
import random
import subprocess
import sys
import zlib
from pathlib import Path


from corpus import PNG_DIR, needs_corpus
from imagefiles import chunk, filter_scanlines, ihdr_data, PNG_SIGNATURE, raw_rows
from conftest import noise
from subprocesses import folder_outcomes

HERE = Path(__file__).resolve().parent
DECODING_SUITE = ["test_png_decoding.py", "test_open.py", "test_corpus.py",
                  "test_memory_bounds.py", "test_round_trips.py"]


def assert_routes_agree(folder: Path) -> list[str]:
    whole, streamed = folder_outcomes(folder, None), folder_outcomes(folder, "zlib")
    assert len(whole) == len(streamed) == len(list(folder.iterdir()))
    differing = [(a, b) for a, b in zip(whole, streamed) if a != b]
    assert not differing, differing[:5]
    return whole


# --- files whose image data is damaged in every way a stream can be ------------

def png(width, height, channels, compressed: bytes, cuts=()) -> bytes:
    """A PNG with `compressed` as its image data, cut into IDAT chunks at `cuts`."""
    colour = 2 if channels == 3 else 6
    bounds = [0, *sorted(cuts), len(compressed)]
    idats = b"".join(chunk(b"IDAT", compressed[a:b]) for a, b in zip(bounds, bounds[1:]))
    return (PNG_SIGNATURE + chunk(b"IHDR", ihdr_data(width, height, colour_type=colour))
            + idats + chunk(b"IEND", b""))


def scanlines(rng, width, height, channels) -> bytes:
    rgb = noise(width * height * 3, rng.randrange(1 << 30))
    if rng.random() < 0.5:  # flat areas, so that matches and long codes appear
        rgb = bytes(b if i % 7 else 0 for i, b in enumerate(rgb))
    alpha = noise(width * height, 1) if channels == 4 else None
    filters = [rng.randrange(5) for _ in range(height)]
    return filter_scanlines(raw_rows(width, height, rgb, alpha), filters, channels)


def compressor(rng):
    level = rng.choice([0, 1, 6, 9])
    strategy = rng.choice([zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED, zlib.Z_HUFFMAN_ONLY,
                           zlib.Z_RLE, zlib.Z_FIXED])
    return zlib.compressobj(level, zlib.DEFLATED, rng.choice([9, 12, 15]), 8, strategy)


def damaged(rng, compressed: bytes, stream: bytes) -> bytes:
    """One way to spoil or vary the image data."""
    data = bytearray(compressed)
    kind = rng.randrange(9)
    if kind == 0 and data:  # flipped bits anywhere, the header and checksum included
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif kind == 1:  # cut short
        del data[rng.randrange(len(data) + 1):]
    elif kind == 2:  # bytes after the end of the stream
        data += noise(rng.randrange(1, 20), rng.randrange(1000))
    elif kind == 3:  # a wrong checksum
        data[-4:] = noise(4, rng.randrange(1000))
    elif kind == 4:  # inflates to a byte more or less, or a row more or less
        delta = rng.choice([-1, 1, -len(stream) // 3, len(stream) // 3])
        longer = stream + noise(max(delta, 0)) if delta > 0 else stream[:len(stream) + delta]
        data = bytearray(zlib.compress(longer))
    elif kind == 5:  # a preset dictionary, or another window size, in the header
        data[1] = (data[1] | 0x20) & 0xE0
        data[1] += 31 - ((data[0] << 8) + data[1]) % 31
    elif kind == 6 and len(data) > 6:  # a block of the wrong type or a bad stored length
        data[2] |= 0x06
    elif kind == 7:  # two streams back to back
        data += zlib.compress(stream)
    else:  # nothing wrong: a clean stream, perhaps cut at odd places
        pass
    return bytes(data)


def mutated_files(folder: Path, count: int, seed: int) -> None:
    rng = random.Random(seed)
    for index in range(count):
        width, height, channels = rng.randrange(0, 40), rng.randrange(0, 12), rng.choice([3, 4])
        stream = scanlines(rng, width, height, channels) if width and height else b"\0" * height
        packer = compressor(rng)
        compressed = damaged(rng, packer.compress(stream) + packer.flush(), stream)
        cuts = [rng.randrange(len(compressed) + 1) for _ in range(rng.randrange(3))]
        (folder / f"{index:05}.png").write_bytes(png(width, height, channels, compressed, cuts))


def test_mutated_image_data_gives_the_same_outcome_both_ways(tmp_path):
    mutated_files(tmp_path, 3000, seed=11)
    lines = assert_routes_agree(tmp_path)
    # The files reach the inflater and fail it in many ways.
    results = [line.split(" ", 1)[1] for line in lines]
    assert sum(len(result) == 64 for result in results) > 600
    assert len({result for result in results if ":" in result}) >= 8


@needs_corpus
def test_the_png_corpus_gives_the_same_outcome_both_ways(tmp_path):
    for path in PNG_DIR.glob("*.png"):
        (tmp_path / path.name).symlink_to(path)
    assert_routes_agree(tmp_path)


def test_the_decoding_suite_passes_on_the_zlib_route():
    environment = {**os.environ, "CORVANE_INFLATER": "zlib"}
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             *DECODING_SUITE], cwd=HERE, capture_output=True, text=True,
                            env=environment, timeout=1200)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-2000:]
