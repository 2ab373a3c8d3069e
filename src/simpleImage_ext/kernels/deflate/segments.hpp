// The parse split into segments that workers parse at the same time, and
// stitched back into the one parse that zlib makes.
//
// A worker parses its segment with the 32 KiB before it entered in its chains,
// so every candidate it meets is the one zlib meets. It cannot know the state
// the parse arrives in, so it starts as if nothing waited, and records the
// state at each position where its loop starts, for a while. The stitch then
// carries the true parse from the segment before across the boundary, until it
// reaches a position where the worker's parse was in the same state: from
// there both are the same parse, and the worker's symbols are taken. Where
// they never meet (a long run, periodic data), the stitch parses the whole
// segment itself, which is still exact.
//
// The true parse is carried by the matcher that made it: a worker's matcher
// once its segment was taken, else the one that stitched. Its chains hold
// every string before its position, as zlib's do, so the stitch enters none.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kernels/deflate/format.hpp"
#include "kernels/deflate/matcher.hpp"

namespace kernels::deflate {

// The span at the start of a segment over which the worker records its states.
inline constexpr std::uint32_t kRecordedSpan = 16384;

struct RecordedState {
    ParseState state;
    std::uint32_t symbols;  // written before it
};

// A worker's parse of input positions [start, end): it ends at the first
// position at or after `end` where its loop starts, or at the input's end when
// the segment is the last.
struct SegmentParse {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    bool last = false;
    SymbolBuffer symbols;
    std::vector<RecordedState> recorded;
    std::unique_ptr<LazyMatcher> matcher;  // where the worker's parse ended
};

// Parses `segment` (start, end and last set) of `input` on the calling thread.
void parseSegment(std::span<const std::uint8_t> input, SegmentParse& segment);

// The true parse of one segment: the stitch's own symbols, then the worker's
// from the meeting on, if they met.
struct StitchedSegment {
    SymbolBuffer lead;
    std::span<const Symbol> adopted;
    bool met = false;
    std::uint32_t meetingDistance = 0;  // how far the stitch parsed before it met
};

// Carries the true parse, which `truth` has made up to a position in
// `segment`, on through the segment. Afterwards the true parse goes on with
// the worker's matcher if they met, else with `truth`.
StitchedSegment stitch(LazyMatcher& truth, const SegmentParse& segment);

}  // namespace kernels::deflate
