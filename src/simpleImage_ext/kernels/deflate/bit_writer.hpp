// Bits into bytes, least significant bit first, as deflate packs them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kernels::deflate {

static_assert(std::endian::native == std::endian::little,
              "the bit writer stores its pending bits with little-endian stores");

// Writes through whole 64-bit stores: the buffer needs kSlack bytes beyond the
// last byte that the stream itself takes.
class BitWriter {
public:
    static constexpr std::size_t kSlack = 8;

    explicit BitWriter(std::uint8_t* out) : start_(out), next_(out) {}

    // The low `count` bits of `bits` (count <= 32; the bits above are zero).
    void put(std::uint64_t bits, unsigned count) {
        pending_ |= bits << filled_;
        filled_ += count;
        if (filled_ >= 32) {
            store();
        }
    }

    // Zero bits up to the next byte boundary.
    void alignToByte() {
        filled_ = (filled_ + 7) & ~7u;
        store();
    }

    // Whole bytes, after alignToByte().
    void putBytes(const std::uint8_t* bytes, std::size_t size) {
        std::memcpy(next_, bytes, size);
        next_ += size;
    }

    // `bitCount` bits as another writer left them in `bits`, from bit
    // `firstBit` on (bit 0 is the first byte's least significant).
    void putBits(const std::uint8_t* bits, std::uint64_t bitCount, std::uint64_t firstBit = 0) {
        bits += firstBit >> 3;
        if (const unsigned skipped = firstBit & 7; skipped != 0 && bitCount != 0) {
            const unsigned head = std::min<std::uint64_t>(8 - skipped, bitCount);
            put((*bits++ >> skipped) & ((1u << head) - 1), head);
            bitCount -= head;
        }
        if (filled_ == 0) {
            putBytes(bits, bitCount >> 3);
            bits += bitCount >> 3;
        } else {
            for (std::uint64_t i = 0; i < bitCount >> 5; ++i, bits += 4) {
                std::uint32_t word;
                std::memcpy(&word, bits, 4);
                put(word, 32);
            }
            for (std::uint64_t i = 0; i < (bitCount >> 3 & 3); ++i) {
                put(*bits++, 8);
            }
        }
        if (const unsigned rest = bitCount & 7) {
            put(*bits & ((1u << rest) - 1), rest);
        }
    }

    std::uint64_t bitCount() const {
        return static_cast<std::uint64_t>(next_ - start_) * 8 + filled_;
    }

    // Writes out what is pending; the stream then ends at a byte boundary,
    // padded with zero bits. Returns the number of bytes written in all.
    std::size_t finish() {
        alignToByte();
        return static_cast<std::size_t>(next_ - start_);
    }

private:
    // Stores the whole bytes of `pending_` and keeps the rest.
    void store() {
        std::memcpy(next_, &pending_, sizeof pending_);
        const unsigned bytes = filled_ >> 3;
        next_ += bytes;
        pending_ = bytes == 8 ? 0 : pending_ >> (bytes * 8);
        filled_ &= 7;
    }

    std::uint8_t* start_;
    std::uint8_t* next_;
    std::uint64_t pending_ = 0;
    unsigned filled_ = 0;
};

}  // namespace kernels::deflate
