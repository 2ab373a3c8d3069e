"""numpy arrays over an image's planes, and images made from arrays."""

import pytest

from Corvane import SimpleImage, alpha_array, from_arrays, pixels_array
from subprocesses import run_python

np = pytest.importorskip("numpy")


@pytest.fixture
def image():
    """A 3x2 RGBA image whose bytes are all different."""
    return SimpleImage(3, 2, bytes(range(18)), bytes(range(100, 106)))


class TestViews:
    def test_pixels_share_the_image_memory_both_ways(self, image):
        rgb = pixels_array(image)
        assert rgb.shape == (2, 3, 3) and rgb.dtype == np.uint8
        assert tuple(rgb[1, 2]) == image._getPixel((2, 1)) == (15, 16, 17)
        rgb[0, 1] = (7, 8, 9)
        assert image._getPixel((1, 0)) == (7, 8, 9)
        image._putPixel((2, 0), (1, 1, 1))
        assert tuple(rgb[0, 2]) == (1, 1, 1)

    def test_alpha_shares_the_image_memory(self, image):
        alpha = alpha_array(image)
        assert alpha.shape == (2, 3) and alpha[1, 0] == 103
        alpha[:, :] = 255
        assert image._alpha == bytearray(b"\xff" * 6)

    @pytest.mark.parametrize("change, message", [
        (lambda image: setattr(image, "width", 4), "the pixel buffer holds 18 bytes; a 4x2 "
                                                    "image needs 24"),
        (lambda image: setattr(image, "pixels", None), "the image has no pixel buffer"),
        (lambda image: setattr(image, "height", -2), "the image's size is negative: 3x-2"),
    ])
    def test_planes_that_do_not_fit_the_size_are_refused(self, image, change, message):
        change(image)
        with pytest.raises(ValueError) as raised:
            pixels_array(image)
        assert str(raised.value) == message

    def test_an_image_without_alpha_has_no_alpha_array(self):
        with pytest.raises(ValueError, match="the image has no alpha plane"):
            alpha_array(SimpleImage(1, 1, b"abc"))

    def test_an_empty_image_gives_empty_arrays(self):
        assert pixels_array(SimpleImage(0, 4, b"")).shape == (4, 0, 3)


class TestFromArrays:
    def test_arrays_become_an_image_that_saves_as_plain_png(self, image, tmp_path):
        made = from_arrays(pixels_array(image), alpha_array(image))
        assert (made.size, made.pixels, made._alpha) == (image.size, image.pixels, image._alpha)
        assert made._png_chunks is None and made._bmp_header is None
        made.save(str(tmp_path / "made.png"))
        again = SimpleImage.open(str(tmp_path / "made.png"))
        assert (again.pixels, again._alpha) == (image.pixels, image._alpha)

    def test_any_memory_layout_is_copied_in_order(self):
        rgb = np.arange(4 * 6 * 3, dtype=np.uint8).reshape(4, 6, 3)
        strided = rgb[::2, ::-3]
        made = from_arrays(strided)
        assert made.size == (2, 2)
        assert made.pixels == bytearray(np.ascontiguousarray(strided).tobytes())
        rgb[0, 5] = 0      # the image holds a copy
        assert made._getPixel((0, 0)) == (15, 16, 17)

    @pytest.mark.parametrize("rgb, alpha, error, message", [
        (np.zeros((2, 2, 3), np.float64), None, TypeError,
         "rgb must have dtype uint8, not float64"),
        (np.zeros((2, 2, 4), np.uint8), None, ValueError,
         r"rgb must have the shape \(height, width, 3\), not \(2, 2, 4\)"),
        (np.zeros(12, np.uint8), None, ValueError,
         r"rgb must have the shape \(height, width, 3\), not \(12,\)"),
        (np.zeros((2, 2, 3), np.uint8), np.zeros((2, 3), np.uint8), ValueError,
         r"alpha must have the shape of rgb's first two dimensions, \(2, 2\), not \(2, 3\)"),
        (np.zeros((2, 2, 3), np.uint8), np.zeros((2, 2), np.int32), TypeError,
         "alpha must have dtype uint8, not int32"),
    ])
    def test_wrong_dtypes_and_shapes_say_what_was_given(self, rgb, alpha, error, message):
        with pytest.raises(error, match=message):
            from_arrays(rgb, alpha)


def test_without_numpy_the_functions_say_how_to_get_it():
    out = run_python("""
        import sys
        sys.modules["numpy"] = None       # as if numpy were not installed
        import Corvane
        image = Corvane.SimpleImage(1, 1, b"abc")
        try:
            Corvane.pixels_array(image)
        except ImportError as error:
            print(error)
    """, prelude=False)
    assert out == ("Corvane's array functions need numpy: pip install numpy "
                   "(or the package's extra, Corvane[numpy])\n")
