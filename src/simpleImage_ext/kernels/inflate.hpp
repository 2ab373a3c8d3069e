// Whole-buffer inflating of a zlib stream whose inflated size is known, with
// the build's fast inflater (libdeflate) when it has one. A pure kernel: no
// Python.h, and nothing it does needs the interpreter's lock.
#pragma once

#include <cstdint>
#include <span>

namespace kernels {

// The inflater this build was made with, as "libdeflate 1.14", or nullptr
// when it has none and every stream goes through the interpreter's zlib.
const char* inflaterName() noexcept;

// Inflates the zlib stream `in` into `out`. True only for a clean result: a
// complete stream with a valid header and checksum that fills `out` exactly and
// ends exactly at the end of `in`. Anything else (no inflater in this build,
// bad data, a stream too short or too long, trailing bytes, no memory for the
// inflater's state) is false, and `out` holds unspecified bytes. Safe to call
// from several threads at once.
bool inflateExactly(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept;

}  // namespace kernels
