#include "kernels/deflate/zlib_stream.hpp"

#include <limits>
#include <memory>

#include "kernels/deflate/adler32.hpp"
#include "kernels/deflate/bit_writer.hpp"
#include "kernels/deflate/block.hpp"
#include "kernels/deflate/matcher.hpp"

namespace kernels::deflate {
namespace {

// CMF 0x78 (deflate, 32 KiB window), FLG 0x9C (level 6, no dictionary, check bits).
constexpr std::uint8_t kZlibHeader[] = {0x78, 0x9c};
constexpr std::size_t kTrailerSize = 4;
constexpr std::size_t kMaxStoredBlock = 65535;

// Stops the parse once a block's worth of symbols is written.
struct BlockFull {
    bool stop(const ParseState&, std::uint32_t written) const { return written == kBlockSymbols; }
};

}  // namespace

std::size_t streamCapacity(std::size_t size) noexcept {
    return size + (size >> 12) + (size >> 14) + (size >> 25) + 13 + BitWriter::kSlack;
}

std::size_t compressSerially(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    if (in.size() >= std::numeric_limits<std::uint32_t>::max() ||
        out.size() < streamCapacity(in.size())) {
        return 0;
    }
    // Room for the blocks, with the trailer and the writer's slack kept apart.
    const std::uint64_t blockRoom = (out.size() - sizeof kZlibHeader - kTrailerSize - BitWriter::kSlack) * 8;
    out[0] = kZlibHeader[0];
    out[1] = kZlibHeader[1];
    BitWriter writer(out.data() + sizeof kZlibHeader);
    auto matcher = std::make_unique<LazyMatcher>(in);
    auto symbols = std::make_unique<Symbol[]>(kBlockSymbols);
    std::uint64_t blockStart = 0;
    for (bool last = false; !last;) {
        BlockFull full;
        const std::uint32_t count = matcher->parse(symbols.get(), full);
        last = matcher->finished();
        const std::span<const Symbol> piece(symbols.get(), count);
        const BlockExtent extent = blockExtent({&piece, 1}, blockStart, in.size(), last);
        const Block block({&piece, 1}, in.subspan(extent.start, extent.end - extent.start),
                          extent.storable);
        // Only a fault of this kernel could make a block larger than zlib's bound.
        if (writer.bitCount() + block.bits() + 8 > blockRoom ||
            (block.type() == BlockType::stored && extent.end - extent.start > kMaxStoredBlock)) {
            return 0;
        }
        block.write(writer, last);
        blockStart = extent.end;
    }
    std::size_t size = sizeof kZlibHeader + writer.finish();
    const std::uint32_t adler = adler32(kAdlerStart, in.data(), in.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        out[size++] = static_cast<std::uint8_t>(adler >> shift);
    }
    return size;
}

}  // namespace kernels::deflate
