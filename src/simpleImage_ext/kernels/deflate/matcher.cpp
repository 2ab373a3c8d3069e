#include "kernels/deflate/matcher.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernels/deflate/window.hpp"

namespace kernels::deflate {
namespace {

std::uint64_t load64(const std::uint8_t* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

std::uint32_t load32(const std::uint8_t* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

std::uint16_t load16(const std::uint8_t* bytes) {
    std::uint16_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// How many of the first `limit` bytes of `a` and `b` agree. With `wide`, both
// may be read in whole 8-byte words up to 8 bytes past `limit`.
std::uint32_t commonLength(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit,
                           bool wide) {
    std::uint32_t length = 0;
    if (wide) {
        for (; length < limit; length += 8) {
            if (const std::uint64_t difference = load64(a + length) ^ load64(b + length)) {
                length += static_cast<std::uint32_t>(std::countr_zero(difference)) / 8;
                return std::min(length, limit);
            }
        }
        return limit;
    }
    while (length < limit && a[length] == b[length]) {
        ++length;
    }
    return length;
}

}  // namespace

void LazyMatcher::startAt(const ParseState& state) {
    const auto total = static_cast<std::uint32_t>(input_.size());
    const std::uint32_t first = state.position > kWindowSize ? state.position - kWindowSize : 0;
    zlibChains_.clear(first);
    wordChains_.clear(first);
    // The history lies within kWindowSize of the base: no room to make.
    insertRun(first, std::max(first, std::min(state.position, total >= kMinMatch ? total - (kMinMatch - 1) : 0)));
    state_ = state;
    finished_ = false;
}

// A head exactly kMaxDistance back is a candidate unless it is the window's
// first byte, which zlib cannot tell from an empty chain: that can happen only
// right after the window moved near the end.
bool LazyMatcher::mayMatchAtWindowStart(std::uint32_t position, std::uint32_t head) const {
    return head != windowBase(input_.size(), position);
}

// zlib's longest_match: walks the chain from its head, most recent first, for
// a match longer than `previousLength`, and sets `start` to the first longest
// one. A candidate must agree with the string at its first two bytes
// and at the current best length before it is compared in full (its third
// byte agrees through the hash). Later candidates must be closer than
// kMaxDistance, and at most `chain` are looked at.
//
// Once the best match has three bytes, a longer one needs four, so the search
// goes on along the chain of the string's first four bytes instead, which
// passes over candidates zlib would reject; a candidate's place on zlib's chain
// tells whether zlib would have got that far.
std::uint32_t LazyMatcher::longestMatch(std::uint32_t position, Heads heads,
                                        std::uint32_t previousLength, std::uint32_t& start) {
    const auto total = static_cast<std::uint32_t>(input_.size());
    const std::uint32_t lookahead = total - position;
    const std::uint32_t limit = std::min(kMaxMatch, lookahead);
    std::uint32_t best = previousLength;
    if (best >= limit) {
        return std::min(best, lookahead);  // nothing here can be longer
    }
    const std::uint32_t nice = std::min(kNiceLength, lookahead);
    const std::uint32_t oldest = position > kMaxDistance ? position - kMaxDistance : 0;
    const std::uint32_t chain = previousLength >= kGoodLength ? kMaxChain >> 2 : kMaxChain;
    const bool wide = lookahead >= kMaxMatch + 8;
    const std::uint8_t* const data = input_.data();
    const std::uint8_t* const scan = data + position;
    const std::uint16_t scanStart = load16(scan);
    std::uint16_t scanEnd = load16(scan + best - 1);
    // Compares a candidate that passed the first test; false once the match
    // is long enough to stop.
    const auto improve = [&](std::uint32_t candidate) {
        const std::uint32_t length = commonLength(scan, data + candidate, limit, wide);
        if (length > best) {
            start = candidate;
            best = length;
            if (length >= nice) {
                return false;
            }
            scanEnd = load16(scan + best - 1);
        }
        return true;
    };

    std::uint32_t candidate = heads.zlib;
    for (std::uint32_t looked = 1;; ++looked) {
        const std::uint8_t* const match = data + candidate;
        if (load16(match + best - 1) == scanEnd && load16(match) == scanStart &&
            !improve(candidate)) {
            return std::min(best, lookahead);
        }
        if (best >= kMinMatch) {
            break;
        }
        if (looked == chain || !zlibChains_.follow(candidate, oldest)) {
            return std::min(best, lookahead);
        }
    }
    if (best >= limit) {
        return std::min(best, lookahead);
    }

    // Only a candidate that agrees in four bytes can be longer, and only such a
    // one is sure to be on the same zlib chain, where its place is compared.
    // Places only fall along the chain, so they are looked up for the
    // candidates that would be compared and for every eighth of the others, to
    // end the walk about where zlib's ends.
    const std::uint32_t scanWord = load32(scan);
    const std::uint32_t below = candidate;
    std::uint32_t sinceLookup = 0;
    for (candidate = heads.word; candidate > oldest;) {
        const std::uint8_t* const match = data + candidate;
        if (candidate < below && load32(match) == scanWord) {
            const bool compared = load16(match + best - 1) == scanEnd;
            if ((compared || ++sinceLookup % 8 == 0) &&
                zlibChains_.placesBetween(heads.zlib, candidate) >= chain) {
                break;
            }
            if (compared && !improve(candidate)) {
                break;
            }
        }
        if (!wordChains_.follow(candidate, oldest)) {
            break;
        }
    }
    return std::min(best, lookahead);
}

}  // namespace kernels::deflate
