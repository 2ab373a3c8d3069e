#include "kernels/deflate/zlib_stream.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "kernels/adler32.hpp"
#include "kernels/deflate/block.hpp"
#include "kernels/deflate/matcher.hpp"
#include "kernels/deflate/stream_writer.hpp"

namespace kernels::deflate {
namespace {

bool takes(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    return in.size() < std::numeric_limits<std::uint32_t>::max() &&
           out.size() >= streamCapacity(in.size());
}

// Stops the parse once a block's worth of symbols is written.
struct BlockFull {
    bool stop(const ParseState&, std::uint32_t written) const { return written == kBlockSymbols; }
};

// Parses a block's worth of symbols, writes the block, goes on.
std::size_t compressBlockByBlock(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                 std::vector<BlockStart>* blocks) {
    StreamWriter writer(out, blocks);
    const auto matcher = std::make_unique<LazyMatcher>(in);
    const auto symbols = std::make_unique_for_overwrite<Symbol[]>(kBlockSymbols);
    std::uint64_t start = 0;
    for (bool last = false; !last;) {
        BlockFull full;
        const std::uint32_t count = matcher->parse(symbols.get(), full);
        last = matcher->finished();
        const std::span<const Symbol> piece(symbols.get(), count);
        const SymbolPieces pieces(&piece, 1);
        const std::uint64_t end = matcher->parsed();
        const Block block(pieces, end - start);
        const bool canStore = storable(start, end, count > 0 ? piece.back() : 0, last, in.size());
        if (!writer.add(block.weight(), canStore, in.subspan(start, end - start), start, last,
                        [&](BitWriter& bits) { block.write(bits, last); })) {
            return 0;
        }
        start = end;
    }
    return writer.finish(adler32(kAdlerStart, in.data(), in.size()));
}

}  // namespace

std::size_t streamCapacity(std::size_t size) noexcept {
    return size + (size >> 12) + (size >> 14) + (size >> 25) + 13 + BitWriter::kSlack;
}

std::size_t compressSerially(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                             std::vector<BlockStart>* blocks) {
    if (!takes(in, out)) {
        return 0;
    }
    try {
        return compressBlockByBlock(in, out, blocks);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

std::size_t compressInParallel(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                               ThreadPool& pool, Split split, StitchReport* report,
                               std::vector<BlockStart>* blocks) {
    if (!takes(in, out) || split.ways == 0 || split.segmentSize == 0) {
        return 0;
    }
    return compressOnPool(in, out, pool, split, report, blocks);
}

std::size_t compress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, ThreadPool& pool,
                     std::vector<BlockStart>* blocks) {
    const unsigned ways = pool.concurrency();
    if (ways == 1 || in.size() < kParallelThreshold) {
        return compressSerially(in, out, blocks);
    }
    // Segments of about a megabyte keep the 32 KiB that each worker enters
    // before its segment a small part of its work; a multiple of the threads
    // in count, they keep every thread busy to the end.
    constexpr std::size_t kSegmentSize = 1u << 20;
    const std::size_t rounds = (in.size() + kSegmentSize * ways - 1) / (kSegmentSize * ways);
    const std::size_t segments = rounds * ways;
    return compressInParallel(in, out, pool, {ways, (in.size() + segments - 1) / segments}, nullptr,
                              blocks);
}

std::size_t compressChecked(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
    try {
        ThreadPool& pool = ThreadPool::shared();
        std::vector<BlockStart> blocks;
        const std::size_t size = compress(in, out, pool, &blocks);
        // Four pieces per thread at least, so that the threads finish together.
        const std::uint64_t piece = std::clamp<std::uint64_t>(in.size() / (4 * pool.concurrency()),
                                                              kCheckedPiece / 4, kCheckedPiece);
        return size != 0 && inflatesTo(out.first(size), in, blocks, pool, piece) ? size : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace kernels::deflate
