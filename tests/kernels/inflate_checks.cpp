// The inflater against the system's zlib, the library that the interpreter's
// zlib module wraps. zlib's verdict on a stream: clean when inflate() reaches
// the stream's end having used all of the input; the inflater must then give
// zlib's bytes for exactly that output size, and refuse every other stream and
// every other size. Inputs and outputs sit against inaccessible pages.

#include "inflate_checks.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include <zlib.h>

#include "check_support.hpp"
#include "kernels/inflate.hpp"
#include "kernels/levels.hpp"

namespace checks {
namespace {

using namespace std::string_view_literals;

constexpr size_t kLargestInput = 1u << 18;
constexpr size_t kLargestOutput = 1u << 20;  // streams that inflate to more are skipped

// ---------------------------------------------------------------------------
// zlib's verdict, and the inflater's beside it

struct ZlibOutcome {
    bool ended = false;       // the stream's end was reached
    size_t unusedInput = 0;   // bytes after it
    bool overflowed = false;  // more output than kLargestOutput
    Bytes out;
};

// `windowBits` 15: a zlib stream, as zlib.decompress reads it; -15: raw deflate data.
ZlibOutcome inflateWithZlib(std::span<const uint8_t> stream, int windowBits = 15) {
    static Bytes scratch(kLargestOutput + 1);
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK) {
        std::fprintf(stderr, "inflateInit2 failed\n");
        std::exit(3);
    }
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = scratch.data();
    z.avail_out = static_cast<uInt>(scratch.size());
    ZlibOutcome outcome;
    outcome.ended = inflate(&z, Z_FINISH) == Z_STREAM_END;
    outcome.unusedInput = z.avail_in;
    outcome.overflowed = z.total_out > kLargestOutput;
    outcome.out.assign(scratch.data(), scratch.data() + z.total_out);
    inflateEnd(&z);
    return outcome;
}

struct Tally {
    long clean = 0;
    long refused = 0;
    long skipped = 0;
};

// Runs the inflater with the instructions of one level.
class Comparison {
public:
    explicit Comparison(kernels::Level level) : level_(level) {}

    // Expects the inflater's verdict and bytes to be zlib's, at zlib's output
    // size, one byte either side of it and the size the stream was made for
    // (where an inflater laxer than zlib would succeed), with both buffers
    // against either end of their room. Returns zlib's verdict, nothing for a
    // skipped stream.
    std::optional<bool> expectLikeZlib(std::span<const uint8_t> stream, size_t madeFor) {
        const ZlibOutcome zlib = inflateWithZlib(stream);
        if (zlib.overflowed || stream.size() > kLargestInput) {
            ++tally.skipped;
            return std::nullopt;
        }
        const bool clean = zlib.ended && zlib.unusedInput == 0;
        ++(clean ? tally.clean : tally.refused);
        const size_t size = zlib.out.size();
        for (const Placement placement : kPlacements) {
            const std::optional<Bytes> ours = inflate(stream, size, placement);
            expect(ours.has_value() == clean, clean ? "refused a stream that zlib inflates"
                                                    : "accepted a stream that zlib refuses");
            expect(!ours || *ours == zlib.out, "bytes other than zlib's");
            expect(!inflate(stream, size + 1, placement), "accepted a larger output");
            expect(size == 0 || !inflate(stream, size - 1, placement), "accepted a smaller output");
            expect(madeFor == size || madeFor > kLargestOutput ||
                       !inflate(stream, madeFor, placement),
                   "accepted the size the stream was made for");
        }
        return clean;
    }

    Tally tally;

private:
    std::optional<Bytes> inflate(std::span<const uint8_t> stream, size_t size,
                                 Placement placement) {
        const uint8_t* in = in_.hold(stream, placement);
        uint8_t* out = out_.place(size, placement);
        if (!kernels::inflateExactly({in, stream.size()}, {out, size}, level_)) {
            return std::nullopt;
        }
        return Bytes(out, out + size);
    }

    kernels::Level level_;
    GuardedBuffer in_{kLargestInput};
    GuardedBuffer out_{kLargestOutput + 1};
};

// ---------------------------------------------------------------------------
// Writing deflate data by hand

class BitWriter {
public:
    BitWriter& bits(uint32_t value, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            put((value >> i) & 1);
        }
        return *this;
    }
    // Huffman codes go most significant bit first.
    BitWriter& code(uint32_t code, unsigned length) {
        for (unsigned i = length; i-- > 0;) {
            put((code >> i) & 1);
        }
        return *this;
    }
    BitWriter& byte(uint8_t value) {
        bytes_.push_back(value);
        used_ = 8;
        return *this;
    }
    // Stored blocks start at a byte boundary.
    BitWriter& align() {
        used_ = 8;
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    void put(uint32_t bit) {
        if (used_ == 8) {
            bytes_.push_back(0);
            used_ = 0;
        }
        bytes_.back() = static_cast<uint8_t>(bytes_.back() | bit << used_++);
    }

    Bytes bytes_;
    unsigned used_ = 8;
};

struct Code {
    uint32_t bits = 0;
    unsigned length = 0;
};

// RFC 1951, 3.2.2: the canonical code of each symbol from the code lengths.
std::vector<Code> canonicalCodes(std::span<const uint8_t> lengths) {
    std::array<uint32_t, 17> count{};
    for (const uint8_t length : lengths) {
        ++count[length];
    }
    count[0] = 0;
    std::array<uint32_t, 17> next{};
    for (unsigned bits = 1, code = 0; bits <= 16; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<Code> codes(lengths.size());
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        if (lengths[symbol] != 0) {
            codes[symbol] = {next[lengths[symbol]]++, lengths[symbol]};
        }
    }
    return codes;
}

// Extra bits and bases of the length symbols 257..285 and distance symbols 0..29.
unsigned lengthExtraBits(unsigned symbol) {
    return symbol < 265 || symbol >= 285 ? 0 : (symbol - 261) / 4;
}
unsigned distanceExtraBits(unsigned symbol) {
    return symbol < 4 || symbol >= 30 ? 0 : symbol / 2 - 1;
}

unsigned lengthBase(unsigned symbol) {
    unsigned base = 3;
    for (unsigned s = 257; s < symbol; ++s) {
        base += 1u << lengthExtraBits(s);
    }
    return symbol == 285 ? 258 : base;
}
unsigned distanceBase(unsigned symbol) {
    unsigned base = 1;
    for (unsigned s = 0; s < symbol; ++s) {
        base += 1u << distanceExtraBits(s);
    }
    return base;
}

struct BlockCodes {
    std::vector<Code> literalLength;
    std::vector<Code> distance;
};

BlockCodes fixedCodes() {
    std::vector<uint8_t> literalLength(288), distance(32, 5);
    for (unsigned s = 0; s < 288; ++s) {
        literalLength[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    }
    return {canonicalCodes(literalLength), canonicalCodes(distance)};
}

void writeSymbol(BitWriter& w, const std::vector<Code>& codes, unsigned symbol) {
    w.code(codes[symbol].bits, codes[symbol].length);
}

void writeMatch(BitWriter& w, const BlockCodes& codes, unsigned lengthSymbol, unsigned lengthExtra,
                unsigned distanceSymbol, unsigned distanceExtra) {
    writeSymbol(w, codes.literalLength, lengthSymbol);
    w.bits(lengthExtra, lengthExtraBits(lengthSymbol));
    writeSymbol(w, codes.distance, distanceSymbol);
    w.bits(distanceExtra, distanceExtraBits(distanceSymbol));
}

constexpr unsigned kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

// The header of a dynamic block. Without runs, each code length is written as
// itself; a run is a code-length symbol and its extra bits.
struct DynamicHeader {
    std::vector<uint8_t> literalLength;  // 257..288 lengths, the count as declared
    std::vector<uint8_t> distance;       // 1..32
    std::array<uint8_t, 19> codeLengthCode = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
                                              4, 4, 4, 5, 5, 5, 5, 5, 5};
    unsigned codeLengthCount = 19;
    std::vector<std::pair<unsigned, unsigned>> runs;

    BlockCodes write(BitWriter& w) const {
        w.bits(static_cast<uint32_t>(literalLength.size() - 257), 5)
            .bits(static_cast<uint32_t>(distance.size() - 1), 5)
            .bits(codeLengthCount - 4, 4);
        for (unsigned i = 0; i < codeLengthCount; ++i) {
            w.bits(codeLengthCode[kCodeLengthOrder[i]], 3);
        }
        const std::vector<Code> codes = canonicalCodes(codeLengthCode);
        std::vector<std::pair<unsigned, unsigned>> written = runs;
        if (written.empty()) {
            for (const auto* lengths : {&literalLength, &distance}) {
                for (const uint8_t length : *lengths) {
                    written.emplace_back(length, 0);
                }
            }
        }
        for (const auto& [symbol, extra] : written) {
            writeSymbol(w, codes, symbol);
            w.bits(extra, symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0);
        }
        return {canonicalCodes(literalLength), canonicalCodes(distance)};
    }
};

// A complete literal/length code of 286 symbols, the fixed code's shape with
// symbols 284 and 285 of 7 bits where 286 and 287 are missing; `count`
// declares more or fewer.
std::vector<uint8_t> ordinaryLiteralLengths(size_t count = 286) {
    std::vector<uint8_t> lengths(count, 0);
    for (unsigned s = 0; s < 286 && s < count; ++s) {
        lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 || s >= 284 ? 7 : 8;
    }
    return lengths;
}

// A complete distance code of 30 symbols: two of 4 bits, 28 of 5.
std::vector<uint8_t> ordinaryDistances() {
    std::vector<uint8_t> lengths(30, 5);
    lengths[0] = lengths[1] = 4;
    return lengths;
}

uint8_t zlibCheck(uint8_t method) { return static_cast<uint8_t>((31 - (method << 8) % 31) % 31); }

// A stream made for a test, and the size it is meant to inflate to.
struct MadeStream {
    Bytes bytes;
    size_t inflatedSize = 0;
};

std::string_view asText(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A zlib stream around deflate data, with the Adler-32 of `inflated`, or of
// what zlib inflates the data to.
MadeStream zlibStream(const Bytes& deflate, std::optional<std::string_view> inflated = {},
                      uint8_t method = 0x78) {
    const Bytes bytes = inflated ? Bytes(inflated->begin(), inflated->end())
                                 : inflateWithZlib(deflate, -15).out;
    const uint32_t adler = adler32(1, bytes.data(), static_cast<uInt>(bytes.size()));
    Bytes stream = {method, zlibCheck(method)};
    stream.insert(stream.end(), deflate.begin(), deflate.end());
    for (const int shift : {24, 16, 8, 0}) {
        stream.push_back(static_cast<uint8_t>(adler >> shift));
    }
    return {stream, bytes.size()};
}

// ---------------------------------------------------------------------------
// The rules, one stream each

struct RuleCase {
    const char* name;
    bool zlibAccepts;
    MadeStream stream;
};

// Streams that break a rule are otherwise whole, with the checksum of what
// a lax inflater would make of them, so that only the rule refuses them.
using Body = std::function<void(BitWriter&, const BlockCodes&)>;

MadeStream fixedBlock(Body body, std::optional<std::string_view> inflated = {}) {
    BitWriter w;
    w.bits(1, 1).bits(1, 2);
    const BlockCodes codes = fixedCodes();
    body(w, codes);
    writeSymbol(w, codes.literalLength, 256);
    return zlibStream(w.bytes(), inflated);
}

// A final dynamic block: `header`, then `body`, then the end-of-block code when
// the literal/length code has one.
MadeStream dynamicBlock(const DynamicHeader& header, Body body,
                   std::optional<std::string_view> inflated = {}) {
    BitWriter w;
    w.bits(1, 1).bits(2, 2);
    const BlockCodes codes = header.write(w);
    body(w, codes);
    if (codes.literalLength.size() > 256 && codes.literalLength[256].length != 0) {
        writeSymbol(w, codes.literalLength, 256);
    }
    return zlibStream(w.bytes(), inflated);
}

// Deflate data of stored blocks of bytes 0, 7, 14, ... with the given lengths
// and the complements that should be theirs.
Bytes storedBlocks(std::initializer_list<std::pair<uint32_t, uint32_t>> lengthsAndComplements) {
    BitWriter w;
    size_t left = lengthsAndComplements.size();
    for (const auto& [length, complement] : lengthsAndComplements) {
        w.bits(--left == 0 ? 1 : 0, 1).bits(0, 2).align();
        w.byte(length & 0xFF).byte(length >> 8 & 0xFF);
        w.byte(complement & 0xFF).byte(complement >> 8 & 0xFF);
        for (uint32_t i = 0; i < length; ++i) {
            w.byte(static_cast<uint8_t>(i * 7));
        }
    }
    return w.bytes();
}

DynamicHeader withLengths(std::vector<uint8_t> literalLength, std::vector<uint8_t> distance) {
    DynamicHeader header;
    header.literalLength = std::move(literalLength);
    header.distance = std::move(distance);
    return header;
}

void someLiterals(BitWriter& w, const BlockCodes& codes) {
    for (const unsigned literal : {'z', 'l', 'i', 'b'}) {
        writeSymbol(w, codes.literalLength, literal);
    }
}
// "aaaa": 'a', then a match of 3 at distance 1.
void literalAndMatch(BitWriter& w, const BlockCodes& codes) {
    writeSymbol(w, codes.literalLength, 'a');
    writeMatch(w, codes, 257, 0, 0, 0);
}
void nothing(BitWriter&, const BlockCodes&) {}

std::vector<RuleCase> ruleCases() {
    std::vector<RuleCase> cases;
    const auto add = [&](const char* name, bool accepts, MadeStream stream) {
        cases.push_back({name, accepts, std::move(stream)});
    };
    const MadeStream simple = fixedBlock(someLiterals);
    const auto withHeader = [&](uint8_t method, uint8_t flags) {
        MadeStream stream = simple;
        stream.bytes[0] = method;
        stream.bytes[1] = flags;
        return stream;
    };

    // The zlib header.
    for (uint8_t window = 0; window <= 7; ++window) {
        const auto method = static_cast<uint8_t>(window << 4 | 8);
        add("a window of 2^(8..15) bytes", true, withHeader(method, zlibCheck(method)));
    }
    add("a window of 64 KiB", false, withHeader(0x88, zlibCheck(0x88)));
    add("a method other than deflate", false, withHeader(0x77, zlibCheck(0x77)));
    add("wrong check bits", false, withHeader(0x78, 0x02));
    {
        const auto flags = static_cast<uint8_t>(0x20 + (31 - ((0x78 << 8) + 0x20) % 31) % 31);
        MadeStream stream = withHeader(0x78, flags);
        add("a preset dictionary flag", false, stream);
        stream.bytes.insert(stream.bytes.begin() + 2, {0, 0, 0, 1});  // the dictionary's Adler-32
        add("a preset dictionary", false, stream);
    }
    {
        MadeStream stream = simple;
        stream.bytes.back() ^= 1;
        add("a wrong Adler-32", false, stream);
    }

    // Block types and stored blocks.
    add("block type 3", false, zlibStream(BitWriter().bits(1, 1).bits(3, 2).bytes(), ""));
    add("an empty stored block", true, zlibStream(storedBlocks({{0, 0xFFFF}})));
    add("empty stored blocks around one with data", true,
        zlibStream(storedBlocks({{0, 0xFFFF}, {5, 0xFFFA}, {0, 0xFFFF}})));
    add("stored lengths that disagree", false,
        zlibStream(storedBlocks({{5, 0xFFFB}}), "\x00\x07\x0e\x15\x1c"sv));
    add("no final block", false,
        zlibStream(BitWriter().bits(0, 3).align().byte(0).byte(0).byte(0xFF).byte(0xFF).bytes()));

    // The fixed code.
    add("literals of the fixed code", true, simple);
    add("length 258 as symbol 284 with extra bits 31", true,
        fixedBlock([](BitWriter& w, const BlockCodes& codes) {
            writeSymbol(w, codes.literalLength, 'a');
            writeMatch(w, codes, 284, 31, 0, 0);
        }));
    add("length 258 as symbol 285", true, fixedBlock([](BitWriter& w, const BlockCodes& codes) {
            writeSymbol(w, codes.literalLength, 'a');
            writeMatch(w, codes, 285, 0, 0, 0);
        }));
    // Symbols 286 and 287 as a match at distance 1, checksummed as any length.
    for (const unsigned symbol : {286, 287}) {
        for (unsigned length = 3; length <= 258; ++length) {
            add("fixed literal/length symbol 286 or 287", false,
                fixedBlock([symbol](BitWriter& w, const BlockCodes& codes) {
                    literalAndMatch(w, codes);
                    writeSymbol(w, codes.literalLength, symbol);
                    writeSymbol(w, codes.distance, 0);
                }, std::string(4 + length, 'a')));
        }
    }
    for (const unsigned symbol : {30, 31}) {
        add("fixed distance symbol 30 or 31", false,
            fixedBlock([symbol](BitWriter& w, const BlockCodes& codes) {
                writeSymbol(w, codes.literalLength, 'a');
                writeMatch(w, codes, 257, 0, symbol, 0);
            }, "aaaa"));
    }
    add("a distance before the first byte", false,
        fixedBlock([](BitWriter& w, const BlockCodes& codes) {
            writeMatch(w, codes, 257, 0, 0, 0);
        }, "\0\0\0"sv));
    add("a distance one past the output so far", false,
        fixedBlock([](BitWriter& w, const BlockCodes& codes) {
            someLiterals(w, codes);
            writeMatch(w, codes, 257, 0, 4, 0);  // distance 5 after 4 bytes
        }, "zlib\0zl"sv));
    add("a distance as far as the output so far", true,
        fixedBlock([](BitWriter& w, const BlockCodes& codes) {
            someLiterals(w, codes);
            writeMatch(w, codes, 257, 0, 3, 0);
        }));
    // 32 KiB stored, then a match 32768 back: zlib's window is 32 KiB whatever
    // the header declares.
    for (const uint8_t method : {0x78, 0x08}) {
        BitWriter w;
        w.bits(0, 3).align().byte(0).byte(0x80).byte(0xFF).byte(0x7F);
        for (unsigned i = 0; i < 32768; ++i) {
            w.byte(static_cast<uint8_t>(i % 251));
        }
        w.bits(1, 1).bits(1, 2);
        const BlockCodes codes = fixedCodes();
        writeMatch(w, codes, 257, 0, 29, 8191);
        writeSymbol(w, codes.literalLength, 256);
        add(method == 0x78 ? "distance 32768" : "distance 32768 under a 256-byte window", true,
            zlibStream(w.bytes(), {}, method));
    }

    // Dynamic blocks: counts, the code-length code and its runs.
    const std::vector<uint8_t> literalLengths = ordinaryLiteralLengths();
    const std::vector<uint8_t> distances = ordinaryDistances();
    add("286 literal/length and 30 distance codes", true,
        dynamicBlock(withLengths(literalLengths, distances), literalAndMatch));
    for (const size_t count : {287, 288}) {
        add("287 or 288 literal/length codes", false,
            dynamicBlock(withLengths(ordinaryLiteralLengths(count), distances), someLiterals,
                         "zlib"));
    }
    for (const size_t count : {31, 32}) {
        std::vector<uint8_t> more = distances;
        more.resize(count, 0);
        add("31 or 32 distance codes", false,
            dynamicBlock(withLengths(literalLengths, more), someLiterals, "zlib"));
    }
    {
        DynamicHeader header = withLengths(literalLengths, distances);
        header.codeLengthCode[0] = 3;  // 12 codes of 4 bits, 6 of 5 and one of 3
        add("an over-subscribed code-length code", false,
            dynamicBlock(header, someLiterals, "zlib"));
        header.codeLengthCode[0] = 5;  // 12 codes of 4 bits and 7 of 5
        add("an incomplete code-length code", false, dynamicBlock(header, someLiterals, "zlib"));
        header.codeLengthCode.fill(0);
        header.codeLengthCount = 4;
        add("a code-length code with no codes", false, dynamicBlock(header, someLiterals, "zlib"));
        header.codeLengthCode[16] = 1;
        add("a code-length code of one 1-bit code", false,
            dynamicBlock(header, someLiterals, "zlib"));
    }
    {
        // 255 literals of 8 bits, one more and the end of block of 9, three
        // unused length symbols and an unused first distance symbol: 17 repeats
        // their four zeros across the two codes.
        std::vector<uint8_t> literalsOnly(260, 8);
        literalsOnly[255] = literalsOnly[256] = 9;
        literalsOnly[257] = literalsOnly[258] = literalsOnly[259] = 0;
        std::vector<uint8_t> laterDistances(30, 5);
        laterDistances[0] = 0;
        laterDistances[1] = laterDistances[2] = laterDistances[3] = 4;
        DynamicHeader header = withLengths(literalsOnly, laterDistances);
        for (unsigned s = 0; s < 257; ++s) {
            header.runs.emplace_back(literalsOnly[s], 0);
        }
        header.runs.emplace_back(17, 1);
        for (unsigned s = 1; s < 30; ++s) {
            header.runs.emplace_back(laterDistances[s], 0);
        }
        add("a repeat across the literal/length and distance lengths", true,
            dynamicBlock(header, someLiterals));
        header.runs.resize(header.runs.size() - 2);
        header.runs.emplace_back(16, 0);  // three 5s where two remain
        add("a repeat past the last code length", false,
            dynamicBlock(header, someLiterals, "zlib"));
        header.runs.resize(257);
        header.runs.emplace_back(18, 127);  // 138 zeros where 33 lengths remain
        add("zeros past the last code length", false, dynamicBlock(header, someLiterals, "zlib"));
        header.runs.front() = {16, 0};
        add("a repeat with no length before it", false, dynamicBlock(header, someLiterals, "zlib"));
    }

    // Dynamic blocks: the codes themselves.
    {
        std::vector<uint8_t> noEnd = literalLengths;
        noEnd[256] = 0;
        add("no end-of-block code", false,
            dynamicBlock(withLengths(noEnd, distances), someLiterals, "zlib"));
        std::vector<uint8_t> over = literalLengths;
        over[283] = 7;
        add("an over-subscribed literal/length code", false,
            dynamicBlock(withLengths(over, distances), someLiterals, "zlib"));
        std::vector<uint8_t> incomplete = literalLengths;
        incomplete[284] = 8;
        add("an incomplete literal/length code", false,
            dynamicBlock(withLengths(incomplete, distances), someLiterals, "zlib"));
    }
    std::vector<uint8_t> endOnly(257, 0);
    endOnly[256] = 1;
    add("a literal/length code of end-of-block alone", true,
        dynamicBlock(withLengths(endOnly, {0}), nothing));
    add("the unused code of a one-code literal/length code", false,
        dynamicBlock(withLengths(endOnly, {0}),
                     [](BitWriter& w, const BlockCodes&) { w.bits(1, 1); }, ""));
    endOnly[256] = 2;
    add("a literal/length code of one 2-bit code", false,
        dynamicBlock(withLengths(endOnly, {0}), nothing, ""));

    add("a single distance code of one bit", true,
        dynamicBlock(withLengths(literalLengths, {1}), literalAndMatch));
    add("the unused code of a one-code distance code", false,
        dynamicBlock(withLengths(literalLengths, {1}), [](BitWriter& w, const BlockCodes& codes) {
            writeSymbol(w, codes.literalLength, 'a');
            writeSymbol(w, codes.literalLength, 257);
            w.bits(1, 1);
        }, "aaaa"));
    add("a distance code of one 2-bit code", false,
        dynamicBlock(withLengths(literalLengths, {2}), literalAndMatch, "aaaa"));
    add("an empty distance code with no match", true,
        dynamicBlock(withLengths(literalLengths, {0}), someLiterals));
    add("an empty distance code and a match", false,
        dynamicBlock(withLengths(literalLengths, {0}), literalAndMatch, "aaaa"));
    add("an over-subscribed distance code", false,
        dynamicBlock(withLengths(literalLengths, {1, 1, 1}), literalAndMatch, "aaaa"));
    add("an incomplete distance code", false,
        dynamicBlock(withLengths(literalLengths, {1, 2}), literalAndMatch, "aaaa"));
    {
        // Codes of 1..15 bits and one more of 15, for literals 'a'.. and the
        // end of block and the shortest length, and for distances.
        std::vector<uint8_t> deepLiterals(258, 0), deepDistances(16, 0);
        for (unsigned s = 0; s < 14; ++s) {
            deepLiterals['a' + s] = static_cast<uint8_t>(s + 1);
        }
        deepLiterals[256] = deepLiterals[257] = 15;
        for (unsigned s = 0; s < 15; ++s) {
            deepDistances[s] = static_cast<uint8_t>(s + 1);
        }
        deepDistances[15] = 15;
        add("codes of up to 15 bits", true,
            dynamicBlock(withLengths(deepLiterals, deepDistances),
                         [](BitWriter& w, const BlockCodes& codes) {
                for (const unsigned literal : {'a', 'n', 'm', 'b'}) {
                    writeSymbol(w, codes.literalLength, literal);
                }
                for (unsigned i = 0; i < 70; ++i) {
                    writeMatch(w, codes, 257, 0, 0, 0);  // 210 more bytes
                }
                writeMatch(w, codes, 257, 0, 14, 5);  // distance 134, a 15-bit code
                writeMatch(w, codes, 257, 0, 15, 0);  // distance 193, the other one
            }));
    }
    return cases;
}

// Streams that zlib accepts, for their cuts (every `cutStep` bytes) and trailing bytes.
struct CleanStream {
    Bytes bytes;
    size_t inflatedSize;
    size_t cutStep;
};

// With a negative `windowBits` raw deflate data, which `flush` may leave open.
Bytes zlibCompressed(const Bytes& data, int level, int windowBits = 15, int memoryLevel = 8,
                     int strategy = Z_DEFAULT_STRATEGY, int flush = Z_FINISH) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, windowBits, memoryLevel, strategy);
    Bytes packed(deflateBound(&z, data.size()) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = packed.data();
    z.avail_out = static_cast<uInt>(packed.size());
    deflate(&z, flush);
    packed.resize(z.total_out);
    deflateEnd(&z);
    return packed;
}

std::vector<CleanStream> cleanStreams() {
    std::mt19937 random(3);
    Bytes small(3000);
    for (size_t i = 0; i < small.size(); ++i) {
        small[i] = static_cast<uint8_t>(i % 40 < 20 ? random() % 4 : i / 7);
    }
    std::vector<CleanStream> streams;
    for (const int level : {0, 1, 9}) {
        streams.push_back({zlibCompressed(small, level), small.size(), 1});
    }
    // Literals only, mostly of small byte values, as in filtered photographs:
    // short literal codes, which the inflater decodes two at a time in long
    // outputs.
    Bytes large(100000);
    std::geometric_distribution<int> smallValues(0.3);
    for (uint8_t& byte : large) {
        byte = static_cast<uint8_t>(std::min(smallValues(random), 255));
    }
    const Bytes packed = zlibCompressed(large, 6, 15, 8, Z_HUFFMAN_ONLY);
    streams.push_back({packed, large.size(), packed.size() / 150});
    // The same data ending in empty stored blocks: the output fills up while
    // input remains.
    Bytes open = zlibCompressed(large, 6, -15, 8, Z_HUFFMAN_ONLY, Z_SYNC_FLUSH);
    for (int block = 0; block < 6; ++block) {
        open.insert(open.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
    }
    open.insert(open.end(), {0x03, 0x00});  // an empty final block of the fixed code
    const MadeStream stream =
        zlibStream(open, asText(large));
    streams.push_back({stream.bytes, large.size(), stream.bytes.size() / 50});
    return streams;
}

// ---------------------------------------------------------------------------
// Random streams

class StreamMaker {
public:
    explicit StreamMaker(uint64_t seed) : random_(seed) {}

    MadeStream next() {
        const unsigned kind = below(10);
        if (kind < 3) {
            return compressed();
        }
        if (kind < 7) {
            return handRolled();
        }
        MadeStream made = below(2) == 0 ? compressed() : handRolled();
        for (unsigned n = 1 + below(3); n > 0; --n) {
            mutate(made.bytes);
        }
        if (below(2) == 0) {
            retrail(made.bytes);
        }
        return made;
    }

private:
    unsigned below(unsigned n) { return static_cast<unsigned>(random_() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }

    // Bytes with the runs, repeats and noise of image rows.
    Bytes sample() {
        const size_t size = chance(10) ? below(70000) : below(3000);
        Bytes data;
        while (data.size() < size) {
            const unsigned run = 1 + below(300);
            switch (below(4)) {
                case 0:
                    for (unsigned i = 0; i < run; ++i) {
                        data.push_back(static_cast<uint8_t>(random_()));
                    }
                    break;
                case 1:
                    data.insert(data.end(), run, static_cast<uint8_t>(random_()));
                    break;
                case 2: {
                    const unsigned period = 1 + below(9);
                    for (unsigned i = 0; i < run; ++i) {
                        data.push_back(static_cast<uint8_t>(i % period * 37));
                    }
                    break;
                }
                default:
                    if (!data.empty()) {
                        const size_t from = below(static_cast<unsigned>(data.size()));
                        const size_t period = data.size() - from;
                        for (unsigned i = 0; i < run; ++i) {
                            data.push_back(data[from + i % period]);
                        }
                    }
            }
        }
        data.resize(size);
        return data;
    }

    MadeStream compressed() {
        const Bytes data = sample();
        constexpr int kStrategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE,
                                       Z_FIXED};
        return {zlibCompressed(data, static_cast<int>(below(10)), 9 + static_cast<int>(below(7)),
                               1 + static_cast<int>(below(9)), kStrategies[below(5)]),
                data.size()};
    }

    // A complete code of `count` codes (1 < count <= 2^longest), shaped at
    // random: leaves of a binary tree split until there are enough.
    std::vector<uint8_t> completeLengths(size_t count, unsigned longest) {
        std::vector<uint8_t> lengths = {0};
        while (lengths.size() < count) {
            size_t pick = below(static_cast<unsigned>(lengths.size()));
            if (chance(30)) {  // the deepest leaf that may grow: long codes
                for (size_t i = 0; i < lengths.size(); ++i) {
                    const bool deeper = lengths[pick] >= longest || lengths[i] > lengths[pick];
                    if (lengths[i] < longest && deeper) {
                        pick = i;
                    }
                }
            }
            if (lengths[pick] < longest) {
                const uint8_t deeper = ++lengths[pick];
                lengths.push_back(deeper);
            }
        }
        return lengths;
    }

    // Lengths for `symbols` symbols, `used` of them with codes (always the end
    // of block when it is among them): complete, a single 1-bit code, or now
    // and then made wrong.
    std::vector<uint8_t> randomCode(size_t symbols, size_t used, bool needsEnd) {
        std::vector<uint8_t> lengths(symbols, 0);
        std::vector<size_t> order(symbols);
        for (size_t i = 0; i < symbols; ++i) {
            order[i] = i;
        }
        std::shuffle(order.begin(), order.end(), random_);
        if (needsEnd) {
            std::iter_swap(order.begin(), std::find(order.begin(), order.end(), size_t{256}));
        }
        const std::vector<uint8_t> shape =
            used == 1 ? std::vector<uint8_t>{1} : completeLengths(used, 15);
        for (size_t i = 0; i < used && i < symbols; ++i) {
            lengths[order[i]] = shape[i];
        }
        if (chance(3)) {
            lengths[below(static_cast<unsigned>(symbols))] = static_cast<uint8_t>(below(16));
        }
        return lengths;
    }

    // The code-length symbols for `lengths`, with repeats where they fit and chance allows.
    std::vector<std::pair<unsigned, unsigned>> runsFor(const std::vector<uint8_t>& lengths) {
        std::vector<std::pair<unsigned, unsigned>> runs;
        for (size_t i = 0; i < lengths.size();) {
            size_t same = 1;
            while (i + same < lengths.size() && lengths[i + same] == lengths[i]) ++same;
            if (lengths[i] == 0 && same >= 11 && chance(70)) {
                const unsigned n =
                    11 + below(static_cast<unsigned>(std::min<size_t>(same, 138) - 10));
                runs.emplace_back(18, n - 11);
                i += n;
            } else if (lengths[i] == 0 && same >= 3 && chance(70)) {
                const unsigned n = 3 + below(static_cast<unsigned>(std::min<size_t>(same, 10) - 2));
                runs.emplace_back(17, n - 3);
                i += n;
            } else if (i > 0 && lengths[i - 1] == lengths[i] && same >= 3 && chance(70)) {
                const unsigned n = 3 + below(static_cast<unsigned>(std::min<size_t>(same, 6) - 2));
                runs.emplace_back(16, n - 3);
                i += n;
            } else {
                runs.emplace_back(lengths[i], 0);
                ++i;
            }
        }
        return runs;
    }

    DynamicHeader randomHeader() {
        DynamicHeader header;
        const size_t literalLengthCount = chance(3) ? 287 + below(2) : 257 + below(30);
        const size_t distanceCount = chance(3) ? 31 + below(2) : 1 + below(30);
        header.literalLength =
            randomCode(literalLengthCount, 1 + below(static_cast<unsigned>(literalLengthCount)),
                       chance(97));
        const size_t usedDistances = below(static_cast<unsigned>(distanceCount) + 1);
        header.distance = usedDistances == 0 ? std::vector<uint8_t>(distanceCount, 0)
                                             : randomCode(distanceCount, usedDistances, false);
        std::vector<uint8_t> all = header.literalLength;
        all.insert(all.end(), header.distance.begin(), header.distance.end());
        header.runs = runsFor(all);
        // A complete code over the code-length symbols that the runs use.
        std::vector<unsigned> symbols;
        for (const auto& run : header.runs) {
            if (std::find(symbols.begin(), symbols.end(), run.first) == symbols.end()) {
                symbols.push_back(run.first);
            }
        }
        if (symbols.size() == 1) {
            symbols.push_back(symbols[0] == 0 ? 1 : 0);
        }
        const std::vector<uint8_t> shape = completeLengths(symbols.size(), 7);
        header.codeLengthCode.fill(0);
        for (size_t i = 0; i < symbols.size(); ++i) {
            header.codeLengthCode[symbols[i]] = shape[i];
        }
        if (chance(3)) {
            header.codeLengthCode[below(19)] = static_cast<uint8_t>(below(8));
        }
        header.codeLengthCount = 4;
        for (unsigned i = 0; i < 19; ++i) {
            if (header.codeLengthCode[kCodeLengthOrder[i]] != 0) {
                header.codeLengthCount = i + 1;
            }
        }
        header.codeLengthCount = std::max(header.codeLengthCount, 4u);
        return header;
    }

    // Symbols from the codes, matches mostly within the output so far, and the
    // end of the block; now and then a symbol that zlib refuses.
    void randomBody(BitWriter& w, const BlockCodes& codes, Bytes& out) {
        std::vector<unsigned> literalLengths, distances;
        for (unsigned s = 0; s < codes.literalLength.size(); ++s) {
            if (codes.literalLength[s].length != 0 && s != 256 && (s < 286 || chance(1))) {
                literalLengths.push_back(s);
            }
        }
        for (unsigned s = 0; s < codes.distance.size(); ++s) {
            if (codes.distance[s].length != 0 && (s < 30 || chance(1))) {
                distances.push_back(s);
            }
        }
        for (unsigned n = below(400); n > 0 && !literalLengths.empty(); --n) {
            const unsigned symbol =
                literalLengths[below(static_cast<unsigned>(literalLengths.size()))];
            if (symbol < 256) {
                writeSymbol(w, codes.literalLength, symbol);
                out.push_back(static_cast<uint8_t>(symbol));
                continue;
            }
            std::vector<unsigned> near;
            for (const unsigned d : distances) {
                if (distanceBase(d) <= out.size() || chance(1)) {
                    near.push_back(d);
                }
            }
            if (near.empty()) {
                continue;
            }
            const unsigned d = near[below(static_cast<unsigned>(near.size()))];
            const size_t reach = out.size() - std::min(out.size(), size_t{distanceBase(d)}) + 1;
            const size_t extraRange = std::min(reach, size_t{1} << distanceExtraBits(d));
            const auto distanceExtra = static_cast<unsigned>(random_() % extraRange);
            const unsigned lengthExtra = below(1u << lengthExtraBits(symbol));
            writeMatch(w, codes, symbol, lengthExtra, d, distanceExtra);
            // What a lax inflater would copy, with zeros from before the start.
            const size_t distance = distanceBase(d) + distanceExtra;
            for (unsigned i = symbol < 286 ? lengthBase(symbol) + lengthExtra : 0; i > 0; --i) {
                out.push_back(distance <= out.size() ? out[out.size() - distance] : 0);
            }
        }
        if (codes.literalLength.size() > 256 && codes.literalLength[256].length != 0) {
            writeSymbol(w, codes.literalLength, 256);
        }
    }

    MadeStream handRolled() {
        BitWriter w;
        Bytes out;
        for (unsigned blocks = 1 + below(4); blocks > 0; --blocks) {
            const unsigned kind = below(100);
            w.bits(blocks == 1 ? 1 : 0, 1);
            if (kind < 20) {
                const uint32_t length = below(300);
                const uint32_t complement = chance(2) ? below(65536) : ~length & 0xFFFF;
                w.bits(0, 2).align().byte(length & 0xFF).byte(static_cast<uint8_t>(length >> 8));
                w.byte(complement & 0xFF).byte(static_cast<uint8_t>(complement >> 8));
                for (uint32_t i = 0; i < length; ++i) {
                    out.push_back(static_cast<uint8_t>(random_()));
                    w.byte(out.back());
                }
            } else if (kind < 50) {
                w.bits(1, 2);
                randomBody(w, fixedCodes(), out);
            } else if (kind < 99) {
                w.bits(2, 2);
                const BlockCodes codes = randomHeader().write(w);
                randomBody(w, codes, out);
            } else {
                w.bits(3, 2);
            }
        }
        return zlibStream(w.bytes(), asText(out));
    }

    void mutate(Bytes& stream) {
        if (stream.empty()) {
            stream.push_back(static_cast<uint8_t>(random_()));
            return;
        }
        const size_t at = below(static_cast<unsigned>(stream.size()));
        switch (below(6)) {
            case 0:
                stream[at] ^= static_cast<uint8_t>(1u << below(8));
                break;
            case 1:
                stream[at] = static_cast<uint8_t>(random_());
                break;
            case 2:
                stream.resize(at);
                break;
            case 3:
                for (unsigned n = 1 + below(4); n > 0; --n) {
                    stream.push_back(static_cast<uint8_t>(random_()));
                }
                break;
            case 4:
                stream.erase(stream.begin() + static_cast<long>(at));
                break;
            default:
                stream.insert(stream.begin() + static_cast<long>(at),
                              static_cast<uint8_t>(random_()));
        }
    }

    // Cuts the stream after its deflate data, wherever zlib finds its end, and
    // gives it the Adler-32 of what it inflates to: mutations that leave valid
    // deflate data then make clean streams.
    void retrail(Bytes& stream) {
        if (stream.size() < 2) {
            return;
        }
        const ZlibOutcome raw = inflateWithZlib(std::span(stream).subspan(2), -15);
        if (!raw.ended) {
            return;
        }
        stream.resize(stream.size() - raw.unusedInput);
        const uint32_t adler = adler32(1, raw.out.data(), static_cast<uInt>(raw.out.size()));
        for (const int shift : {24, 16, 8, 0}) {
            stream.push_back(static_cast<uint8_t>(adler >> shift));
        }
    }

    std::mt19937_64 random_;
};

}  // namespace

void checkInflaterRules() {
    const std::vector<RuleCase> cases = ruleCases();
    const std::vector<CleanStream> streams = cleanStreams();
    for (const kernels::AvailableLevel& l : kernels::availableLevels()) {
        Comparison comparison(l.level);
        for (const RuleCase& rule : cases) {
            describe("inflater %s: %s", kernels::levelName(l.level), rule.name);
            const std::optional<bool> zlibAccepts =
                comparison.expectLikeZlib(rule.stream.bytes, rule.stream.inflatedSize);
            expect(zlibAccepts == rule.zlibAccepts,
                   "zlib's verdict is not the one the case is about");
        }
        for (const CleanStream& clean : streams) {
            const Bytes& stream = clean.bytes;
            for (size_t cut = 0; cut <= stream.size(); cut += clean.cutStep) {
                describe("inflater %s: a stream of %zu bytes cut to %zu",
                         kernels::levelName(l.level), stream.size(), cut);
                comparison.expectLikeZlib(std::span(stream).first(cut), clean.inflatedSize);
            }
            // A byte after the stream, and its Adler-32 twice.
            for (const size_t trailing : {1, 4}) {
                describe("inflater %s: a stream of %zu bytes and %zu trailing bytes",
                         kernels::levelName(l.level), stream.size(), trailing);
                Bytes longer = stream;
                longer.insert(longer.end(), stream.end() - static_cast<long>(trailing),
                              stream.end());
                comparison.expectLikeZlib(longer, clean.inflatedSize);
            }
        }
    }
}

// The plainest level and the best one.
void checkInflaterAgainstZlib() {
    for (const kernels::Level level : {kernels::Level::kReference, kernels::bestLevel()}) {
        Comparison comparison(level);
        StreamMaker maker(20240611);
        for (long i = 0; i < randomStreamCount; ++i) {
            const MadeStream made = maker.next();
            describe("inflater %s: random stream %ld of %zu bytes", kernels::levelName(level), i,
                     made.bytes.size());
            comparison.expectLikeZlib(made.bytes, made.inflatedSize);
        }
        std::printf("inflater-random %s: %ld streams: %ld clean, %ld refused, %ld skipped\n",
                    kernels::levelName(level), randomStreamCount, comparison.tally.clean,
                    comparison.tally.refused, comparison.tally.skipped);
    }
}

}  // namespace checks
