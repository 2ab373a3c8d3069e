"""Opening a file and saving it back with `SimpleImage.open` and `save`: a PNG
keeps its chunks, their order, each row's filter type and its alpha plane, with
IDAT sizes along the split rule; a BMP keeps its pixels and header record in the
one layout the writer knows."""

import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from Corvane import SimpleImage, simpleImage_ext as ext
from imagefiles import (bmp_fields, filter_scanlines, idat_total, ihdr_data, make_bmp, make_png,
                        png_file, raw_rows, split_sizes, written_back)

# The fixtures used by the property tests (a scratch directory) keep no state
# between examples.
examples = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


def saved_and_reopened(image, path):
    image.save(str(path))
    return SimpleImage.open(path)


ANCILLARY = st.tuples(st.sampled_from([b"tEXt", b"gAMA", b"zzZz", b"PLTE"]),
                      st.binary(max_size=8))


@st.composite
def png_files(draw):
    """An RGB or RGBA PNG of random size, per-row filters and chunk layout: other
    chunks before, between and after IDAT chunks of random sizes (empty ones
    included), with or without IEND."""
    width, height = draw(st.integers(0, 7)), draw(st.integers(0, 5))
    rgb = draw(st.binary(min_size=width * height * 3, max_size=width * height * 3))
    alpha = draw(st.none() | st.binary(min_size=width * height, max_size=width * height))
    filters = draw(st.lists(st.integers(0, 4), min_size=height, max_size=height))
    compressed = zlib.compress(filter_scanlines(raw_rows(width, height, rgb, alpha), filters,
                                                4 if alpha is not None else 3))
    layout = draw(st.lists(st.just(b"IDAT") | ANCILLARY, min_size=1, max_size=7).filter(
        lambda entries: b"IDAT" in entries))
    cuts = sorted(draw(st.lists(st.integers(0, len(compressed)), min_size=layout.count(b"IDAT") - 1,
                                max_size=layout.count(b"IDAT") - 1)))
    sizes = [end - start for start, end in zip([0] + cuts, cuts + [len(compressed)])]
    parts = iter(split_sizes(compressed, sizes))
    chunks = [(b"IHDR", ihdr_data(width, height, colour_type=6 if alpha is not None else 2))]
    chunks += [(b"IDAT", next(parts)) if entry == b"IDAT" else entry for entry in layout]
    if draw(st.booleans()):
        chunks.append((b"IEND", b""))
    return png_file(chunks), rgb, alpha, filters


class TestPng:
    @examples
    @given(source=png_files())
    def test_save_keeps_pixels_alpha_filters_and_chunks(self, tmp_path, source):
        data, rgb, alpha, filters = source
        image = SimpleImage.open(data)
        assert (image.pixels, image._alpha, image._png_filters) == (rgb, alpha, bytes(filters))
        again = saved_and_reopened(image, tmp_path / "again.png")
        assert (again.pixels, again._alpha, again._png_filters) == (
            image.pixels, image._alpha, image._png_filters)
        assert again._png_chunks == written_back(image._png_chunks, idat_total(again._png_chunks))

    def test_an_edited_pixel_is_written_and_the_rest_kept(self, tmp_path):
        rgb = bytes(range(4 * 3 * 3))
        data = make_png(4, 3, rgb, bytes(range(12)), filters=[4, 1, 3], idat_sizes=[40, 9, 9],
                        before_idat=[(b"gAMA", b"\x00\x00\xb1\x8f")],
                        after_idat=[(b"tEXt", b"k\x00v")])
        image = SimpleImage.open(data)
        image._putPixel((2, 1), (1, 2, 3))
        again = saved_and_reopened(image, tmp_path / "edited.png")
        assert again._getPixel((2, 1)) == (1, 2, 3)
        assert again.pixels == image.pixels and again._alpha == bytes(range(12))
        assert again._png_filters == bytes([4, 1, 3])
        assert again._png_chunks == written_back(image._png_chunks, idat_total(again._png_chunks))

    @pytest.mark.parametrize("chunks", [None, []], ids=["None", "empty list"])
    def test_without_a_chunk_list_the_file_is_write_pngs(self, tmp_path, chunks):
        data = make_png(3, 2, bytes(range(18)), bytes(6), filters=[2, 4],
                        after_idat=[(b"tEXt", b"k\x00v")])
        image = SimpleImage.open(data)
        image._png_chunks = chunks
        image.save(str(tmp_path / "saved.png"))
        ext._writePng(str(tmp_path / "plain.png"), 3, 2, image.pixels, image._alpha,
                      image._png_filters)
        assert (tmp_path / "saved.png").read_bytes() == (tmp_path / "plain.png").read_bytes()
        again = SimpleImage.open(tmp_path / "saved.png")
        assert (again._alpha, again._png_filters) == (bytes(6), bytes([2, 4]))
        assert [t for t, _, _ in again._png_chunks] == [b"IHDR", b"IDAT", b"IEND"]


class TestBmp:
    @examples
    @given(data=st.data(), width=st.integers(0, 9), height=st.integers(0, 4),
           top_down=st.booleans(), gap=st.binary(max_size=6), trailing=st.binary(max_size=3),
           padding_byte=st.integers(0, 255),
           record=st.fixed_dictionaries({"xppm": st.integers(0, 2 ** 31 - 1),
                                         "yppm": st.integers(0, 2 ** 31 - 1),
                                         "clrUsed": st.integers(0, 2 ** 32 - 1),
                                         "clrImportant": st.integers(0, 2 ** 32 - 1)}))
    def test_save_keeps_pixels_and_record_in_the_normal_layout(
            self, tmp_path, data, width, height, top_down, gap, trailing, padding_byte, record):
        rgb = data.draw(st.binary(min_size=width * height * 3, max_size=width * height * 3))
        fields = dict(xppm=record["xppm"], yppm=record["yppm"], clr_used=record["clrUsed"],
                      clr_important=record["clrImportant"])
        source = make_bmp(width, height, rgb, top_down=top_down, gap=gap, trailing=trailing,
                          padding_byte=padding_byte, **fields)
        image = SimpleImage.open(source)
        again = saved_and_reopened(image, tmp_path / "again.bmp")
        # Bottom-up rows, zero padding, pixels at offset 54, nothing before or after.
        assert (tmp_path / "again.bmp").read_bytes() == make_bmp(width, height, rgb, **fields)
        assert (again.size, again.pixels, again._bmp_header) == ((width, height), rgb, record)

    def test_saved_under_a_png_name_stays_bmp(self, tmp_path):
        image = SimpleImage.open(make_bmp(2, 2, bytes(range(12)), xppm=1000))
        again = saved_and_reopened(image, tmp_path / "picture.png")
        assert bmp_fields((tmp_path / "picture.png").read_bytes())["xppm"] == 1000
        assert (again._png_chunks, again.pixels) == (None, bytes(range(12)))
