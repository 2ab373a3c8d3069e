"""What we write, judged by tools that nobody on this team wrote: every PNG
passes pngcheck and decodes in Pillow to the pixels we meant; every BMP decodes
in Pillow to the same pixels at the same resolution."""

import random
import shutil
import subprocess

import pytest
from PIL import Image

from corpus import BMP_DIR, PNG_DIR, accepted_bmps, accepted_pngs, needs_corpus, pillow_planes
from Corvane import SimpleImage, simpleImage_ext as ext
from imagefiles import (bmp_fields, idat_stream, idat_total, parse_png, png_file, raw_rows,
                        split_sizes, stored_chunks, written_back)

PNGCHECK = shutil.which("pngcheck")
needs_pngcheck = pytest.mark.skipif(
    PNGCHECK is None, reason="pngcheck is not installed (scripts/setup.sh installs it as root)")


def pngcheck_accepts(path):
    result = subprocess.run([PNGCHECK, "-q", str(path)], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_corpus
class TestSavedCorpusFiles:
    @needs_pngcheck
    @pytest.mark.parametrize("name", accepted_pngs())
    def test_png_saved_back_is_valid_and_keeps_its_chunks(self, name, target):
        source = PNG_DIR / name
        SimpleImage.open(source).save(str(target))
        pngcheck_accepts(target)
        assert pillow_planes(target) == pillow_planes(source)
        # parse_png checks every CRC, so equal types and data mean equal chunk bytes.
        saved = stored_chunks(parse_png(target.read_bytes()))
        assert saved == written_back(stored_chunks(parse_png(source.read_bytes())),
                                     idat_total(saved))
        # Same filter byte and same filtered bytes in every row.
        assert idat_stream(target.read_bytes()) == idat_stream(source.read_bytes())

    @needs_pngcheck
    @pytest.mark.parametrize("pieces", [2, 4, 1000], ids=["2 IDATs", "4 IDATs", "1-byte IDATs"])
    @pytest.mark.parametrize("blank", [False, True], ids=["dots added", "blanked"])
    def test_png_with_split_image_data_saved_after_an_edit(self, target, pieces, blank):
        # The suite's files with split image data are 16-bit, so the same layout is
        # made from an 8-bit one: its IDAT data cut into equal pieces.
        chunks = parse_png((PNG_DIR / "basn2c08.png").read_bytes())
        (payload,) = [data for chunk_type, data in chunks if chunk_type == b"IDAT"]
        size = max(1, len(payload) // pieces)
        split = [(b"IDAT", part) for part in split_sizes(payload, [size] * (len(payload) // size))]
        source = png_file([c for c in chunks if c[0] != b"IEND" and c[0] != b"IDAT"] + split
                          + [(b"IEND", b"")])
        image = SimpleImage.open(source)
        # Dots make the new image data longer than the source's, blanking shorter.
        if blank:
            image.pixels = bytearray(len(image.pixels))
        else:
            for x in range(0, 32, 3):
                image._putPixel((x, x), (x * 8, 255 - x, 7))
        image.save(str(target))
        pngcheck_accepts(target)
        assert pillow_planes(target) == (image.pixels, None)
        saved = stored_chunks(parse_png(target.read_bytes()))
        assert saved == written_back(image._png_chunks, idat_total(saved))

    @pytest.mark.parametrize("name", accepted_bmps())
    def test_bmp_saved_back_decodes_alike_at_the_same_resolution(self, name, target):
        source = BMP_DIR / name
        SimpleImage.open(source).save(str(target))
        with Image.open(source) as before, Image.open(target) as after:
            assert after.tobytes() == before.convert("RGB").tobytes()
            assert after.info["dpi"] == before.info["dpi"]
        kept = ("xppm", "yppm", "clr_used", "clr_important")
        written, original = bmp_fields(target.read_bytes()), bmp_fields(source.read_bytes())
        assert [written[field] for field in kept] == [original[field] for field in kept]


class TestFilesPillowWrote:
    @needs_pngcheck
    @pytest.mark.parametrize("mode", ["RGB", "RGBA"])
    def test_png_reads_alike_and_saves_back_valid(self, target, mode):
        # Pillow cuts large image data into several IDAT chunks and picks each row's
        # filter itself: a layout that no file of the corpus has.
        pillow_image = Image.frombytes(mode, (300, 200),
                                       random.Random(0).randbytes(300 * 200 * len(mode)))
        pillow_image.save(target, "PNG", optimize=True)
        source = target.read_bytes()
        image = SimpleImage.open(source)
        assert (image.pixels, image._alpha) == pillow_planes(target)
        idat_count = [t for t, _, _ in image._png_chunks].count(b"IDAT")
        assert idat_count > 1 and len(set(image._png_filters)) > 1
        image.save(str(target))
        pngcheck_accepts(target)
        assert pillow_planes(target) == (image.pixels, image._alpha)
        saved = stored_chunks(parse_png(target.read_bytes()))
        assert saved == written_back(image._png_chunks, idat_total(saved))
        assert idat_stream(target.read_bytes()) == idat_stream(source)

    def test_bmp_saves_back_at_its_resolution(self, tmp_path):
        # Every BMP of the corpus that we read has the default resolution.
        source, saved = tmp_path / "source.bmp", tmp_path / "saved.bmp"
        pillow_image = Image.frombytes("RGB", (5, 3), random.Random(5).randbytes(5 * 3 * 3))
        pillow_image.save(source, "BMP", dpi=(150, 96))
        image = SimpleImage.open(source)
        assert image.pixels == pillow_image.tobytes()
        image.save(str(saved))
        with Image.open(source) as before, Image.open(saved) as after:
            assert after.tobytes() == pillow_image.tobytes()
            assert after.info["dpi"] == before.info["dpi"] == pytest.approx((150, 96), rel=1e-3)


HEIGHT = 23
FILTER_LISTS = {f"all {t}": [t] * HEIGHT for t in range(5)} | {
    "mixed": [(y * 3 + y // 5) % 5 for y in range(HEIGHT)]}


class TestFilesWeWrite:
    @needs_pngcheck
    @pytest.mark.parametrize("with_alpha", [False, True], ids=["RGB", "RGBA"])
    @pytest.mark.parametrize("filters", FILTER_LISTS.values(), ids=FILTER_LISTS.keys())
    def test_write_png_with_every_filter(self, target, filters, with_alpha):
        width = 37
        noise = random.Random(HEIGHT)
        rgb = bytes(noise.randrange(256) if noise.random() < 0.3 else (x * 7) & 255
                    for x in range(width * HEIGHT * 3))
        alpha = bytearray(noise.randbytes(width * HEIGHT)) if with_alpha else None
        ext._writePng(str(target), width, HEIGHT, rgb, alpha, bytearray(filters))
        pngcheck_accepts(target)
        with Image.open(target) as image:
            assert image.mode == ("RGBA" if with_alpha else "RGB")
            assert image.tobytes() == b"".join(raw_rows(width, HEIGHT, rgb, alpha))

    @pytest.mark.parametrize("width", [1, 2, 3, 4, 5])
    @pytest.mark.parametrize("meta", [None, {"xppm": 3780, "yppm": 1417}])
    def test_write_bmp_at_the_resolution_given(self, target, width, meta):
        rgb = random.Random(width).randbytes(width * 3 * 3)
        ext._writeBmp(str(target), width, 3, rgb, meta)
        ppm = meta or {"xppm": 2835, "yppm": 2835}
        with Image.open(target) as image:
            assert image.tobytes() == rgb
            assert image.info["dpi"] == pytest.approx(
                (ppm["xppm"] * 0.0254, ppm["yppm"] * 0.0254), rel=1e-5)
