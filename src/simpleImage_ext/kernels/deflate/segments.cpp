#include "kernels/deflate/segments.hpp"

#include <limits>

namespace kernels::deflate {
namespace {

constexpr std::uint32_t kNoEnd = std::numeric_limits<std::uint32_t>::max();

std::uint32_t parseEnd(const SegmentParse& segment) {
    return segment.last ? kNoEnd : segment.end;
}

// The parse of a worker: records its states near the start, stops at the end.
struct WorkerWatch {
    std::uint32_t end;
    std::uint32_t recordUntil;
    std::vector<RecordedState>& recorded;

    bool stop(const ParseState& state, std::uint32_t written) {
        if (state.position >= end) {
            return true;
        }
        if (state.position < recordUntil) {
            recorded.push_back({state, written});
        }
        return false;
    }
};

// The stitch: stops where the worker's parse was in the same state, at the
// segment's end, or when its buffer is full.
struct MeetingWatch {
    std::uint32_t end;
    std::uint32_t room;
    std::span<const RecordedState> recorded;
    std::size_t next = 0;
    bool met = false;

    bool stop(const ParseState& state, std::uint32_t written) {
        while (next < recorded.size() && recorded[next].state.position < state.position) {
            ++next;
        }
        if (next < recorded.size() && recorded[next].state == state) {
            met = true;
            return true;
        }
        return state.position >= end || written == room;
    }
};

}  // namespace

void parseSegment(std::span<const std::uint8_t> input, SegmentParse& segment) {
    segment.matcher = std::make_unique<LazyMatcher>(input);
    segment.matcher->startAt(ParseState{.position = segment.start});
    // One symbol per byte, those of a match across the end, the last literal.
    segment.symbols.resize(std::size_t{segment.end} - segment.start + kMaxMatch + 1);
    segment.recorded.clear();
    WorkerWatch watch{parseEnd(segment), segment.start + kRecordedSpan, segment.recorded};
    segment.symbols.resize(segment.matcher->parse(segment.symbols.data(), watch));
}

StitchedSegment stitch(LazyMatcher& truth, const SegmentParse& segment) {
    constexpr std::uint32_t kFirstRoom = 256;
    StitchedSegment stitched;
    const std::uint32_t arriving = truth.state().position;
    MeetingWatch watch{parseEnd(segment), kFirstRoom, segment.recorded};
    std::size_t written = 0;
    for (;;) {
        stitched.lead.resize(written + watch.room);
        written += truth.parse(stitched.lead.data() + written, watch);
        if (watch.met || truth.finished() || truth.state().position >= watch.end) {
            break;
        }
        watch.room *= 2;  // the buffer was full: parse on with more room
    }
    stitched.lead.resize(written);
    if (watch.met) {
        const RecordedState& meeting = segment.recorded[watch.next];
        stitched.adopted = std::span(segment.symbols).subspan(meeting.symbols);
        stitched.met = true;
        stitched.meetingDistance = meeting.state.position - arriving;
    }
    return stitched;
}

}  // namespace kernels::deflate
