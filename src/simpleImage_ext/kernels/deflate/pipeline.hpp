// The parallel route: segments parsed on several threads, stitched in order
// (segments.hpp), cut into zlib's blocks, encoded on several threads and joined
// at their bit offsets, with the checksum computed on the side. One scheduler
// hands these tasks to every thread that works on the stream, so that no
// thread waits for a phase to end: the stitch and the join, which must go in
// order, run as soon as their next piece is ready, while the other threads
// parse ahead and encode behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/deflate/round_trip.hpp"
#include "kernels/thread_pool.hpp"

namespace kernels::deflate {

// How the parallel route splits its work.
struct Split {
    unsigned ways;            // threads that work on the stream
    std::size_t segmentSize;  // input bytes per segment
};

// What the stitches did: for each segment after the first, how far the true
// parse went before it met the worker's, or -1 where it never did.
struct StitchReport {
    std::vector<std::int64_t> meetingDistances;
};

// The stream of `in` in `out` (room for streamCapacity(in.size()) bytes), its
// length, or 0 when memory ran out or the stream did not fit; where its blocks
// start into `blocks` when given.
std::size_t compressOnPool(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                           ThreadPool& pool, Split split, StitchReport* report,
                           std::vector<BlockStart>* blocks);

}  // namespace kernels::deflate
