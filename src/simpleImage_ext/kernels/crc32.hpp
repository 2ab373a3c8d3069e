// CRC-32 as the PNG format and zlib.crc32 define it (reflected polynomial
// 0xEDB88320, inverted before and after), by carry-less multiplication where
// the processor has it. A pure kernel: no Python.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kernels {

// The CRC of `size` bytes at `data`, continued from `crc` (0 to start), as
// zlib.crc32(data, crc) computes it; nothing when this processor has no
// carry-less multiplication, and the caller then asks zlib.
std::optional<std::uint32_t> fastCrc32(std::uint32_t crc, const std::uint8_t* data,
                                       std::size_t size) noexcept;

// The same value on any processor: byte by byte where there is no carry-less
// multiplication.
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) noexcept;

namespace x86 {
// The CRC register (not inverted) after folding `size` bytes, a multiple of 16
// and at least 64, into `state`. Needs PCLMULQDQ and SSE4.1.
std::uint32_t foldCrc32(std::uint32_t state, const std::uint8_t* data, std::size_t size) noexcept;
}  // namespace x86

}  // namespace kernels
