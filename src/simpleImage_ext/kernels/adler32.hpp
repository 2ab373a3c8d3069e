// Adler-32, the checksum of zlib streams, with the fastest kernel this
// processor runs. A pure kernel: no Python.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernels {

// The checksum of no bytes, where every stream's Adler-32 starts.
inline constexpr std::uint32_t kAdlerStart = 1;

// The Adler-32 of `size` bytes at `data`, continued from `adler` (1 to start),
// as zlib.adler32(data, adler) computes it.
std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept;

// The Adler-32 of A followed by B, from the checksum of A (continued from any
// start), that of B (started from 1) and the length of B.
std::uint32_t adler32Combine(std::uint32_t first, std::uint32_t second,
                             std::uint64_t secondLength) noexcept;

}  // namespace kernels
