"""numpy arrays over an image's planes, and images made from arrays. numpy is
optional: it is imported when one of these functions is first called."""

from __future__ import annotations

from types import ModuleType
from typing import TYPE_CHECKING

from Corvane.simpleImage_ext import SimpleImage

if TYPE_CHECKING:
    import numpy
    from numpy.typing import ArrayLike, NDArray


def _numpy() -> ModuleType:
    try:
        import numpy
    except ImportError as error:
        raise ImportError("Corvane's array functions need numpy: pip install numpy "
                          "(or the package's extra, Corvane[numpy])") from error
    return numpy


def _plane_view(plane: object, name: str, image: SimpleImage,
                channels: int) -> NDArray[numpy.uint8]:
    """A plane of the image as an array of shape (height, width[, channels])
    over the plane's own memory."""
    np = _numpy()
    width, height = image.size
    if plane is None:
        raise ValueError(f"the image has no {name}")
    if width < 0 or height < 0:
        raise ValueError(f"the image's size is negative: {width}x{height}")
    shape = (height, width, channels) if channels > 1 else (height, width)
    array: NDArray[numpy.uint8] = np.frombuffer(plane, np.uint8)
    if array.size != width * height * channels:
        raise ValueError(f"the {name} holds {array.size} bytes; a {width}x{height} image "
                         f"needs {width * height * channels}")
    return array.reshape(shape)


def pixels_array(image: SimpleImage) -> NDArray[numpy.uint8]:
    """The image's pixels as an array of shape (height, width, 3) and dtype
    uint8 that shares the image's memory: writing to the array changes the
    image, without a copy either way. The array keeps the buffer it was made
    from; assigning another buffer to `image.pixels` leaves it behind."""
    return _plane_view(image.pixels, "pixel buffer", image, 3)


def alpha_array(image: SimpleImage) -> NDArray[numpy.uint8]:
    """The image's alpha plane as an array of shape (height, width) and dtype
    uint8 that shares the image's memory, like `pixels_array`. ValueError for
    an image without alpha."""
    return _plane_view(image._alpha, "alpha plane", image, 1)


def _uint8(array: ArrayLike, name: str, shape: str) -> NDArray[numpy.uint8]:
    np = _numpy()
    checked: NDArray[numpy.uint8] = np.asarray(array)
    if checked.dtype != np.uint8:
        raise TypeError(f"{name} must have dtype uint8, not {checked.dtype}: convert it "
                        f"first, for example with {name}.clip(0, 255).astype(numpy.uint8)")
    if checked.ndim != len(shape.split(",")):
        raise ValueError(f"{name} must have the shape {shape}, not {checked.shape}")
    return checked


def from_arrays(rgb: ArrayLike, alpha: ArrayLike | None = None) -> SimpleImage:
    """A new image from an array of shape (height, width, 3) and, for an image
    with alpha, one of shape (height, width), both of dtype uint8. The image
    holds copies; it has no side data, so it saves as a plain PNG."""
    np = _numpy()
    pixels = _uint8(rgb, "rgb", "(height, width, 3)")
    height, width, channels = pixels.shape
    if channels != 3:
        raise ValueError(f"rgb must have the shape (height, width, 3), not {pixels.shape}")
    plane = None
    if alpha is not None:
        plane = _uint8(alpha, "alpha", "(height, width)")
        if plane.shape != (height, width):
            raise ValueError(f"alpha must have the shape of rgb's first two dimensions, "
                             f"{(height, width)}, not {plane.shape}")
        plane = np.ascontiguousarray(plane).reshape(-1)
    return SimpleImage(width, height, np.ascontiguousarray(pixels).reshape(-1), plane)
