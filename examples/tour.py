"""A tour of the whole API of Corvane.simpleImage_ext, type-checked in the tests
with `mypy --strict`. Run it with an image path: python examples/tour.py in.png"""

import io
import sys
import tempfile
from pathlib import Path

from Corvane import simpleImage_ext
from Corvane.simpleImage_ext import SimpleImage


def invert_corner(image: SimpleImage, size: int) -> None:
    """Inverts the colours of the top-left `size` x `size` pixels."""
    width, height = image.size
    for y in range(min(size, height)):
        for x in range(min(size, width)):
            r, g, b = image._getPixel((x, y))
            image._putPixel((x, y), (255 - r, 255 - g, 255 - b))


def describe(image: SimpleImage) -> str:
    kind = "PNG" if image._png_chunks is not None else "BMP" if image._bmp_header else "raw"
    chunks = [t.decode("latin-1") for t, _, _ in image._png_chunks or []]
    return f"{kind} {image.width}x{image.height} alpha={image._alpha is not None} {chunks}"


def main(source: str) -> None:
    image = SimpleImage.open(source)                 # a str, a Path, bytes or an image
    same = SimpleImage.open(Path(source).read_bytes())
    assert same.pixels == image.pixels and SimpleImage.open(image) is image
    print(describe(image))

    edited = image._copy()
    invert_corner(edited, 8)
    with tempfile.TemporaryDirectory() as folder:
        target = str(Path(folder) / "edited")
        edited.save(target)                          # same format and layout as the source
        print(describe(SimpleImage.open(target)))

        # The writers and the chunk layer are plain module functions.
        plain = SimpleImage(2, 1, bytes([255, 0, 0, 0, 0, 255]), bytearray(b"\xff\x80"))
        simpleImage_ext._writePng(Path(folder) / "plain.png", plain.width, plain.height,
                                  bytearray(plain.pixels or b""), plain._alpha,
                                  bytearray([4]))
        simpleImage_ext._writeBmp(Path(folder) / "plain.bmp", 2, 1, plain.pixels or b"",
                                  {"xppm": 3780, "yppm": 3780})
        stream = io.BytesIO(Path(folder, "plain.png").read_bytes()[8:])
        chunk_type, data = simpleImage_ext._readChunk(stream)
        assert simpleImage_ext._makeChunk(chunk_type, data) == Path(
            folder, "plain.png").read_bytes()[8:8 + 12 + len(data)]
        print(chunk_type, simpleImage_ext._split_idat_payload(b"abcdef", [2, 2]))
        decoded = SimpleImage._streamToImage(io.BytesIO(Path(folder, "plain.bmp").read_bytes()))
        print("BMP header record:", decoded[6])


if __name__ == "__main__":
    main(sys.argv[1])
