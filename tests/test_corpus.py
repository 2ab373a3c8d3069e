"""Every file of the PNG and BMP test corpora through `SimpleImage.open`: the
files of the kinds we support decode to exactly what an independent decoder
gives, every other file is refused with the message for the reason it exists."""

import pytest

from corpus import (BAD_SIGNATURE, BMP_DIR, DAMAGE, PNG_DIR, Accepted, accepted_pngs,
                    bmp_names, expected_bmp, expected_png, header_from_name, ihdr_fields,
                    needs_corpus, pillow_planes, png_names)
from Corvane import SimpleImage
from imagefiles import idat_stream, parse_png

pytestmark = needs_corpus


def opens_as_expected(path, expectation):
    """Accepted: the pixels, and the alpha plane exactly when the file has one,
    are Pillow's. Refused: the expected error, with its message."""
    if isinstance(expectation, Accepted):
        image = SimpleImage.open(path)
        assert (image.pixels, image._alpha) == pillow_planes(path)
        assert (image._alpha is not None) == expectation.has_alpha
        return
    with pytest.raises(expectation.error) as raised:
        SimpleImage.open(path)
    assert expectation.message in (None, str(raised.value))


class TestPngSuite:
    @pytest.mark.parametrize("name", png_names())
    def test_file_decodes_like_pillow_or_is_refused_for_its_reason(self, name):
        opens_as_expected(PNG_DIR / name, expected_png(name))

    @pytest.mark.parametrize("name", accepted_pngs())
    def test_chunk_and_filter_lists_describe_the_file(self, name):
        data = (PNG_DIR / name).read_bytes()
        image = SimpleImage.open(data)
        assert image._png_chunks == [(t, None if t == b"IDAT" else d, len(d))
                                     for t, d in parse_png(data)]
        row = image.width * (4 if image._alpha is not None else 3) + 1
        assert image._png_filters == idat_stream(data)[::row]

    def test_trns_in_an_rgb_file_creates_no_alpha(self):
        with_trns = [name for name in accepted_pngs()
                     if b"tRNS" in [t for t, _ in parse_png((PNG_DIR / name).read_bytes())]]
        assert with_trns
        for name in with_trns:
            assert SimpleImage.open(PNG_DIR / name)._alpha is None

    @pytest.mark.parametrize("name", [name for name in png_names()
                                      if DAMAGE.get(name[:3]) != BAD_SIGNATURE])
    def test_name_codes_agree_with_the_headers(self, name):
        assert header_from_name(name) == ihdr_fields((PNG_DIR / name).read_bytes())


class TestBmpSuite:
    @pytest.mark.parametrize("name", bmp_names())
    def test_file_decodes_like_pillow_or_is_refused_for_its_reason(self, name):
        path = BMP_DIR / name
        opens_as_expected(path, expected_bmp(path.read_bytes()))
