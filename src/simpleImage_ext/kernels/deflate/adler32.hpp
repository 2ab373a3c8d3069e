// Adler-32, the checksum that ends a zlib stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernels::deflate {

inline constexpr std::uint32_t kAdlerStart = 1;

// The checksum of `size` bytes at `data`, continued from `adler`; with 32-byte
// vectors where the processor has them.
std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept;

// The same, a byte at a time.
std::uint32_t adler32Scalar(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept;

namespace x86 {
// Needs AVX2.
std::uint32_t adler32Avx2(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept;
}  // namespace x86

// Two checksums joined: that of A followed by B, from those of A and of B and
// the length of B.
std::uint32_t adler32Combine(std::uint32_t first, std::uint32_t second,
                             std::uint64_t secondLength) noexcept;

}  // namespace kernels::deflate
