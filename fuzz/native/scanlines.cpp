// Each input is an image's filtered scanline stream: the first two bytes give
// the channels (3 or 4) and the width (0 to 2047), the rest are the records of
// the rows (a filter-type byte, then the row), as many whole rows as there are.
// The scanline decoder must rebuild exactly what the reference kernels rebuild
// row by row, into separate planes and in place, and stop at the first filter
// type above 4; the scanline encoder must then give back the very stream. At
// every instruction-set level the row kernels must match the reference in both
// directions on these rows.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "expect.hpp"
#include "kernels/kernel_set.hpp"
#include "kernels/levels.hpp"
#include "kernels/reference.hpp"
#include "kernels/scanline_decoder.hpp"
#include "kernels/scanline_encoder.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Image {
    kernels::ScanlineLayout layout;
    std::span<const std::uint8_t> stream;  // whole records only

    std::size_t recordSize() const { return layout.stride() + 1; }
    std::uint8_t filterType(std::size_t row) const { return stream[row * recordSize()]; }
    const std::uint8_t* filtered(std::size_t row) const {
        return stream.data() + row * recordSize() + 1;
    }
};

Image imageOf(const std::uint8_t* data, std::size_t size) {
    const int channels = 3 + (data[0] & 1);
    const std::size_t width = data[1] | static_cast<std::size_t>((data[0] >> 1) & 7) << 8;
    const std::span<const std::uint8_t> records{data + 2, size - 2};
    const std::size_t height = records.size() / (width * channels + 1);
    const kernels::ScanlineLayout layout{width, height, channels};
    return {layout, records.first(layout.streamSize())};
}

// The rows that the reference kernels rebuild, as interleaved pixels, up to the
// first refused filter type.
struct Rebuilt {
    Bytes pixels;
    std::size_t rows = 0;
};

Rebuilt rebuildWithReference(const Image& image) {
    const std::size_t stride = image.layout.stride();
    Rebuilt rebuilt{Bytes(image.layout.height * stride)};
    for (; rebuilt.rows < image.layout.height; ++rebuilt.rows) {
        const std::size_t row = rebuilt.rows;
        const int type = image.filterType(row);
        if (type >= kernels::kFilterTypeCount) {
            break;
        }
        std::uint8_t* out = rebuilt.pixels.data() + row * stride;
        const std::uint8_t* above = row ? out - stride : nullptr;
        kernels::reference::reconstructRange(type, image.filtered(row), above,
                                             image.layout.channels, out, 0, stride);
    }
    return rebuilt;
}

struct Planes {
    Bytes rgb;
    Bytes alpha;
};

Planes planesOf(const Image& image, const Bytes& pixels) {
    const std::size_t count = image.layout.width * image.layout.height;
    Planes planes{Bytes(count * 3), Bytes(image.layout.channels == 4 ? count : 0)};
    if (image.layout.channels == 4) {
        kernels::reference::splitRgba(pixels.data(), count, planes.rgb.data(), planes.alpha.data());
    } else {
        planes.rgb = pixels;
    }
    return planes;
}

// The first `bytes` bytes of both are the same.
bool samePrefix(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                std::size_t bytes) {
    return std::equal(a.begin(), a.begin() + bytes, b.begin());
}

void checkDecoder(const Image& image, const Rebuilt& rebuilt, const Planes& expected) {
    const kernels::ScanlineLayout& layout = image.layout;
    const std::size_t pixels = layout.width * layout.height;
    const std::optional<std::size_t> refused =
        rebuilt.rows < layout.height ? std::optional(rebuilt.rows) : std::nullopt;
    const std::size_t rebuiltPixels = rebuilt.rows * layout.width;
    const bool rgba = layout.channels == 4;
    Bytes rgb(pixels * 3), alpha(rgba ? pixels : 0), filters(layout.height);
    Bytes scratch(rgba ? 2 * layout.stride() : 0);

    fuzz::expect(
        kernels::decodeScanlines(layout, image.stream, rgb, alpha, filters, scratch) == refused,
        "another row refused");
    fuzz::expect(samePrefix(rgb, expected.rgb, 3 * rebuiltPixels) &&
                     samePrefix(alpha, expected.alpha, rgba ? rebuiltPixels : 0),
                 "planes other than the reference's");
    for (std::size_t row = 0; row < rebuilt.rows; ++row) {
        fuzz::expect(filters[row] == image.filterType(row), "another filter type recorded");
    }

    Bytes inPlace(image.stream.begin(), image.stream.end());
    std::fill(alpha.begin(), alpha.end(), 0);
    fuzz::expect(
        kernels::decodeScanlines(layout, inPlace, inPlace, alpha, filters, scratch) == refused,
        "another row refused in place");
    fuzz::expect(samePrefix(inPlace, expected.rgb, 3 * rebuiltPixels) &&
                     samePrefix(alpha, expected.alpha, rgba ? rebuiltPixels : 0),
                 "planes other than the reference's, in place");

    if (!refused) {
        Bytes stream(layout.streamSize());
        kernels::encodeScanlines(layout.width, layout.height, layout.channels, rgb, alpha, filters,
                                 stream);
        fuzz::expect(std::equal(stream.begin(), stream.end(), image.stream.begin()),
                     "the encoder does not give the stream back");
    }
}

// Each level's kernels for the rows' filter types, both directions, against
// the reference rows.
void checkRowKernels(const Image& image, const Rebuilt& rebuilt) {
    static const std::vector<kernels::AvailableLevel> levels = kernels::availableLevels();
    const std::size_t stride = image.layout.stride();
    const int bppIndex = image.layout.channels - kernels::kFirstKernelBpp;
    const Bytes zeros(stride);
    Bytes out(stride);
    for (std::size_t row = 0; row < rebuilt.rows; ++row) {
        const int type = image.filterType(row);
        const std::uint8_t* raw = rebuilt.pixels.data() + row * stride;
        const std::uint8_t* above = row ? raw - stride : zeros.data();
        for (const kernels::AvailableLevel& available : levels) {
            available.set->reconstruct.byBpp[bppIndex][type](image.filtered(row), above, out.data(),
                                                             stride);
            fuzz::expect(std::equal(out.begin(), out.end(), raw), "a level's reconstruction");
            available.set->filter.byBpp[bppIndex][type](raw, above, out.data(), stride);
            fuzz::expect(std::equal(out.begin(), out.end(), image.filtered(row)),
                         "a level's filter");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return -1;
    }
    const Image image = imageOf(data, size);
    const Rebuilt rebuilt = rebuildWithReference(image);
    checkDecoder(image, rebuilt, planesOf(image, rebuilt.pixels));
    checkRowKernels(image, rebuilt);
    return 0;
}
