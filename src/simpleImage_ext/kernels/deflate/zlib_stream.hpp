// zlib streams byte for byte as zlib 1.2.13 writes them for compress2 at level
// 6 (the interpreter's zlib.compress(data)): header, deflate blocks, Adler-32.
// A pure kernel: no Python.h, no interpreter lock needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kernels::deflate {

// Room that compress() needs for `size` input bytes: zlib's compressBound
// plus the bit writer's slack.
std::size_t streamCapacity(std::size_t size) noexcept;

// Compresses `in` into `out` (at least streamCapacity(in.size()) bytes) on the
// calling thread; returns the stream's length, or 0 when this kernel does not
// take the input (4 GiB or more, or a stream that would not fit).
std::size_t compressSerially(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace kernels::deflate
