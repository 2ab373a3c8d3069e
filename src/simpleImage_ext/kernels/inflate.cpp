// The inflater: zlib streams whose inflated size is known, decoded straight
// into the caller's buffer. It accepts exactly what the interpreter's zlib
// accepts (inflate with a 32 KiB window, as zlib.decompress runs it): the
// header's method, window and check, no preset dictionary, the block types,
// stored lengths, the code rules of inflate_tables.hpp, the end-of-block code,
// distances within the output so far, and the Adler-32.
//
// Most of a stream is decoded by a loop that tests the ends of its buffers
// once per symbol: it runs while a whole step, the longest match with the
// bytes its word copies write past it, fits in the output and its refills
// fit in the input. A careful loop with exact bounds does the rest.
#include "kernels/inflate.hpp"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/inflate_bits.hpp"
#include "kernels/inflate_tables.hpp"
#include "kernels/levels.hpp"

namespace kernels {
namespace {

using inflate::BitReader;
using inflate::BlockCodes;
using inflate::DecodeTable;
using std::size_t;
using std::uint32_t;
using std::uint64_t;
using std::uint8_t;
namespace entry = inflate::entry;

constexpr size_t kZlibHeaderBytes = 2;
constexpr size_t kAdlerBytes = 4;
constexpr unsigned kMaxMatch = 258;

constexpr uint64_t lowBits(unsigned n) { return (uint64_t{1} << n) - 1; }

// The extra bits of a length or distance entry, from the bits before it was consumed.
inline uint32_t extraBits(uint64_t before, uint32_t e) {
    return static_cast<uint32_t>((before & lowBits(entry::consumedBits(e))) >> entry::codeBits(e));
}

// The entry of the next code, through its subtable when the main table links
// to one (whose bits are then consumed).
inline uint32_t lookUp(const uint32_t* table, uint32_t mask, BitReader& in) {
    uint32_t e = table[in.peek() & mask];
    if ((e & entry::kSubtable) != 0) {
        in.consume(entry::consumedBits(e));
        e = table[entry::value(e) + (in.peek() & lowBits(entry::codeBits(e)))];
    }
    return e;
}

inline uint64_t load8(const uint8_t* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline void store8(uint8_t* p, uint64_t word) { std::memcpy(p, &word, sizeof word); }

inline void copy16(uint8_t* to, const uint8_t* from) { std::memcpy(to, from, 16); }

inline void store16(uint8_t* p, uint16_t value) { std::memcpy(p, &value, sizeof value); }

// Sixteen bytes of a pattern of eight.
inline void storeTwice(uint8_t* p, uint64_t pattern) {
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_set1_epi64x(static_cast<long long>(pattern)));
#else
    store8(p, pattern);
    store8(p + 8, pattern);
#endif
}

// Eight bytes that repeat the `distance` (1..7) bytes before `out`.
inline uint64_t repeatingPattern(const uint8_t* out, size_t distance) {
    if (distance == 1) {
        return out[-1] * 0x0101010101010101u;  // runs of one byte are the most common
    }
    uint64_t pattern = load8(out - distance) & lowBits(8 * static_cast<unsigned>(distance));
    for (unsigned shift = 8 * static_cast<unsigned>(distance); shift < 64; shift *= 2) {
        pattern |= pattern << shift;
    }
    return pattern;
}

// How far the stores of a repeating pattern advance: the largest multiple of
// the distance that a word holds, so that each store continues the pattern.
constexpr uint8_t kPatternStep[8] = {0, 8, 8, 6, 8, 5, 6, 7};

// Matches are copied 32 bytes at a time, so that most take no loop at all;
// the copies write up to this many bytes past a match.
constexpr size_t kCopyOverrun = 31;

// Copies a match of `length` bytes from `distance` bytes back, in words: may
// write up to kCopyOverrun bytes past it, which later output overwrites.
inline void copyMatch(uint8_t* out, size_t distance, unsigned length) {
    uint8_t* const end = out + length;
    const uint8_t* from = out - distance;
    // Each load reads bytes at least as far behind its store as it is long,
    // all written by then.
    if (distance >= 16) {
        do {
            copy16(out, from);
            copy16(out + 16, from + 16);
            out += 32;
            from += 32;
        } while (out < end);
        return;
    }
    if (distance >= 8) {
        do {
            store8(out, load8(from));
            store8(out + 8, load8(from + 8));
            store8(out + 16, load8(from + 16));
            store8(out + 24, load8(from + 24));
            out += 32;
            from += 32;
        } while (out < end);
        return;
    }
    const uint64_t pattern = repeatingPattern(out, distance);
    const size_t step = kPatternStep[distance];
    if (step == 8) {  // distances 1, 2 and 4: the pattern repeats in 16 bytes too
        do {
            storeTwice(out, pattern);
            storeTwice(out + 16, pattern);
            out += 32;
        } while (out < end);
        return;
    }
    do {
        store8(out, pattern);
        store8(out + step, pattern);
        out += 2 * step;
    } while (out < end);
}

// Copies a match into output that ends at `end`: in words where they fit,
// else byte by byte. False when the match runs past the end.
inline bool copyMatchBefore(const uint8_t* end, uint8_t* out, size_t distance, unsigned length) {
    const auto room = static_cast<size_t>(end - out);
    if (room >= length + kCopyOverrun) {
        copyMatch(out, distance, length);
        return true;
    }
    if (room < length) {
        return false;
    }
    const uint8_t* from = out - distance;
    for (unsigned i = 0; i < length; ++i) {
        out[i] = from[i];
    }
    return true;
}

// The literal (or two) of a literal entry; with pairs, two bytes are always
// stored.
template <bool kPairedLiterals>
inline void emitLiterals(uint8_t*& out, uint32_t e) {
    if constexpr (kPairedLiterals) {
        store16(out, static_cast<uint16_t>(entry::literals(e)));
        out += entry::literalCount(e);
    } else {
        *out++ = static_cast<uint8_t>(entry::literals(e));
    }
}

enum class BlockResult { kEnded, kBad, kNearEnd };

#if defined(SIMPLEIMAGE_X86_KERNELS)
// The decoding loop is also compiled for BMI2, whose variable shifts and bit
// masks take one instruction each: processors with AVX2 have it.
#define SIMPLEIMAGE_BMI2 __attribute__((target("bmi,bmi2")))

bool processorHasBmi2() noexcept {
    static const bool has = __builtin_cpu_supports("bmi2");
    return has;
}
#endif

class Inflater {
public:
    Inflater(std::span<const uint8_t> deflateData, std::span<uint8_t> out, bool useBmi2) noexcept
        : in_(deflateData.data(), deflateData.data() + deflateData.size()),
          outBegin_(out.data()),
          out_(out.data()),
          outEnd_(out.data() + out.size()),
          useBmi2_(useBmi2) {}

    // True when the deflate data is one complete stream that ends at the end
    // of the input and fills the output exactly.
    bool run() noexcept {
        bool last = false;
        while (!last) {
            in_.refill();
            if (in_.overran()) {
                return false;
            }
            last = in_.take(1) != 0;
            if (!decodeBlock(in_.take(2))) {
                return false;
            }
        }
        return in_.alignToByte() && in_.atEnd() && out_ == outEnd_;
    }

private:
    static constexpr size_t kFastInputBytes = 16;  // two refills
    static constexpr size_t kPairedOutput = 32768;
    // Three literal entries, each stored as two bytes; matches check for
    // themselves that they fit.
    static constexpr size_t kFastOutputBytes = 6;

    bool decodeBlock(uint32_t type) noexcept {
        switch (type) {
            case 0:
                return copyStoredBlock();
            case 1:
                return decodeCompressedBlock(inflate::fixedCodes());
            case 2: {
                BlockCodes codes;
                return readDynamicCodes(codes) && decodeCompressedBlock(codes);
            }
            default:
                return false;
        }
    }

    bool copyStoredBlock() noexcept {
        if (!in_.alignToByte()) {
            return false;
        }
        const uint8_t* lengths = in_.bytes(4);
        if (lengths == nullptr) {
            return false;
        }
        const unsigned length = lengths[0] | lengths[1] << 8;
        const unsigned complement = lengths[2] | lengths[3] << 8;
        if (length != (~complement & 0xFFFF) || length > static_cast<size_t>(outEnd_ - out_)) {
            return false;
        }
        const uint8_t* data = in_.bytes(length);
        if (data == nullptr) {
            return false;
        }
        if (length != 0) {
            std::memcpy(out_, data, length);
            out_ += length;
        }
        return true;
    }

    // The code lengths of a dynamic block, coded with the code-length code,
    // and the block's two tables built from them.
    bool readDynamicCodes(BlockCodes& codes) noexcept {
        in_.refill();
        const unsigned literalLengthCount = in_.take(5) + 257;
        const unsigned distanceCount = in_.take(5) + 1;
        const unsigned codeLengthCount = in_.take(4) + 4;
        if (literalLengthCount > inflate::kMaxLiteralLengthSymbols ||
            distanceCount > inflate::kMaxDistanceSymbols) {
            return false;
        }
        static constexpr uint8_t kCodeLengthOrder[inflate::kCodeLengthSymbols] = {
            16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        std::array<uint8_t, inflate::kCodeLengthSymbols> codeLengthLengths{};
        for (unsigned i = 0; i < codeLengthCount; ++i) {
            in_.refill();
            codeLengthLengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(in_.take(3));
        }
        DecodeTable codeLengthCode;
        if (!inflate::buildTable(inflate::CodeKind::kCodeLength, codeLengthLengths,
                                 codeLengthStorage_, codeLengthCode)) {
            return false;
        }
        const unsigned total = literalLengthCount + distanceCount;
        std::array<uint8_t, inflate::kMaxLiteralLengthSymbols + inflate::kMaxDistanceSymbols>
            lengths;
        for (unsigned n = 0; n < total;) {
            in_.refill();
            const uint32_t e = codeLengthCode.entries[in_.peek() & codeLengthCode.mask];
            in_.consume(entry::consumedBits(e));
            const unsigned symbol = entry::value(e);
            if (symbol < 16) {
                lengths[n++] = static_cast<uint8_t>(symbol);
                continue;
            }
            // 16 repeats the previous length 3..6 times, 17 and 18 give 3..10
            // and 11..138 zeros; none may run past the last code.
            uint8_t repeated = 0;
            unsigned count = 0;
            if (symbol == 16) {
                if (n == 0) {
                    return false;
                }
                repeated = lengths[n - 1];
                count = 3 + in_.take(2);
            } else if (symbol == 17) {
                count = 3 + in_.take(3);
            } else {
                count = 11 + in_.take(7);
            }
            if (count > total - n) {
                return false;
            }
            std::memset(lengths.data() + n, repeated, count);
            n += count;
        }
        if (lengths[inflate::kEndOfBlockSymbol] == 0) {
            return false;
        }
        const std::span<const uint8_t> all(lengths.data(), total);
        DecodeTable literalLength, distance;
        codes = {&dynamicTables_, 0};
        if (!inflate::buildTable(inflate::CodeKind::kLiteralLength, all.first(literalLengthCount),
                                 dynamicTables_.literalLength, literalLength) ||
            !inflate::buildTable(inflate::CodeKind::kDistance, all.subspan(literalLengthCount),
                                 dynamicTables_.distance, distance)) {
            return false;
        }
        codes.literalLengthMask = literalLength.mask;
        if (static_cast<size_t>(outEnd_ - out_) >= kPairedOutput) {
            codes.pairedLiterals = inflate::pairLiterals(
                all.first(literalLengthCount), dynamicTables_.literalLength.data(),
                                  codes.literalLengthMask);
        }
        return true;
    }

    bool decodeCompressedBlock(const BlockCodes& codes) noexcept {
#if defined(SIMPLEIMAGE_X86_KERNELS)
        const BlockResult fast =
            codes.pairedLiterals ? (useBmi2_ ? decodeFastWithBmi2<true>(codes) : decodeFast<true>(codes))
                                 : (useBmi2_ ? decodeFastWithBmi2<false>(codes) : decodeFast<false>(codes));
#else
        const BlockResult fast = codes.pairedLiterals ? decodeFast<true>(codes) : decodeFast<false>(codes);
#endif
        if (fast != BlockResult::kNearEnd) {
            return fast == BlockResult::kEnded;
        }
        return decodeCarefully(codes);
    }

    // The symbols of a block while a whole step fits: each step starts with at
    // least 56 bits buffered and the next literal/length entry looked up; a
    // step is up to three literals, or up to two literals and a match. The
    // next entry is looked up before a refill or a copy wherever enough bits
    // are left, which takes the lookup off their critical path.
    template <bool kPairedLiterals>
    [[gnu::always_inline]] BlockResult decodeFast(const BlockCodes& codes) noexcept {
        if (!in_.hasBytes(kFastInputBytes) || static_cast<size_t>(outEnd_ - out_) < kFastOutputBytes) {
            return BlockResult::kNearEnd;
        }
        BitReader in = in_;
        uint8_t* out = out_;
        const uint8_t* const inLimit = in.end() - kFastInputBytes;
        const uint8_t* const outLimit = outEnd_ - kFastOutputBytes;
        const uint32_t* const literalLengths = codes.tables->literalLength.data();
        const uint32_t* const distances = codes.tables->distance.data();
        const uint32_t literalLengthMask = codes.literalLengthMask;
        BlockResult result = BlockResult::kNearEnd;
        in.refillFromWord();
        uint32_t e = literalLengths[in.peek() & literalLengthMask];
        for (;;) {
            // Main-table literals take at most 12 bits: three leave enough
            // for the next lookup, two leave too few for a match.
            if (entry::isLiteral(e)) {
                in.consume(entry::consumedBits(e));
                emitLiterals<kPairedLiterals>(out, e);
                e = literalLengths[in.peek() & literalLengthMask];
                if (entry::isLiteral(e)) {
                    in.consume(entry::consumedBits(e));
                    emitLiterals<kPairedLiterals>(out, e);
                    e = literalLengths[in.peek() & literalLengthMask];
                    if (entry::isLiteral(e)) {
                        in.consume(entry::consumedBits(e));
                        emitLiterals<kPairedLiterals>(out, e);
                        e = literalLengths[in.peek() & literalLengthMask];
                        goto nextStep;
                    }
                }
                in.refillFromWord();
            }
            if (entry::isExceptional(e)) {
                if ((e & entry::kSubtable) != 0) {
                    in.consume(entry::consumedBits(e));
                    e = literalLengths[entry::value(e) + (in.peek() & lowBits(entry::codeBits(e)))];
                }
                if (entry::isLiteral(e)) {
                    in.consume(entry::consumedBits(e));
                    *out++ = static_cast<uint8_t>(entry::literals(e));
                    e = literalLengths[in.peek() & literalLengthMask];
                    goto nextStep;
                }
                if (entry::isExceptional(e)) {
                    if ((e & entry::kEndOfBlock) != 0) {
                        in.consume(entry::consumedBits(e));
                        result = BlockResult::kEnded;
                    } else {
                        result = BlockResult::kBad;
                    }
                    break;
                }
            }
            {
                uint64_t before = in.peek();
                in.consume(entry::consumedBits(e));
                const unsigned length = entry::value(e) + extraBits(before, e);
                uint32_t d = distances[in.peek() & inflate::kDistanceMask];
                if (entry::isExceptional(d)) {
                    if ((d & entry::kSubtable) == 0) {
                        result = BlockResult::kBad;
                        break;
                    }
                    in.consume(entry::consumedBits(d));
                    d = distances[entry::value(d) + (in.peek() & lowBits(entry::codeBits(d)))];
                }
                before = in.peek();
                in.consume(entry::consumedBits(d));
                const size_t back = entry::value(d) + extraBits(before, d);
                if (back > static_cast<size_t>(out - outBegin_)) {
                    result = BlockResult::kBad;
                    break;
                }
                // The match's codes mostly come from the main tables, which
                // leaves enough bits to look the next entry up before the refill.
                if (in.buffered() >= inflate::kLiteralLengthRootBits) {
                    e = literalLengths[in.peek() & literalLengthMask];
                    in.refillFromWord();
                } else {
                    in.refillFromWord();
                    e = literalLengths[in.peek() & literalLengthMask];
                }
                if (!copyMatchBefore(outEnd_, out, back, length)) {
                    result = BlockResult::kBad;
                    break;
                }
                out += length;
                if (in.position() > inLimit || out > outLimit) {
                    break;
                }
                continue;
            }
        nextStep:
            if (in.position() > inLimit || out > outLimit) {
                break;
            }
            in.refillFromWord();
        }
        in_ = in;
        out_ = out;
        return result;
    }

#if defined(SIMPLEIMAGE_X86_KERNELS)
    template <bool kPairedLiterals>
    SIMPLEIMAGE_BMI2 BlockResult decodeFastWithBmi2(const BlockCodes& codes) noexcept {
        return decodeFast<kPairedLiterals>(codes);
    }
#endif

    // The rest of a block, with exact bounds on both buffers.
    bool decodeCarefully(const BlockCodes& codes) noexcept {
        for (;;) {
            in_.refill();
            const uint32_t e =
                lookUp(codes.tables->literalLength.data(), codes.literalLengthMask, in_);
            if (entry::isLiteral(e)) {
                const size_t room = static_cast<size_t>(outEnd_ - out_);
                if (room < 2) {
                    if (room == 0 || (e & entry::kPair) != 0) {
                        return false;
                    }
                    *out_ = static_cast<uint8_t>(entry::literals(e));
                } else {
                    store16(out_, static_cast<uint16_t>(entry::literals(e)));
                }
                in_.consume(entry::consumedBits(e));
                out_ += entry::literalCount(e);
                continue;
            }
            if (entry::isExceptional(e)) {
                in_.consume(entry::consumedBits(e));
                return (e & entry::kEndOfBlock) != 0;
            }
            uint64_t before = in_.peek();
            in_.consume(entry::consumedBits(e));
            const unsigned length = entry::value(e) + extraBits(before, e);
            const uint32_t d = lookUp(codes.tables->distance.data(), inflate::kDistanceMask, in_);
            if (entry::isExceptional(d)) {
                return false;
            }
            before = in_.peek();
            in_.consume(entry::consumedBits(d));
            const size_t back = entry::value(d) + extraBits(before, d);
            if (back > static_cast<size_t>(out_ - outBegin_) ||
                !copyMatchBefore(outEnd_, out_, back, length)) {
                return false;
            }
            out_ += length;
        }
    }

    BitReader in_;
    const uint8_t* const outBegin_;
    uint8_t* out_;
    uint8_t* const outEnd_;
    std::array<uint32_t, inflate::kCodeLengthCapacity> codeLengthStorage_;
    const bool useBmi2_;
    inflate::BlockTables dynamicTables_;
};

// The two header bytes as zlib takes them with a 32 KiB window: deflate, a
// window of at most 32 KiB, the check bits, and no preset dictionary.
bool acceptableHeader(uint8_t method, uint8_t flags) {
    constexpr unsigned kDeflate = 8;
    constexpr unsigned kMaxWindowLog = 7;  // 2^(7 + 8) bytes
    constexpr unsigned kPresetDictionary = 0x20;
    return (method << 8 | flags) % 31 == 0 && (method & 0x0F) == kDeflate &&
           (method >> 4) <= kMaxWindowLog && (flags & kPresetDictionary) == 0;
}

}  // namespace

const char* inflaterName() noexcept { return SIMPLEIMAGE_INFLATER_NAME; }

bool inflateExactly(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
    return inflateExactly(in, out, bestLevel());
}

bool inflateExactly(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                    Level level) noexcept {
    if (in.size() < kZlibHeaderBytes + kAdlerBytes || !acceptableHeader(in[0], in[1])) {
        return false;
    }
#if defined(SIMPLEIMAGE_X86_KERNELS)
    const bool useBmi2 = level >= Level::kAvx2 && processorHasBmi2();
#else
    const bool useBmi2 = false;
#endif
    const auto deflateData = in.subspan(kZlibHeaderBytes, in.size() - kZlibHeaderBytes - kAdlerBytes);
    Inflater inflater(deflateData, out, useBmi2);
    if (!inflater.run()) {
        return false;
    }
    const uint8_t* trailer = in.data() + in.size() - kAdlerBytes;
    const uint32_t expected = uint32_t{trailer[0]} << 24 | uint32_t{trailer[1]} << 16 |
                              uint32_t{trailer[2]} << 8 | trailer[3];
    return kernelSet(level)->adler32(1, out.data(), out.size()) == expected;
}

}  // namespace kernels
