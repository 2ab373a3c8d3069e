#include "bindings/png/image_layout.hpp"

#include "bindings/png/refusal.hpp"
#include "capi/bytes.hpp"
#include "kernels/sizes.hpp"

namespace png {
namespace {

namespace sizes = kernels::sizes;

// Deflate codes at least 2 bits for a match of at most 258 bytes, so a byte of
// deflate data inflates to at most 1032 bytes.
constexpr std::int64_t kMostInflatedPerByte = 1032;

}  // namespace

std::optional<std::int64_t> Geometry::streamSize() const noexcept {
    return sizes::multiply(sizes::add(stride, 1), height);
}

void raiseMalformed() { raise(Refusal::malformedImageData); }

bool canCreatePlanes(const Geometry& geometry) {
    if (geometry.width >= 0 && geometry.height >= 0) {
        return true;
    }
    const std::optional<std::int64_t> noAlpha = 0;  // an RGB image has none
    const std::optional<std::int64_t> bufferSizes[] = {
        sizes::planeSize(geometry.width, geometry.height, 3),
        geometry.channels == 4 ? sizes::planeSize(geometry.width, geometry.height, 1) : noAlpha,
        geometry.height,
        geometry.stride,
    };
    for (const std::optional<std::int64_t> size : bufferSizes) {
        if (!py::newByteArray(size)) {
            return false;
        }
    }
    return true;
}

bool canInflateTo(std::size_t compressed, std::optional<std::int64_t> expected) noexcept {
    return expected && *expected / kMostInflatedPerByte <= static_cast<std::int64_t>(compressed);
}

}  // namespace png
