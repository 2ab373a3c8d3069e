// The reference kernels: the filters byte by byte, exactly as the PNG format
// defines them, for any pixel size, and the row copies as plain loops. Every
// faster kernel must produce the same bytes, and the faster filter kernels hand
// the bytes they do not cover (row heads and tails) to these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kernels::reference {

// Reconstructs bytes [from, n) of a row whose bytes before `from` are already
// in `out`. `previous` is the reconstructed row above, or nullptr for a row of
// zeros. `filtered` may be `out`. `filterType` must be 0..4.
void reconstructRange(int filterType, const std::uint8_t* filtered, const std::uint8_t* previous,
                      std::size_t bpp, std::uint8_t* out, std::size_t from,
                      std::size_t n) noexcept;

// Filters bytes [from, n) of a row for writing; the neighbours come from `raw`
// and `previous` (the raw row above, nullptr for zeros). `filterType` must be 0..4.
void filterRange(int filterType, const std::uint8_t* raw, const std::uint8_t* previous,
                 std::size_t bpp, std::uint8_t* out, std::size_t from, std::size_t n) noexcept;

// Filter type None in either direction: the row unchanged. `out` may be `in`
// or overlap it (a row rebuilt a few bytes below its filtered bytes).
void copyRow(const std::uint8_t* in, const std::uint8_t* previous, std::uint8_t* out,
             std::size_t n) noexcept;

void splitRgba(const std::uint8_t* rgba, std::size_t count, std::uint8_t* rgb,
               std::uint8_t* alpha) noexcept;
void mergeRgba(const std::uint8_t* rgb, const std::uint8_t* alpha, std::size_t count,
               std::uint8_t* rgba) noexcept;
void swapRedBlue(const std::uint8_t* in, std::size_t count, std::uint8_t* out) noexcept;

// Adler-32 byte by byte, as zlib.adler32(data, adler) computes it.
std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace kernels::reference
