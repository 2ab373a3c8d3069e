#include "kernels/deflate/round_trip.hpp"

#if defined(SIMPLEIMAGE_LIBDEFLATE)
#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <new>
#endif

namespace kernels::deflate {

#if defined(SIMPLEIMAGE_LIBDEFLATE)

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const noexcept {
        libdeflate_free_decompressor(decompressor);
    }
};

}  // namespace

const char* checkingInflaterName() noexcept { return "libdeflate " LIBDEFLATE_VERSION_STRING; }

bool inflatesTo(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> original) noexcept {
    // One per thread, made on first use: making one costs more than checking a small stream.
    thread_local const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    // One byte more than the original: a stream that inflates to more fails.
    const std::unique_ptr<std::uint8_t[]> inflated(new (std::nothrow) std::uint8_t[original.size() + 1]);
    if (decompressor == nullptr || inflated == nullptr) {
        return false;
    }
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const libdeflate_result result =
        libdeflate_zlib_decompress_ex(decompressor.get(), stream.data(), stream.size(), inflated.get(),
                                      original.size() + 1, &consumed, &produced);
    return result == LIBDEFLATE_SUCCESS && consumed == stream.size() && produced == original.size() &&
           (original.empty() || std::memcmp(inflated.get(), original.data(), original.size()) == 0);
}

#else

const char* checkingInflaterName() noexcept { return nullptr; }

bool inflatesTo(std::span<const std::uint8_t>, std::span<const std::uint8_t>) noexcept { return false; }

#endif

}  // namespace kernels::deflate
