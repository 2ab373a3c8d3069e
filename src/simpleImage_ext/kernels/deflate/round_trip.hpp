// The check that no data is lost through the deflate kernel: a stream it made
// is inflated again, by an inflater written by others (the system's
// libdeflate), and compared with what was compressed.
#pragma once

#include <cstdint>
#include <span>

namespace kernels::deflate {

// The inflater that checks streams, as "libdeflate 1.14", or nullptr when this
// build has none (and no stream can be checked).
const char* checkingInflaterName() noexcept;

// Whether `stream` is a complete zlib stream that inflates to exactly
// `original`, nothing before or after. False when this build has no inflater
// or memory runs out.
bool inflatesTo(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> original) noexcept;

}  // namespace kernels::deflate
