// zlib's level-6 parse: hash chains over every position of the input, the
// longest match among at most 128 candidates, and lazy evaluation (a match is
// taken only if the next position has no longer one).
//
// What the parse decides at a position depends only on the input, the 32 KiB
// before the position and a small state: whether the byte before it still
// waits for a decision and, if so, the match found there. zlib keeps the input
// in a 64 KiB window that moves down by 32 KiB as the parse advances; where the
// window stands matters for two decisions only, and follows from the position
// (see window.hpp). The matcher therefore works on the whole input in place,
// with positions counted from its start.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "kernels/deflate/format.hpp"
#include "kernels/deflate/hash_chains.hpp"

namespace kernels::deflate {

// The parse between two positions: the next position to look at, and whether
// the byte before it waits (zlib's match_available) with the match found there
// (its match_length and match_start). When nothing waits, zlib's match length
// is always kMinMatch - 1.
struct ParseState {
    std::uint32_t position = 0;
    bool waiting = false;
    std::uint32_t waitingLength = kMinMatch - 1;
    std::uint32_t waitingStart = 0;

    // Equal states parse the rest of the input alike. The match start counts
    // only with a match long enough to be taken.
    bool operator==(const ParseState& other) const {
        return position == other.position && waiting == other.waiting &&
               (!waiting || (waitingLength == other.waitingLength &&
                             (waitingLength < kMinMatch || waitingStart == other.waitingStart)));
    }
};

class LazyMatcher {
public:
    explicit LazyMatcher(std::span<const std::uint8_t> input) : input_(input) {}

    // Forgets every string, then enters those of the window before
    // `state.position`, as zlib's tables hold them when it gets there.
    void startAt(const ParseState& state);

    // Parses on from the current state, writing symbols to `out`, until
    // `watch.stop(state, symbolsWritten)` answers true at a position (asked at
    // every position where zlib's loop starts an iteration) or the input ends.
    // At the end, the waiting byte is written as a literal. Returns the number
    // of symbols written; `out` must have room for one per input byte parsed
    // and one more.
    template <class Watch>
    std::uint32_t parse(Symbol* out, Watch& watch);

    const ParseState& state() const { return state_; }
    // How far the symbols written so far reach into the input.
    std::uint32_t parsed() const { return state_.position - (state_.waiting ? 1 : 0); }
    // Whether the parse reached the end of the input and wrote its last symbol.
    bool finished() const { return finished_; }

private:
    struct Heads {
        std::uint32_t zlib;  // on zlib's chain: the first candidate
        std::uint32_t word;  // on the chain of the same four bytes
    };

    [[gnu::always_inline]] Heads insert(std::uint32_t position);
    void insertRun(std::uint32_t first, std::uint32_t end);
    // Sets `start` to the match's start when it finds a longer one.
    std::uint32_t longestMatch(std::uint32_t position, Heads heads, std::uint32_t previousLength,
                               std::uint32_t& start);
    bool mayMatch(std::uint32_t position, std::uint32_t head) const;
    bool mayMatchAtWindowStart(std::uint32_t position, std::uint32_t head) const;
    // The state is a copy of the member's for the length of a parse, so that
    // writing symbols does not make the compiler store and reload it.
    [[gnu::always_inline]] void parseAt(ParseState& state, Symbol*& out);

    std::span<const std::uint8_t> input_;
    ParseState state_;
    bool finished_ = false;
    // zlib's chains, over its hash of three bytes: their order and length
    // decide the matches.
    HashChains<kHashSize, true> zlibChains_;
    // A shortcut: chains over a hash of four bytes. Once a match of three bytes
    // is found, only candidates that agree in four can be longer, and these
    // chains skip the others.
    HashChains<kWordHashSize, false> wordChains_;
};

}  // namespace kernels::deflate

#include "kernels/deflate/matcher.inl"
