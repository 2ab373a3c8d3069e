"""A short tour of the image type: build an image, change pixels, copy it."""

from Corvane import SimpleImage


def main() -> None:
    width, height = 4, 3
    image = SimpleImage(width, height, bytes(width * height * 3))
    print(f"built a {image.size[0]}x{image.size[1]} image, all black")
    for x in range(width):
        image._putPixel((x, x % height), (255, 64 * x, 0))
    print("set a diagonal of pixels; row 0 now reads",
          [image._getPixel((x, 0)) for x in range(width)])
    copy = image._copy()
    copy._putPixel((0, 0), (1, 2, 3))
    print(f"a copy is independent: copy {copy._getPixel((0, 0))}, "
          f"original {image._getPixel((0, 0))}")


if __name__ == "__main__":
    main()
