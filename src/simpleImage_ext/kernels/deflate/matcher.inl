// The parse loop, inlined into each kind of caller with its own watch.
#pragma once

namespace kernels::deflate {

// zlib's hash of the three bytes at `bytes`.
inline std::uint32_t zlibHash(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << (2 * kHashShift) ^ std::uint32_t{bytes[1]} << kHashShift ^
            bytes[2]) &
           (kHashSize - 1);
}

// Both hashes of the string at a position that has four bytes, from one load:
// zlib's of its first three bytes (little-endian), another of all four.
struct StringHashes {
    std::uint32_t zlib;
    std::uint32_t word;
};

inline StringHashes stringHashes(const std::uint8_t* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    const std::uint32_t zlib =
        ((word & 0xff) << (2 * kHashShift) ^ (word >> 8 & 0xff) << kHashShift ^ (word >> 16 & 0xff)) &
        (kHashSize - 1);
    return {zlib, (word * 0x9e3779b1u) >> (32 - kWordHashBits)};
}

// Enters the string at `position` on its chains; returns their previous heads.
// Only a string of four bytes or more gets onto the chains of four bytes.
inline LazyMatcher::Heads LazyMatcher::insert(std::uint32_t position) {
    const std::uint8_t* bytes = input_.data() + position;
    if (input_.size() - position < 4) {
        return {zlibChains_.enter(position, zlibHash(bytes)), 0};
    }
    const StringHashes hashes = stringHashes(bytes);
    return {zlibChains_.enter(position, hashes.zlib), wordChains_.enter(position, hashes.word)};
}

// Enters the strings at positions [first, end), all with three bytes.
inline void LazyMatcher::insertRun(std::uint32_t first, std::uint32_t end) {
    const std::uint32_t zlibBase = zlibChains_.base();
    const std::uint32_t wordBase = wordChains_.base();
    const auto words = static_cast<std::uint32_t>(std::min<std::size_t>(end, input_.size() - 3));
    std::uint32_t position = first;
    for (; position < words; ++position) {
        const StringHashes hashes = stringHashes(input_.data() + position);
        zlibChains_.enter(position, hashes.zlib, zlibBase);
        wordChains_.enter(position, hashes.word, wordBase);
    }
    for (; position < end; ++position) {
        zlibChains_.enter(position, zlibHash(input_.data() + position), zlibBase);
    }
}

template <class Watch>
std::uint32_t LazyMatcher::parse(Symbol* out, Watch& watch) {
    Symbol* const first = out;
    ParseState state = state_;
    while (!watch.stop(state, static_cast<std::uint32_t>(out - first))) {
        if (state.position == input_.size()) {
            if (state.waiting) {
                *out++ = literalSymbol(input_[state.position - 1]);
                state.waiting = false;
            }
            finished_ = true;
            break;
        }
        parseAt(state, out);
    }
    state_ = state;
    return static_cast<std::uint32_t>(out - first);
}

// The chain's most recent string is a candidate up to kMaxDistance back.
inline bool LazyMatcher::mayMatch(std::uint32_t position, std::uint32_t head) const {
    const std::uint32_t distance = position - head;
    return distance < kMaxDistance || (distance == kMaxDistance && mayMatchAtWindowStart(position, head));
}

// One iteration of zlib's loop: the string at the position is entered and its
// longest match looked for; the match waiting from the previous position is
// taken unless this one is longer, else the waiting byte becomes a literal.
inline void LazyMatcher::parseAt(ParseState& state, Symbol*& out) {
    const auto total = static_cast<std::uint32_t>(input_.size());
    const std::uint32_t position = state.position;
    // This iteration enters strings up to the end of a match from the position before.
    zlibChains_.makeRoom(position + kMaxMatch);
    wordChains_.makeRoom(position + kMaxMatch);
    const Heads heads = total - position >= kMinMatch ? insert(position) : Heads{0, 0};
    const std::uint32_t previousLength = state.waitingLength;
    const std::uint32_t previousStart = state.waitingStart;
    std::uint32_t length = kMinMatch - 1;
    if (heads.zlib != 0 && previousLength < kMaxLazy && mayMatch(position, heads.zlib)) {
        length = longestMatch(position, heads, previousLength, state.waitingStart);
        if (length == kMinMatch && position - state.waitingStart > kTooFar) {
            length = kMinMatch - 1;
        }
    }
    if (previousLength >= kMinMatch && length <= previousLength) {
        *out++ = matchSymbol(position - 1 - previousStart, previousLength);
        // Every string inside the match is entered, as far as it has three bytes.
        const std::uint32_t end = position - 1 + previousLength;
        insertRun(position + 1, std::max(position + 1, std::min(end, total - (kMinMatch - 1))));
        state.position = end;
        state.waiting = false;
        state.waitingLength = kMinMatch - 1;
        return;
    }
    if (state.waiting) {
        *out++ = literalSymbol(input_[position - 1]);
    }
    state.waiting = true;
    state.waitingLength = length;
    state.position = position + 1;
}

}  // namespace kernels::deflate
