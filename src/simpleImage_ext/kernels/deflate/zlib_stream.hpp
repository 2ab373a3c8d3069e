// zlib streams byte for byte as zlib 1.2.13 writes them for compress2 at level
// 6 (the interpreter's zlib.compress(data)): header, deflate blocks, Adler-32.
// On one thread, or on several: the parse split into segments (segments.hpp),
// the blocks encoded at the same time and then joined at their bit offsets. A
// pure kernel: no Python.h, no interpreter lock needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/deflate/pipeline.hpp"
#include "kernels/deflate/round_trip.hpp"
#include "kernels/thread_pool.hpp"

namespace kernels::deflate {

// Room that the compressors need for `size` input bytes: zlib's compressBound
// plus the bit writer's slack.
std::size_t streamCapacity(std::size_t size) noexcept;

// Compresses `in` into `out` (at least streamCapacity(in.size()) bytes) on the
// calling thread; returns the stream's length, or 0 when this kernel does not
// take the input (4 GiB or more, a stream that would not fit, no memory).
// `blocks`, when given, receives where each block starts and where the last
// one ends (what inflatesTo() needs to check the stream).
std::size_t compressSerially(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                             std::vector<BlockStart>* blocks = nullptr);

// As compressSerially, with the work split as `split` says and run on `pool`.
// The stream is the same for every split.
std::size_t compressInParallel(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                               ThreadPool& pool, Split split, StitchReport* report = nullptr,
                               std::vector<BlockStart>* blocks = nullptr);

// Inputs below this many bytes are compressed on the calling thread: splitting
// them costs more than it saves.
inline constexpr std::size_t kParallelThreshold = 256 * 1024;

// Compresses on `pool` when it has several threads and the input is large
// enough, else on the calling thread.
std::size_t compress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, ThreadPool& pool,
                     std::vector<BlockStart>* blocks = nullptr);

// Compresses on the process's pool and checks the stream by inflating it again
// (see round_trip.hpp): its length, or 0 when the kernel does not make one or
// the check fails, for whatever reason.
std::size_t compressChecked(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept;

}  // namespace kernels::deflate
