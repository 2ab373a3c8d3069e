// The inflater: zlib streams whose inflated size is known, decoded straight
// into the caller's buffer. It accepts exactly what the interpreter's zlib
// accepts (inflate with a 32 KiB window, as zlib.decompress runs it): the
// header's method, window and check, no preset dictionary, the block types,
// stored lengths, the code rules of inflate_tables.hpp, the end-of-block code,
// distances within the output so far, and the Adler-32.
//
// Most of a stream is decoded by a loop that tests the ends of its buffers
// once per step of up to three literal entries or a match: it runs while a
// step's refills fit in the input and its literals in the output (a match
// checks its own room). A careful loop with exact bounds does the rest. The
// loop is compiled twice, for tables with and without paired literals, and
// on x86-64 twice more with BMI2.
#include "kernels/inflate.hpp"

#include <array>
#include <cstring>

#include "kernels/inflate_bits.hpp"
#include "kernels/inflate_output.hpp"
#include "kernels/inflate_tables.hpp"
#include "kernels/levels.hpp"

namespace kernels {
namespace {

using inflate::BitReader;
using inflate::BlockCodes;
using inflate::copyMatchBefore;
using inflate::DecodeTable;
using inflate::emitLiterals;
using inflate::lowBits;
using inflate::store16;
using std::size_t;
using std::uint32_t;
using std::uint64_t;
using std::uint8_t;
namespace entry = inflate::entry;

constexpr size_t kZlibHeaderBytes = 2;
constexpr size_t kAdlerBytes = 4;

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
    // Pairing literals takes a pass over the table, which pays in blocks of
    // some length; a block may run to the end of the output.
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

    // A dynamic block's header: the counts of its codes, the code-length
    // code, and the code lengths coded with it; then the block's tables.
    bool readDynamicCodes(BlockCodes& codes) noexcept {
        in_.refill();
        const unsigned literalLengthCount = in_.take(5) + 257;
        const unsigned distanceCount = in_.take(5) + 1;
        const unsigned codeLengthCount = in_.take(4) + 4;
        if (literalLengthCount > inflate::kMaxLiteralLengthSymbols ||
            distanceCount > inflate::kMaxDistanceSymbols) {
            return false;
        }
        DecodeTable codeLengthCode;
        std::array<uint8_t, inflate::kMaxLiteralLengthSymbols + inflate::kMaxDistanceSymbols>
            lengths;
        const std::span<uint8_t> all(lengths.data(), literalLengthCount + distanceCount);
        if (!readCodeLengthCode(codeLengthCount, codeLengthCode) ||
            !readCodeLengths(codeLengthCode, all) || lengths[inflate::kEndOfBlockSymbol] == 0) {
            return false;
        }
        DecodeTable literalLength, distance;
        if (!inflate::buildTable(inflate::CodeKind::kLiteralLength, all.first(literalLengthCount),
                                 dynamicTables_.literalLength, literalLength) ||
            !inflate::buildTable(inflate::CodeKind::kDistance, all.subspan(literalLengthCount),
                                 dynamicTables_.distance, distance)) {
            return false;
        }
        codes = {&dynamicTables_, literalLength.mask, false};
        if (static_cast<size_t>(outEnd_ - out_) >= kPairedOutput) {
            codes.pairedLiterals =
                inflate::pairLiterals(all.first(literalLengthCount),
                                      dynamicTables_.literalLength.data(), literalLength.mask);
        }
        return true;
    }

    // The lengths of the code-length code, 3 bits each in a fixed order.
    bool readCodeLengthCode(unsigned count, DecodeTable& code) noexcept {
        std::array<uint8_t, inflate::kCodeLengthSymbols> lengths{};
        for (unsigned i = 0; i < count; ++i) {
            in_.refill();
            lengths[deflate::kCodeLengthOrder[i]] = static_cast<uint8_t>(in_.take(3));
        }
        return inflate::buildTable(inflate::CodeKind::kCodeLength, lengths, codeLengthStorage_,
                                   code);
    }

    // The code lengths of both codes, as one sequence: 0..15 are lengths, 16
    // repeats the previous length 3..6 times, 17 and 18 give 3..10 and
    // 11..138 zeros; no repeat may run past the last length.
    bool readCodeLengths(const DecodeTable& code, std::span<uint8_t> lengths) noexcept {
        for (size_t n = 0; n < lengths.size();) {
            in_.refill();
            const uint32_t e = code.entries[in_.peek() & code.mask];
            in_.consume(entry::consumedBits(e));
            const unsigned symbol = entry::value(e);
            if (symbol < 16) {
                lengths[n++] = static_cast<uint8_t>(symbol);
                continue;
            }
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
            if (count > lengths.size() - n) {
                return false;
            }
            std::memset(lengths.data() + n, repeated, count);
            n += count;
        }
        return true;
    }

    bool decodeCompressedBlock(const BlockCodes& codes) noexcept {
        const BlockResult fast = codes.pairedLiterals
                                     ? decodeFastWithBestInstructions<true>(codes)
                                     : decodeFastWithBestInstructions<false>(codes);
        if (fast != BlockResult::kNearEnd) {
            return fast == BlockResult::kEnded;
        }
        return decodeCarefully(codes);
    }

    // The symbols of a block while a whole step fits: each step starts with at
    // least 56 bits buffered and the next literal/length entry looked up; a
    // step is up to three literal entries (of one or two literals each), or
    // up to two and a match. The
    // next entry is looked up before a refill or a copy wherever enough bits
    // are left, which takes the lookup off their critical path.
    template <bool kPairedLiterals>
    [[gnu::always_inline]] BlockResult decodeFast(const BlockCodes& codes) noexcept {
        if (!in_.hasBytes(kFastInputBytes) ||
            static_cast<size_t>(outEnd_ - out_) < kFastOutputBytes) {
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

    template <bool kPairedLiterals>
    BlockResult decodeFastWithBestInstructions(const BlockCodes& codes) noexcept {
#if defined(SIMPLEIMAGE_X86_KERNELS)
        if (useBmi2_) {
            return decodeFastWithBmi2<kPairedLiterals>(codes);
        }
#endif
        return decodeFast<kPairedLiterals>(codes);
    }

    // The rest of a block, with exact bounds on both buffers.
    bool decodeCarefully(const BlockCodes& codes) noexcept {
        for (;;) {
            in_.refill();
            const uint32_t e =
                lookUp(codes.tables->literalLength.data(), codes.literalLengthMask, in_);
            if (entry::isLiteral(e)) {
                // Two literals stored at once, where there is room; with one
                // byte left, a pair means output beyond the end.
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
    static const Level best = bestLevel();
    return inflateExactly(in, out, best);
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
    const auto deflateData =
        in.subspan(kZlibHeaderBytes, in.size() - kZlibHeaderBytes - kAdlerBytes);
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
