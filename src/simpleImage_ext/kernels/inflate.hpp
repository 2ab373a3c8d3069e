// Whole-buffer inflating of a zlib stream whose inflated size is known, with
// the module's own inflater, which refuses exactly the streams that the
// interpreter's zlib refuses. A pure kernel: no Python.h, and nothing it does
// needs the interpreter's lock.
#pragma once

#include <cstdint>
#include <span>

#include "kernels/levels.hpp"

namespace kernels {

// The inflater's name, as the build information gives it.
const char* inflaterName() noexcept;

// Inflates the zlib stream `in` into `out`. True only for a clean result: a
// complete stream with a valid header and checksum that fills `out` exactly and
// ends exactly at the end of `in`. Anything else (a stream that zlib refuses,
// one too short or too long, trailing bytes) is false, and `out` holds
// unspecified bytes. Every stream that zlib.decompress refuses is false here.
// Safe to call from several threads at once.
bool inflateExactly(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept;

// The same with the instructions of `level`, which this processor must have
// (see levels.hpp): for tests and benchmarks. The one above uses the best level.
bool inflateExactly(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                    Level level) noexcept;

}  // namespace kernels
