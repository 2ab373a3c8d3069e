#include "kernels/inflate.hpp"

#if defined(SIMPLEIMAGE_LIBDEFLATE)
#include <libdeflate.h>

#include <memory>
#endif

namespace kernels {

#if defined(SIMPLEIMAGE_LIBDEFLATE)

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const noexcept {
        libdeflate_free_decompressor(decompressor);
    }
};

// One decompressor per thread, made on first use and kept: making one costs
// more than inflating a small image.
libdeflate_decompressor* threadDecompressor() noexcept {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace

const char* inflaterName() noexcept { return "libdeflate " LIBDEFLATE_VERSION_STRING; }

bool inflateExactly(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
    libdeflate_decompressor* decompressor = threadDecompressor();
    if (decompressor == nullptr) {
        return false;
    }
    // Without a place for the output size, libdeflate succeeds only when the
    // stream fills `out` exactly.
    std::size_t consumed = 0;
    const libdeflate_result result = libdeflate_zlib_decompress_ex(
        decompressor, in.data(), in.size(), out.data(), out.size(), &consumed, nullptr);
    return result == LIBDEFLATE_SUCCESS && consumed == in.size();
}

#else

const char* inflaterName() noexcept { return nullptr; }

bool inflateExactly(std::span<const std::uint8_t>, std::span<std::uint8_t>) noexcept {
    return false;
}

#endif

}  // namespace kernels
