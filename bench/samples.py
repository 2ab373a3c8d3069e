"""The benchmark's images, all PNG in memory and made with fixed seeds: real
photos from scikit-image's data folder (JPEGs re-encoded), a screenshot and a
drawing generated here, synthetic images stored with one filter type each,
tiny images, and a few PngSuite files. Every image belongs to a class (its
`group`), by which the report averages."""

from __future__ import annotations

import dataclasses
import functools
import hashlib
import io
import json
import os
import shutil
import struct
import zlib
from pathlib import Path

import numpy as np
import PIL
import skimage
import skimage.data
from PIL import Image, ImageDraw

ROOT = Path(__file__).resolve().parent.parent
CORPUS_ROOT = os.environ.get("SIMPLEIMAGE_CORPUS") or ROOT.parent / "shared" / "corpus"
CORPUS = Path(CORPUS_ROOT) / "pngsuite"
CORPUS_FILES = ["basn2c08.png", "basn6a08.png", "f02n2c08.png", "f04n2c08.png", "z00n2c08.png",
                "z09n2c08.png"]
PHOTOS = Path(skimage.data.__file__).parent
CACHE = ROOT / "build" / "bench-images"
# Natural scenes; the JPEGs are re-encoded as PNG. The full run takes them all.
PHOTO_FILES = ["astronaut.png", "coffee.png", "hubble_deep_field.jpg", "motorcycle_left.png",
               "retina.jpg", "rocket.jpg"]
QUICK_PHOTO_FILES = ["astronaut.png", "coffee.png", "hubble_deep_field.jpg"]
# The photo that is upscaled to camera sizes and given an alpha plane.
LARGE_PHOTO = "motorcycle_left.png"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
FILTER_NAMES = ["None", "Sub", "Up", "Average", "Paeth"]
CLASSES = ["photo", "screenshot", "drawing", "synthetic-filter", "tiny"]


@dataclasses.dataclass
class Sample:
    name: str
    group: str         # one of CLASSES
    source: str        # where the file comes from: skimage, generated, PngSuite, numpy
    data: bytes
    width: int
    height: int
    channels: int
    filters: str

    @property
    def raw_size(self) -> int:
        return self.width * self.height * self.channels

    @property
    def pixels(self) -> int:
        return self.width * self.height

    @functools.cached_property
    def idat(self) -> bytes:
        """The zlib stream of the image data: the IDAT chunks' data joined."""
        return b"".join(body for kind, body in chunks_of(self.data) if kind == b"IDAT")

    @property
    def size_label(self) -> str:
        return f"{self.width}x{self.height}x{self.channels}"


def chunks_of(data: bytes):
    offset = 8
    while offset < len(data):
        (length,) = struct.unpack(">I", data[offset:offset + 4])
        yield data[offset + 4:offset + 8], data[offset + 8:offset + 8 + length]
        offset += 12 + length


def describe_filters(sample: Sample) -> str:
    stream = zlib.decompress(sample.idat)
    stride = sample.width * sample.channels + 1
    used = sorted({stream[y * stride] for y in range(sample.height)})
    return "/".join(FILTER_NAMES[f] for f in used) if len(used) < 5 else "mixed"


def sample_from_png(name: str, group: str, source: str, data: bytes) -> Sample | None:
    """The file as a sample, or None when it is not 8-bit RGB or RGBA without interlacing."""
    header = next(body for chunk, body in chunks_of(data) if chunk == b"IHDR")
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", header)
    if depth != 8 or colour not in (2, 6) or interlace != 0:
        return None
    sample = Sample(name, group, source, data, width, height, 3 if colour == 2 else 4, "")
    sample.filters = describe_filters(sample)
    return sample


def pillow_png(array: np.ndarray) -> bytes:
    """The array as Pillow writes it at its default settings."""
    out = io.BytesIO()
    Image.fromarray(array).save(out, "PNG")
    return out.getvalue()


def alpha_gradient(width: int, height: int) -> np.ndarray:
    """A smooth alpha plane with every level from transparent to opaque."""
    ys, xs = np.mgrid[0:height, 0:width]
    return (255 * (0.5 + 0.5 * np.sin(xs / 97.0) * np.cos(ys / 61.0))).astype(np.uint8)


def with_alpha(rgb: np.ndarray) -> np.ndarray:
    return np.dstack([rgb, alpha_gradient(rgb.shape[1], rgb.shape[0])])


# --- real photos -----------------------------------------------------------------

def real_photo(name: str) -> Image.Image:
    return Image.open(PHOTOS / name).convert("RGB")


def photo_label(name: str) -> str:
    stem, suffix = name.rsplit(".", 1)
    label = stem.split("_")[0]
    return f"{label} (from JPEG)" if suffix == "jpg" else label


def resized_photo(name: str, width: int, height: int) -> np.ndarray:
    """The photo cropped to the aspect ratio of width x height around its centre,
    then resized (bicubic) to that size."""
    image = real_photo(name)
    aspect = width / height
    crop_width = min(image.width, round(image.height * aspect))
    crop_height = min(image.height, round(crop_width / aspect))
    left, top = (image.width - crop_width) // 2, (image.height - crop_height) // 2
    cropped = image.crop((left, top, left + crop_width, top + crop_height))
    return np.asarray(cropped.resize((width, height), Image.BICUBIC))


def photo_samples(quick: bool) -> list[Sample]:
    return [sample_from_png(photo_label(name), "photo", "skimage",
                            pillow_png(np.asarray(real_photo(name))))
            for name in (QUICK_PHOTO_FILES if quick else PHOTO_FILES)]


def large_photo(width: int, height: int, channels: int) -> Sample:
    """The large photo upscaled to width x height; RGBA with alpha_gradient."""
    rgb = resized_photo(LARGE_PHOTO, width, height)
    array = rgb if channels == 3 else with_alpha(rgb)
    label = f"{photo_label(LARGE_PHOTO)} {width}x{height} ({'RGB' if channels == 3 else 'RGBA'})"
    return sample_from_png(label, "photo", "skimage, upscaled", pillow_png(array))


# --- generated screenshot and drawing ------------------------------------------------

def smooth_noise(rng, width, height, cells, channels) -> np.ndarray:
    """Random colours on a coarse grid, scaled up smoothly: the broad shapes of a photo."""
    coarse = rng.integers(0, 256, (cells[1], cells[0], channels), dtype=np.uint8)
    planes = [np.asarray(Image.fromarray(coarse[:, :, c]).resize((width, height),
                                                                  Image.BICUBIC))
              for c in range(channels)]
    return np.stack(planes, axis=2).astype(np.int16)


def photo_like(rng, width, height, channels=3) -> np.ndarray:
    """Smooth shapes, finer detail and grain: compresses about as a photo does."""
    base = smooth_noise(rng, width, height, (width // 64 + 2, height // 64 + 2), 3)
    detail = smooth_noise(rng, width, height, (width // 6 + 2, height // 6 + 2), 3) - 128
    grain = rng.normal(0, 3, (height, width, 3))
    rgb = np.clip(base + detail // 4 + grain, 0, 255).astype(np.uint8)
    return rgb if channels == 3 else with_alpha(rgb)


def screenshot(rng, width, height) -> np.ndarray:
    """Flat panels and bars with rows of small dark glyph-like marks."""
    image = np.full((height, width, 3), 240, np.uint8)
    for _ in range(12):
        x0, y0 = rng.integers(0, width - 40), rng.integers(0, height - 40)
        x1, y1 = x0 + rng.integers(40, width // 2), y0 + rng.integers(20, height // 3)
        image[y0:y1, x0:x1] = rng.integers(150, 256, 3)
    glyphs = rng.integers(0, 2, (80, 5, 7), dtype=bool)
    for line in range(24, height - 16, 18):
        x = 16 + int(rng.integers(0, 40))
        while x < width - 400:
            word = rng.integers(2, 9)
            for _ in range(word):
                glyph = glyphs[rng.integers(0, len(glyphs))]
                region = image[line:line + 7, x:x + 5]
                region[glyph.T] = (30, 30, 40)
                x += 6
            x += 6
    return image


def drawing(rng, width, height) -> np.ndarray:
    """Coloured lines and outlines on a transparent canvas."""
    canvas = Image.new("RGBA", (width, height), (255, 255, 255, 0))
    pen = ImageDraw.Draw(canvas)
    for _ in range(300):
        points = [tuple(int(v) for v in rng.integers(0, (width, height))) for _ in range(2)]
        colour = tuple(int(v) for v in rng.integers(0, 256, 3)) + (255,)
        pen.line(points, fill=colour, width=int(rng.integers(1, 6)))
    for _ in range(40):
        x, y = (int(v) for v in rng.integers(0, (width - 100, height - 100)))
        size = int(rng.integers(20, 100))
        colour = tuple(int(v) for v in rng.integers(0, 256, 3)) + (160,)
        pen.ellipse((x, y, x + size, y + size), outline=colour, width=3)
    return np.asarray(canvas)


def generated_samples(rng, scale: float) -> list[Sample]:
    def size(w, h):
        return int(w * scale), int(h * scale)
    made = [("screenshot (RGB)", "screenshot", screenshot(rng, *size(1280, 800))),
            ("drawing (RGBA)", "drawing", drawing(rng, *size(1024, 768)))]
    samples = [sample_from_png(name, group, "generated", pillow_png(array))
               for name, group, array in made]
    # A logo made from a photo: flat colours, outlines and photo texture.
    logo = np.asarray(Image.open(PHOTOS / "logo.png").convert("RGBA"))
    return samples + [sample_from_png("logo (RGBA)", "drawing", "skimage", pillow_png(logo))]


def large_generated(rng, scale: float) -> list[Sample]:
    """A screenshot and a drawing at the sizes of the save targets."""
    width, height = int(1920 * scale), int(1200 * scale)
    made = [(f"screenshot {width}x{height} (RGB)", "screenshot", screenshot(rng, width, height)),
            (f"drawing {width}x{height} (RGBA)", "drawing", drawing(rng, width, height))]
    return [sample_from_png(name, group, "generated", pillow_png(array))
            for name, group, array in made]


# --- synthetic images, one filter type each ----------------------------------------------

def forward_filter(raw: np.ndarray, bpp: int, types: np.ndarray) -> bytes:
    """The filtered scanline stream of `raw` (height x row bytes), row y filtered
    with types[y], computed here independently of the module."""
    r = raw.astype(np.int16)
    left = np.zeros_like(r)
    left[:, bpp:] = r[:, :-bpp]
    above = np.zeros_like(r)
    above[1:] = r[:-1]
    upper_left = np.zeros_like(r)
    upper_left[1:, bpp:] = r[:-1, :-bpp]
    p = left + above - upper_left
    pa, pb, pc = np.abs(p - left), np.abs(p - above), np.abs(p - upper_left)
    paeth = np.where((pa <= pb) & (pa <= pc), left, np.where(pb <= pc, above, upper_left))
    predictors = [np.zeros_like(r), left, above, (left + above) // 2, paeth]
    filtered = np.empty_like(raw)
    for f, predictor in enumerate(predictors):
        rows = types == f
        filtered[rows] = ((r[rows] - predictor[rows]) & 0xFF).astype(np.uint8)
    return np.hstack([types.astype(np.uint8)[:, None], filtered]).tobytes()


def png_file(width, height, channels, stream: bytes, idat_size: int) -> bytes:
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    compressed = zlib.compress(stream)
    colour = 2 if channels == 3 else 6
    parts = [PNG_SIGNATURE, chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour,
                                                       0, 0, 0))]
    for start in range(0, len(compressed), idat_size):
        parts.append(chunk(b"IDAT", compressed[start:start + idat_size]))
    parts.append(chunk(b"IEND", b""))
    return b"".join(parts)


def synthetic_samples(rng, width, height) -> list[Sample]:
    samples = []
    for channels in (3, 4):
        raw = photo_like(rng, width, height, channels).reshape(height, width * channels)
        mixed = rng.integers(0, 5, height)
        for name, types in [*((FILTER_NAMES[f], np.full(height, f)) for f in range(5)),
                            ("mixed", mixed)]:
            stream = forward_filter(raw, channels, types)
            data = png_file(width, height, channels, stream, 8192)
            label = f"{width}x{height} {'RGB' if channels == 3 else 'RGBA'} {name}"
            samples.append(Sample(label, "synthetic-filter", "numpy", data, width, height,
                                  channels, name))
    return samples


# --- tiny images ---------------------------------------------------------------------------

def corpus_samples() -> list[Sample]:
    samples = []
    for name in CORPUS_FILES:
        path = CORPUS / name
        if path.exists():
            sample = sample_from_png(name, "tiny", "PngSuite", path.read_bytes())
            if sample is not None:
                samples.append(sample)
    return samples


def tiny_samples() -> list[Sample]:
    """A photo shrunk to 16x16 and 32x32, RGB and RGBA, and the PngSuite files."""
    made = []
    for side in (16, 32):
        rgb = resized_photo("astronaut.png", side, side)
        for label, array in (("RGB", rgb), ("RGBA", with_alpha(rgb))):
            made.append(sample_from_png(f"astronaut {side}x{side} ({label})", "tiny", "skimage",
                                        pillow_png(array)))
    return made + corpus_samples()


# --- the sets the benchmark measures ----------------------------------------------------------

@dataclasses.dataclass
class ImageSet:
    opens: list[Sample]     # the open table: every class but tiny
    tiny: list[Sample]
    threads: list[Sample]   # 1600x1200 photos, RGB and RGBA
    large: list[Sample]     # a screenshot and a drawing of 1600x1200 or more, for saving

    def only(self, text: str) -> ImageSet:
        """The images whose name contains text."""
        def pick(samples):
            return [s for s in samples if text in s.name]
        return ImageSet(pick(self.opens), pick(self.tiny), pick(self.threads), pick(self.large))

    def everything(self) -> list[Sample]:
        return self.opens + self.tiny + self.threads + self.large

    def saves(self) -> list[Sample]:
        """The save table: every class but tiny, and each class at 1600x1200 or more."""
        return self.opens + self.threads + self.large


def made_set(quick: bool) -> ImageSet:
    width, height = (1000, 750) if quick else (4000, 3000)
    # A generator of its own for each kind, so that each kind's images stay the
    # same whatever else is made.
    opens = (photo_samples(quick) + [large_photo(width, height, c) for c in (3, 4)]
             + generated_samples(np.random.default_rng(20240607), 0.5 if quick else 1.0)
             + synthetic_samples(np.random.default_rng(20240608), width, height))
    threads = [large_photo(1600, 1200, channels) for channels in (3, 4)]
    return ImageSet(opens, tiny_samples(), threads,
                    large_generated(np.random.default_rng(20240609), 0.5 if quick else 1.0))


SAMPLE_FIELDS = ("name", "group", "source", "width", "height", "channels", "filters")


def image_set(quick: bool) -> ImageSet:
    """The images, made once and then read from build/: compressing the large
    synthetic ones takes over a minute. A change to this file or to the
    libraries that make them makes them anew."""
    kind = "quick" if quick else "full"
    versions = f"{CORPUS} {np.__version__} {PIL.__version__} {skimage.__version__}"
    digest = hashlib.sha256(Path(__file__).read_bytes() + versions.encode())
    folder = CACHE / f"{kind}-{digest.hexdigest()[:12]}"
    if (folder / "index.json").exists():
        return read_set(folder)
    images = made_set(quick)
    for stale in CACHE.glob(f"{kind}-*"):
        shutil.rmtree(stale)
    write_set(images, folder)
    return images


def write_set(images: ImageSet, folder: Path) -> None:
    folder.mkdir(parents=True)
    index = {}
    for part in ("opens", "tiny", "threads", "large"):
        index[part] = []
        for sample in getattr(images, part):
            (folder / f"{part}-{len(index[part])}.png").write_bytes(sample.data)
            index[part].append({field: getattr(sample, field) for field in SAMPLE_FIELDS})
    # Written last: a folder without it is unfinished and made again.
    (folder / "index.json").write_text(json.dumps(index))


def read_set(folder: Path) -> ImageSet:
    index = json.loads((folder / "index.json").read_text())
    return ImageSet(**{
        part: [Sample(data=(folder / f"{part}-{i}.png").read_bytes(), **fields)
               for i, fields in enumerate(entries)]
        for part, entries in index.items()})
