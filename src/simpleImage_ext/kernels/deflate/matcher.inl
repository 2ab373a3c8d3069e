// The parse loop, inlined into each kind of caller with its own watch.
#pragma once

namespace kernels::deflate {

// zlib's hash of the three bytes at `bytes`.
inline std::uint32_t zlibHash(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << (2 * kHashShift) ^ std::uint32_t{bytes[1]} << kHashShift ^
            bytes[2]) &
           (kHashSize - 1);
}

// A hash of the four bytes at `bytes`.
inline std::uint32_t wordHash(const std::uint8_t* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return (word * 0x9e3779b1u) >> (32 - kWordHashBits);
}

// Enters the string at `position` on its chains; returns their previous heads.
inline LazyMatcher::Heads LazyMatcher::insert(std::uint32_t position) {
    const std::uint8_t* bytes = input_.data() + position;
    Heads heads{zlibChains_.enter(position, zlibHash(bytes)), 0};
    if (input_.size() - position >= 4) {
        heads.word = wordChains_.enter(position, wordHash(bytes));
    }
    return heads;
}

template <class Watch>
std::uint32_t LazyMatcher::parse(Symbol* out, Watch& watch) {
    Symbol* const first = out;
    while (!watch.stop(state_, static_cast<std::uint32_t>(out - first))) {
        if (state_.position == input_.size()) {
            if (state_.waiting) {
                *out++ = literalSymbol(input_[state_.position - 1]);
                state_.waiting = false;
            }
            finished_ = true;
            break;
        }
        parseAt(out);
    }
    return static_cast<std::uint32_t>(out - first);
}

// One iteration of zlib's loop: the string at the position is entered and its
// longest match looked for; the match waiting from the previous position is
// taken unless this one is longer, else the waiting byte becomes a literal.
inline void LazyMatcher::parseAt(Symbol*& out) {
    const auto total = static_cast<std::uint32_t>(input_.size());
    const std::uint32_t position = state_.position;
    // This iteration enters strings up to the end of a match from the position before.
    zlibChains_.makeRoom(position + kMaxMatch);
    wordChains_.makeRoom(position + kMaxMatch);
    const Heads heads = total - position >= kMinMatch ? insert(position) : Heads{0, 0};
    const std::uint32_t previousLength = state_.waitingLength;
    const std::uint32_t previousStart = state_.waitingStart;
    std::uint32_t length = kMinMatch - 1;
    if (heads.zlib != 0 && previousLength < kMaxLazy && mayMatch(position, heads.zlib)) {
        length = longestMatch(position, heads, previousLength);
        if (length == kMinMatch && position - state_.waitingStart > kTooFar) {
            length = kMinMatch - 1;
        }
    }
    if (previousLength >= kMinMatch && length <= previousLength) {
        *out++ = matchSymbol(position - 1 - previousStart, previousLength);
        // Every string inside the match is entered, as far as it has three bytes.
        const std::uint32_t end = position - 1 + previousLength;
        const std::uint32_t lastString = std::min(end, total - (kMinMatch - 1));
        for (std::uint32_t string = position + 1; string < lastString; ++string) {
            insert(string);
        }
        state_.position = end;
        state_.waiting = false;
        state_.waitingLength = kMinMatch - 1;
        return;
    }
    if (state_.waiting) {
        *out++ = literalSymbol(input_[position - 1]);
    }
    state_.waiting = true;
    state_.waitingLength = length;
    state_.position = position + 1;
}

}  // namespace kernels::deflate
