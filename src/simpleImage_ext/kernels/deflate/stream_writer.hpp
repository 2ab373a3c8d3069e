// The zlib stream in the caller's buffer: header, blocks, Adler-32 trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/deflate/bit_writer.hpp"
#include "kernels/deflate/block.hpp"

namespace kernels::deflate {

// Blocks are added only while they fit: only a fault of this kernel could make
// one exceed zlib's bound, and the stream is then refused rather than written
// past the buffer.
class StreamWriter {
public:
    // CMF 0x78 (deflate, 32 KiB window), FLG 0x9C (level 6, no dictionary, check bits).
    static constexpr std::uint8_t kHeader[] = {0x78, 0x9c};
    static constexpr std::size_t kTrailerSize = 4;

    explicit StreamWriter(std::span<std::uint8_t> out)
        : out_(out),
          blockRoom_((out.size() - sizeof kHeader - kTrailerSize - BitWriter::kSlack) * 8),
          bits_(out.data() + sizeof kHeader) {
        out[0] = kHeader[0];
        out[1] = kHeader[1];
    }

    // Appends a block: stored when that is no longer than the coded block and
    // `storable`, else the coded block of `codedBits` bits, which
    // `writeCoded(BitWriter&)` writes. False when it does not fit.
    template <class WriteCoded>
    bool add(const BlockWeight& weight, bool storable, std::span<const std::uint8_t> bytes,
             bool last, WriteCoded&& writeCoded) {
        if (weight.storedIsShorter && storable) {
            if (bytes.size() > kMaxStoredBlock || !fits(storedBits(bytes.size()))) {
                return false;
            }
            writeStoredBlock(bits_, bytes, last);
            return true;
        }
        if (!fits(weight.codedBits)) {
            return false;
        }
        writeCoded(bits_);
        return true;
    }

    std::size_t finish(std::uint32_t adler) {
        std::size_t size = sizeof kHeader + bits_.finish();
        for (int shift = 24; shift >= 0; shift -= 8) {
            out_[size++] = static_cast<std::uint8_t>(adler >> shift);
        }
        return size;
    }

private:
    // Whether `blockBits` more bits (and a partial byte) still fit.
    bool fits(std::uint64_t blockBits) const { return bits_.bitCount() + blockBits + 8 <= blockRoom_; }

    std::span<std::uint8_t> out_;
    std::uint64_t blockRoom_;
    BitWriter bits_;
};

}  // namespace kernels::deflate
