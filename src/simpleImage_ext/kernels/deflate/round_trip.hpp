// The check that no data is lost through the deflate kernel: a stream it made
// is inflated again, by an inflater written by others (the system's
// libdeflate), and compared with what was compressed.
//
// The stream is checked in pieces, on several threads and with bounded memory:
// each piece is a run of whole blocks, handed to libdeflate as a raw deflate
// stream of its own that first gives the 32 KiB of input before the piece as a
// stored block, so that every match of the piece finds the bytes it copies.
// Each piece's bits are taken unchanged, at their place modulo 8 (stored blocks
// align to bytes), and must inflate to exactly the piece's input, ending
// exactly where the next piece starts. The pieces cover the stream from its
// header to the last block, which alone may end it; the header and the Adler-32
// trailer (computed by libdeflate) are compared as well.
#pragma once

#include <cstdint>
#include <span>

#include "kernels/thread_pool.hpp"

namespace kernels::deflate {

// Where a block starts: its first bit, counted from the start of the deflate
// data (after the zlib header), and its first input byte.
struct BlockStart {
    std::uint64_t bit;
    std::uint64_t input;
};

// The inflater that checks streams, as "libdeflate 1.14", or nullptr when this
// build has none (and no stream can be checked).
const char* checkingInflaterName() noexcept;

// Input bytes per piece, at least: pieces start where a block starts.
inline constexpr std::uint64_t kCheckedPiece = 2u << 20;

// Whether the zlib stream `stream`, whose blocks start at `blocks` (followed by
// where the last one ends and the input's size), inflates to exactly
// `original`, checked in pieces of `piece` input bytes or more on `pool`.
// False when this build has no inflater or memory runs out.
bool inflatesTo(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> original,
                std::span<const BlockStart> blocks, ThreadPool& pool,
                std::uint64_t piece = kCheckedPiece) noexcept;

}  // namespace kernels::deflate
