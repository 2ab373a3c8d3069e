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
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "kernels/deflate/format.hpp"

namespace kernels::deflate {

// The parse between two positions: the next position to look at, and whether
// the byte before it waits (zlib's match_available) with the match found there
// (its match_length and match_start). When nothing waits, zlib's match length
// is always kMinMatch - 1.
inline constexpr std::uint32_t kWordHashBits = 15;
inline constexpr std::uint32_t kWordHashSize = 1u << kWordHashBits;

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

// Chains of earlier positions that share a hash: the most recent position of
// each hash and, for each position of the last 32 KiB, the distance back to
// the previous one with its hash (kWindowSize for none or farther). 16-bit
// offsets keep the tables as small as zlib's: heads count from a base that
// moves up by kWindowSize when positions outgrow them, and entries that old
// become 0, which reads as the base itself. Until the base first moves that is
// position 0, which zlib, too, takes for an empty chain; once it has moved,
// the base is always farther back than any match reaches.
//
// With `countsPlaces`, each position also gets its place on its chain, one
// more than the position before it (modulo 2^16), kept in the head entry so
// that entering a position touches one entry. Places tell how far apart two
// positions of a chain are without walking it; where the chain before a
// position is out of reach, the count starts anew, and no candidate beyond
// that gap is ever compared with one after it.
template <std::uint32_t hashSize, bool countsPlaces>
class HashChains {
public:
    // Starts with every chain empty; the other entries are written before
    // they are read.
    HashChains() { clear(0); }

    void clear(std::uint32_t base) {
        head_.fill(0);
        base_ = base;
    }

    // Makes room for entering the positions up to `last`, which must lie
    // within kWindowSize of every position entered after the last call.
    void makeRoom(std::uint32_t last) {
        if (last - base_ > kOffsetMask) {
            slide();
        }
    }

    // Enters `position` on the chain of `hash`; returns the chain's previous
    // head (0 or out of reach for none).
    std::uint32_t enter(std::uint32_t position, std::uint32_t hash) {
        const Head stored = head_[hash];
        const std::uint32_t previousHead = base_ + (stored & kOffsetMask);
        const std::uint32_t distance = position - previousHead;
        const std::uint32_t slot = position & (kWindowSize - 1);
        previous_[slot] = static_cast<std::uint16_t>(distance < kWindowSize ? distance : kWindowSize);
        if constexpr (countsPlaces) {
            const auto place = static_cast<std::uint16_t>((stored >> 16) + 1);
            places_[slot] = place;
            head_[hash] = std::uint32_t{place} << 16 | (position - base_);
        } else {
            head_[hash] = static_cast<Head>(position - base_);
        }
        return previousHead;
    }

    // The next position down the chain from `position`, if it is above `oldest`.
    bool follow(std::uint32_t& position, std::uint32_t oldest) const {
        const std::uint32_t step = previous_[position & (kWindowSize - 1)];
        if (step >= position - oldest) {
            return false;
        }
        position -= step;
        return true;
    }

    // How many positions of its chain lie between `earlier` and `later`
    // (`later` excluded), for two positions of one chain within reach.
    std::uint16_t placesBetween(std::uint32_t later, std::uint32_t earlier) const
        requires countsPlaces {
        return static_cast<std::uint16_t>(places_[later & (kWindowSize - 1)] -
                                          places_[earlier & (kWindowSize - 1)]);
    }

private:
    using Head = std::conditional_t<countsPlaces, std::uint32_t, std::uint16_t>;
    static constexpr std::uint32_t kOffsetMask = 0xffff;
    struct NoPlaces {};

    void slide() {
        base_ += kWindowSize;
        for (Head& entry : head_) {
            const std::uint32_t offset = entry & kOffsetMask;
            entry = static_cast<Head>((entry & ~Head{kOffsetMask}) |
                                      (offset >= kWindowSize ? offset - kWindowSize : 0));
        }
    }

    std::array<Head, hashSize> head_;
    std::array<std::uint16_t, kWindowSize> previous_;
    [[no_unique_address]] std::conditional_t<countsPlaces, std::array<std::uint16_t, kWindowSize>,
                                             NoPlaces> places_;
    std::uint32_t base_ = 0;
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
    // Whether the parse reached the end of the input and wrote its last symbol.
    bool finished() const { return finished_; }

private:
    struct Heads {
        std::uint32_t zlib;  // on zlib's chain: the first candidate
        std::uint32_t word;  // on the chain of the same four bytes
    };

    [[gnu::always_inline]] Heads insert(std::uint32_t position);
    std::uint32_t longestMatch(std::uint32_t position, Heads heads, std::uint32_t previousLength);
    bool mayMatch(std::uint32_t position, std::uint32_t head) const;
    void parseAt(Symbol*& out);

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
