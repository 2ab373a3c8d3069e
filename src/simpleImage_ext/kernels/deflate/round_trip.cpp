#include "kernels/deflate/round_trip.hpp"

#if defined(SIMPLEIMAGE_LIBDEFLATE)
#include <libdeflate.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kernels/deflate/bit_writer.hpp"
#include "kernels/deflate/block.hpp"
#include "kernels/deflate/format.hpp"
#endif

namespace kernels::deflate {

#if defined(SIMPLEIMAGE_LIBDEFLATE)

namespace {

constexpr std::size_t kZlibHeaderSize = 2;
constexpr std::size_t kTrailerSize = 4;
constexpr std::uint8_t kZlibHeader[] = {0x78, 0x9c};
// An empty fixed block: its header, then the end-of-block code (seven zero bits).
constexpr unsigned kEmptyFixedBlockBits = 3 + 7;

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const noexcept {
        libdeflate_free_decompressor(decompressor);
    }
};

// A run of blocks: blocks[first] up to the start of blocks[end] (the last
// entry marks where the last block ends).
struct Piece {
    std::size_t first;
    std::size_t end;
};

// Pieces of `piece` input bytes or more. A piece starts at an even bit modulo
// 8: empty fixed blocks (ten bits each) then bring it to its place.
std::vector<Piece> cutPieces(std::span<const BlockStart> blocks, std::uint64_t piece) {
    std::vector<Piece> pieces;
    std::size_t first = 0;
    for (std::size_t block = 1; block + 1 < blocks.size(); ++block) {
        if (blocks[block].input - blocks[first].input >= piece && blocks[block].bit % 2 == 0) {
            pieces.push_back({first, block});
            first = block;
        }
    }
    pieces.push_back({first, blocks.size() - 1});
    return pieces;
}

class PieceCheck {
public:
    PieceCheck(std::span<const std::uint8_t> deflate, std::span<const std::uint8_t> original,
               std::span<const BlockStart> blocks)
        : deflate_(deflate), original_(original), blocks_(blocks) {}

    bool passes(const Piece& piece) const {
        const BlockStart& start = blocks_[piece.first];
        const BlockStart& end = blocks_[piece.end];
        const bool last = piece.end + 1 == blocks_.size();
        const std::uint64_t history = std::min<std::uint64_t>(start.input, kWindowSize);
        const std::uint64_t bits = end.bit - start.bit;
        // The stored block of history, the empty blocks, the piece, the empty last block.
        std::vector<std::uint8_t> stream(storedBits(history) / 8 + (4 * kEmptyFixedBlockBits + bits) / 8 +
                                         2 + BitWriter::kSlack);
        BitWriter writer(stream.data());
        if (history != 0) {
            writeStoredBlock(writer, original_.subspan(start.input - history, history), false);
        }
        for (std::uint64_t place = 0; place != start.bit % 8; place += 2) {
            writer.put(static_cast<unsigned>(BlockType::fixed) << 1, kEmptyFixedBlockBits);
        }
        writer.putBits(deflate_.data(), bits, start.bit);
        if (!last) {
            writer.put(static_cast<unsigned>(BlockType::fixed) << 1 | 1, kEmptyFixedBlockBits);
        }
        const std::size_t size = writer.finish();
        const std::uint64_t length = end.input - start.input;
        const std::unique_ptr<std::uint8_t[]> inflated(new std::uint8_t[history + length]);
        std::size_t consumed = 0;
        const libdeflate_result result = libdeflate_deflate_decompress_ex(
            decompressor(), stream.data(), size, inflated.get(), history + length, &consumed, nullptr);
        return result == LIBDEFLATE_SUCCESS && consumed == size &&
               std::memcmp(inflated.get() + history, original_.data() + start.input, length) == 0;
    }

private:
    // One per thread, kept: making one costs more than checking a small piece.
    static libdeflate_decompressor* decompressor() {
        thread_local const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> kept(
            libdeflate_alloc_decompressor());
        if (kept == nullptr) {
            throw std::bad_alloc();
        }
        return kept.get();
    }

    std::span<const std::uint8_t> deflate_;
    std::span<const std::uint8_t> original_;
    std::span<const BlockStart> blocks_;
};

// The stream's frame: its header, its blocks from the first bit to the end
// of the last, padding to a byte, and the checksum of the original.
bool framed(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> original,
            std::span<const BlockStart> blocks) {
    if (stream.size() < kZlibHeaderSize + kTrailerSize || blocks.size() < 2 ||
        std::memcmp(stream.data(), kZlibHeader, kZlibHeaderSize) != 0 || blocks.front().bit != 0 ||
        blocks.front().input != 0 || blocks.back().input != original.size() ||
        kZlibHeaderSize + (blocks.back().bit + 7) / 8 + kTrailerSize != stream.size()) {
        return false;
    }
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i].bit <= blocks[i - 1].bit || blocks[i].input < blocks[i - 1].input) {
            return false;
        }
    }
    const std::uint32_t adler = libdeflate_adler32(1, original.data(), original.size());
    const std::uint8_t* trailer = stream.data() + stream.size() - kTrailerSize;
    return trailer[0] == (adler >> 24 & 0xff) && trailer[1] == (adler >> 16 & 0xff) &&
           trailer[2] == (adler >> 8 & 0xff) && trailer[3] == (adler & 0xff);
}

}  // namespace

const char* checkingInflaterName() noexcept { return "libdeflate " LIBDEFLATE_VERSION_STRING; }

bool inflatesTo(std::span<const std::uint8_t> stream, std::span<const std::uint8_t> original,
                std::span<const BlockStart> blocks, ThreadPool& pool, std::uint64_t piece) noexcept {
    try {
        if (!framed(stream, original, blocks)) {
            return false;
        }
        const PieceCheck check(stream.subspan(kZlibHeaderSize, stream.size() - kZlibHeaderSize - kTrailerSize),
                               original, blocks);
        const std::vector<Piece> pieces = cutPieces(blocks, piece);
        std::atomic<bool> passed{true};
        pool.forEach(pieces.size(), [&](std::size_t i) {
            try {
                if (!check.passes(pieces[i])) {
                    passed.store(false, std::memory_order_relaxed);
                }
            } catch (const std::bad_alloc&) {
                passed.store(false, std::memory_order_relaxed);
            }
        });
        return passed.load(std::memory_order_relaxed);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

#else

const char* checkingInflaterName() noexcept { return nullptr; }

bool inflatesTo(std::span<const std::uint8_t>, std::span<const std::uint8_t>,
                std::span<const BlockStart>, ThreadPool&, std::uint64_t) noexcept {
    return false;
}

#endif

}  // namespace kernels::deflate
