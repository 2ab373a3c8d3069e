#include "kernels/crc32.hpp"

#include <array>

namespace kernels {
namespace {

constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

constexpr std::array<std::uint32_t, 256> byteTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) != 0 ? kReflectedPolynomial ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kByteTable = byteTable();

// The CRC register after `size` more bytes, one at a time: for what is left
// after the folded 16-byte blocks.
std::uint32_t advanceBytes(std::uint32_t state, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        state = kByteTable[(state ^ data[i]) & 0xFFu] ^ (state >> 8);
    }
    return state;
}

bool hasCarrylessMultiply() noexcept {
#if defined(SIMPLEIMAGE_X86_KERNELS)
    static const bool supported =
        __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return supported;
#else
    return false;
#endif
}

}  // namespace

std::optional<std::uint32_t> fastCrc32(std::uint32_t crc, const std::uint8_t* data,
                                       std::size_t size) noexcept {
    if (!hasCarrylessMultiply()) {
        return std::nullopt;
    }
    std::uint32_t state = ~crc;
#if defined(SIMPLEIMAGE_X86_KERNELS)
    if (size >= 64) {
        const std::size_t folded = size & ~std::size_t{15};
        state = x86::foldCrc32(state, data, folded);
        data += folded;
        size -= folded;
    }
#endif
    return ~advanceBytes(state, data, size);
}

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) noexcept {
    if (const auto fast = fastCrc32(crc, data, size)) {
        return *fast;
    }
    return ~advanceBytes(~crc, data, size);
}

}  // namespace kernels
