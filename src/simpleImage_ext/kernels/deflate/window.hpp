// Where zlib's 64 KiB window stands during a parse.
//
// zlib reads the input into a window of twice kWindowSize bytes and moves it
// down by kWindowSize whenever, at the start of a loop iteration, fewer than
// kMinLookahead bytes are left ahead in it and the parse is at least
// kWindowSize + kMaxDistance bytes into it. Where it stands decides whether a
// block can still be stored (its bytes must be in the window) and, in one
// corner, which string counts as an empty chain (the window's first). Since
// the window moves by a fixed amount at thresholds fixed by the input's
// length, its start follows from the position of the loop iteration alone.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kernels/deflate/format.hpp"

namespace kernels::deflate {

// The input position of the window's first byte when zlib's loop starts an
// iteration at `position` of an input of `total` bytes.
constexpr std::uint64_t windowBase(std::uint64_t total, std::uint64_t position) {
    // While the input fills the window, it moves at the first iteration that
    // has fewer than kMinLookahead bytes left before the window's end.
    constexpr std::uint64_t kFullThreshold = kWindowSpan - kMinLookahead + 1;
    const std::uint64_t fullMoves = total >= kWindowSpan ? (total - kWindowSpan) / kWindowSize + 1 : 0;
    const std::uint64_t movesReached =
        position >= kFullThreshold ? (position - kFullThreshold) / kWindowSize + 1 : 0;
    if (movesReached < fullMoves) {
        return movesReached * kWindowSize;
    }
    // Once the input ends inside the window, a last move happens when the end
    // is near and the parse far enough into the window.
    const std::uint64_t base = fullMoves * kWindowSize;
    const std::uint64_t nearEnd = total >= kMinLookahead - 1 ? total - (kMinLookahead - 1) : 0;
    const std::uint64_t lastMove = std::max<std::uint64_t>(base + kWindowSize + kMaxDistance, nearEnd);
    return position >= lastMove ? base + kWindowSize : base;
}

}  // namespace kernels::deflate
