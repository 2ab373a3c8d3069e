"""Corvane: a small 8-bit RGB/RGBA image type with PNG and BMP codecs that keep
the source file's layout when an image is written back, and numpy arrays over
its planes (numpy optional)."""

from importlib.metadata import version

from Corvane.arrays import alpha_array, from_arrays, pixels_array
from Corvane.simpleImage_ext import SimpleImage

__version__: str = version("Corvane")
__all__ = ["SimpleImage", "__version__", "alpha_array", "from_arrays", "pixels_array"]
