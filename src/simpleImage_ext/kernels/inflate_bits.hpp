// The bit reader of the inflater: deflate data is read least significant bit
// first from a 64-bit buffer that one unaligned load refills. Past the end of
// its input the reader supplies zero bytes and counts them, so the decoder
// needs no bounds test per symbol: a stream that used any of them was cut
// short, which overran() and alignToByte() tell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kernels::inflate {

// A mask of the low `n` bits (n < 64).
constexpr std::uint64_t lowBits(unsigned n) { return (std::uint64_t{1} << n) - 1; }

class BitReader {
public:
    // Bits a refill guarantees: a literal/length with its extra bits and a
    // distance with its extra bits take at most 48.
    static constexpr unsigned kRefilledBits = 56;

    BitReader(const std::uint8_t* begin, const std::uint8_t* end) noexcept
        : next_(begin), end_(end) {}

    // Whether `bytes` input bytes are still to be loaded.
    bool hasBytes(std::size_t bytes) const noexcept {
        return static_cast<std::size_t>(end_ - next_) >= bytes;
    }

    // Tops the buffer up to 56..63 bits with one 8-byte load; needs hasBytes(8).
    // The load puts whole bytes above the buffered bits, and only those that
    // fit are counted; the next load brings the rest again, in the same place.
    void refillFromWord() noexcept {
        bits_ |= loadWord(next_) << count_;
        next_ += (63 - count_) >> 3;
        count_ |= kRefilledBits;
    }

    // Tops the buffer up to at least 56 bits anywhere in the input.
    void refill() noexcept {
        if (hasBytes(8)) {
            refillFromWord();
            return;
        }
        for (; count_ < kRefilledBits; count_ += 8) {
            if (next_ != end_) {
                bits_ |= std::uint64_t{*next_++} << count_;
            } else {
                ++padding_;
            }
        }
    }

    std::uint64_t peek() const noexcept { return bits_; }

    // How many bits peek() holds from the input (or past its end).
    unsigned buffered() const noexcept { return count_; }

    void consume(unsigned n) noexcept {
        bits_ >>= n;
        count_ -= n;
    }

    // The next `n` bits (n < 32), consumed.
    std::uint32_t take(unsigned n) noexcept {
        const auto value = static_cast<std::uint32_t>(bits_ & lowBits(n));
        consume(n);
        return value;
    }

    // Whether the stream has used bits from past the end of the input.
    bool overran() const noexcept { return count_ < 8 * padding_; }

    // Skips to the next byte boundary and returns the whole bytes still
    // buffered to the input, so that bytes() reads on from there. False when
    // the stream has already overrun its input.
    bool alignToByte() noexcept {
        const unsigned buffered = count_ / 8;
        if (buffered < padding_) {
            return false;
        }
        next_ -= buffered - padding_;
        bits_ = 0;
        count_ = 0;
        padding_ = 0;
        return true;
    }

    // The next `n` bytes of the input, taken, or nullptr when fewer remain;
    // only after alignToByte().
    const std::uint8_t* bytes(std::size_t n) noexcept {
        if (!hasBytes(n)) {
            return nullptr;
        }
        const std::uint8_t* start = next_;
        next_ += n;
        return start;
    }

    // Whether every input byte has been used; only after alignToByte().
    bool atEnd() const noexcept { return next_ == end_; }

    // Where the next load starts, and where the input ends.
    const std::uint8_t* position() const noexcept { return next_; }
    const std::uint8_t* end() const noexcept { return end_; }

private:
    static std::uint64_t loadWord(const std::uint8_t* p) noexcept {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        return word;
    }

    const std::uint8_t* next_;
    const std::uint8_t* end_;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;    // bits in the buffer; the bits above them are zero or
                            // the input's next bits
    unsigned padding_ = 0;  // zero bytes supplied past the end, the last ones in the buffer
};

}  // namespace kernels::inflate
