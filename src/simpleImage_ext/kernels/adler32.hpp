// Adler-32, the checksum of zlib streams, with the fastest kernel this
// processor runs. A pure kernel: no Python.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernels {

// The Adler-32 of `size` bytes at `data`, continued from `adler` (1 to start),
// as zlib.adler32(data, adler) computes it.
std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace kernels
