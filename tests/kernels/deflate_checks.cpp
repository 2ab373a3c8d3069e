// Checks that the deflate kernel writes exactly the stream of the system zlib's
// compress2 at level 6, on one thread and split over 2, 3 and 8: the edges of
// the input (empty, a few bytes, runs, incompressible data, a stream that ends
// inside a match), the window moves near 32 and 64 KiB, every block boundary
// and one symbol either side, the distance limits, periods near the window
// size, the samples of the self-check with every kind of block, and seeded
// random mixtures of all of these. Also the Adler-32 routes against zlib's, and
// the check that inflates each stream again.
//
// Usage: deflate_checks [section...] [--mixtures N] [--seed S]
// Sections: edges windows blocks distances self-check checks mixtures (all by
// default). Prints
// each mismatch and a summary of the stitches; exits with 1 on any mismatch.

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/adler32.hpp"
#include "kernels/deflate/format.hpp"
#include "kernels/deflate/round_trip.hpp"
#include "kernels/deflate/self_check.hpp"
#include "kernels/deflate/zlib_stream.hpp"
#include "kernels/thread_pool.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace deflate = kernels::deflate;

int mismatchCount = 0;
std::size_t stitchCount = 0;
std::size_t unmetCount = 0;
std::int64_t longestMeeting = 0;

Bytes zlibStream(const Bytes& in) {
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 6) != Z_OK) {
        std::fprintf(stderr, "compress2 failed\n");
        std::exit(3);
    }
    out.resize(size);
    return out;
}

void report(const std::string& name, const Bytes& in, const char* route, const Bytes& expected,
            const Bytes& actual) {
    if (actual == expected) {
        return;
    }
    if (++mismatchCount > 40) {
        return;
    }
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) {
        ++at;
    }
    std::fprintf(stderr, "MISMATCH %s (%zu bytes), %s: %zu bytes instead of %zu, first difference at %zu\n",
                 name.c_str(), in.size(), route, actual.size(), expected.size(), at);
}

// The stream on one thread, and split over 2, 3 and 8 threads into segments
// of a few sizes, so that stitches fall all over the input.
void check(const std::string& name, const Bytes& in) {
    const Bytes expected = zlibStream(in);
    Bytes out(deflate::streamCapacity(in.size()));
    out.resize(deflate::compressSerially(in, out));
    report(name, in, "one thread", expected, out);
    kernels::ThreadPool& pool = kernels::ThreadPool::shared();
    const std::size_t n = in.size();
    const deflate::Split splits[] = {{2, n / 2 + 1}, {3, n / 7 + 1}, {8, 3001}};
    for (const deflate::Split& split : splits) {
        deflate::StitchReport stitches;
        out.assign(deflate::streamCapacity(n), 0);
        out.resize(deflate::compressInParallel(in, out, pool, split, &stitches));
        const std::string route = std::to_string(split.ways) + " threads, segments of " +
                                  std::to_string(split.segmentSize);
        report(name, in, route.c_str(), expected, out);
        for (const std::int64_t distance : stitches.meetingDistances) {
            ++stitchCount;
            unmetCount += distance < 0 ? 1 : 0;
            longestMeeting = std::max(longestMeeting, distance);
        }
    }
}

// --- inputs -------------------------------------------------------------------

// A de Bruijn sequence over bytes, of order 3: no three bytes repeat, so zlib
// finds no match and writes one literal per byte.
Bytes withoutMatches(std::size_t size) {
    Bytes sequence;
    std::vector<int> word{-1};
    while (!word.empty() && sequence.size() < size) {
        ++word.back();
        const std::size_t period = word.size();
        if (3 % period == 0) {
            for (const int symbol : word) {
                sequence.push_back(static_cast<std::uint8_t>(symbol));
            }
        }
        while (word.size() < 3) {
            word.push_back(word[word.size() - period]);
        }
        while (!word.empty() && word.back() == 255) {
            word.pop_back();
        }
    }
    sequence.resize(size);
    return sequence;
}

Bytes randomBytes(std::mt19937& random, std::size_t size, unsigned values = 256) {
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random() % values);
    }
    return bytes;
}

// Copies `length` bytes from `distance` back, at the end of `bytes`.
void repeat(Bytes& bytes, std::size_t distance, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        bytes.push_back(bytes[bytes.size() - distance]);
    }
}

// --- sections -----------------------------------------------------------------

void edges() {
    std::mt19937 random(1);
    for (std::size_t size = 0; size <= 3; ++size) {
        for (int sample = 0; sample < 40; ++sample) {
            check("short stream", randomBytes(random, size, sample < 20 ? 2 : 256));
        }
    }
    for (const std::size_t size : {1u, 2u, 3u, 4u, 258u, 259u, 260u, 261u, 262u, 1000u, 100000u}) {
        check("zeros", Bytes(size, 0));
    }
    Bytes runs = randomBytes(random, 1000);
    for (const std::size_t run : {259u, 300u, 516u, 517u, 5000u}) {
        runs.insert(runs.end(), run, static_cast<std::uint8_t>(run));
        const Bytes noise = randomBytes(random, 50);
        runs.insert(runs.end(), noise.begin(), noise.end());
    }
    check("runs longer than 258", runs);
    check("random, stored blocks", randomBytes(random, 300000));
    Bytes halfRandom;
    for (int part = 0; part < 100; ++part) {
        const Bytes noise = randomBytes(random, 1024);
        halfRandom.insert(halfRandom.end(), noise.begin(), noise.end());
        const Bytes few = randomBytes(random, 1024, 4);
        halfRandom.insert(halfRandom.end(), few.begin(), few.end());
    }
    check("half random", halfRandom);
    const Bytes phrase = randomBytes(random, 700, 16);
    for (const std::size_t cut : {3u, 4u, 100u, 257u, 258u, 259u, 600u}) {
        Bytes inside = phrase;
        inside.insert(inside.end(), phrase.begin(), phrase.begin() + static_cast<std::ptrdiff_t>(cut));
        check("ending inside a match of " + std::to_string(cut), inside);
    }
}

// The window moves at the first iteration with fewer than 262 bytes left in
// it, once the parse is 65274 bytes into it; near the input's end the
// threshold depends on the input's length.
void windows() {
    std::mt19937 random(2);
    std::vector<std::size_t> sizes;
    for (const std::size_t middle : {32768u, 65274u, 65536u, 98042u, 98304u, 131072u}) {
        for (std::size_t size = middle - 4; size <= middle + 4; ++size) {
            sizes.push_back(size);
        }
    }
    for (std::size_t size = 65274; size < 65536; size += 37) {
        sizes.push_back(size);
    }
    for (const std::size_t size : sizes) {
        check("no matches", withoutMatches(size));
        check("random", randomBytes(random, size));
        check("few values", randomBytes(random, size, 3));
    }
    // Right after a move near the end, the window's first byte is exactly the
    // farthest a match may reach, and zlib reads it as an empty chain.
    for (const std::size_t size : {65290u, 65300u, 65535u, 65536u, 65600u}) {
        Bytes edge = withoutMatches(65274);
        repeat(edge, deflate::kMaxDistance, 10);
        const Bytes tail = withoutMatches(200000);
        edge.insert(edge.end(), tail.end() - static_cast<std::ptrdiff_t>(size - edge.size()), tail.end());
        check("a match at the window's first byte, " + std::to_string(size) + " bytes", edge);
    }
}

// zlib ends a block when its 16383rd symbol is written, and the last block at
// the input's end, with the last literal always in it.
void blocks() {
    for (std::size_t block = 1; block <= 3; ++block) {
        for (int offset = -2; offset <= 2; ++offset) {
            const std::size_t literals = block * deflate::kBlockSymbols + static_cast<std::size_t>(offset);
            check("literals, " + std::to_string(literals), withoutMatches(literals));
            // The same count of symbols, the last one a match.
            Bytes endingInMatch = withoutMatches(literals - 1);
            repeat(endingInMatch, 1000, 10);
            check("ending in a match after " + std::to_string(literals - 1) + " literals", endingInMatch);
        }
    }
    std::mt19937 random(3);
    check("many blocks", randomBytes(random, 400000, 20));
}

void distances() {
    // Matches of three bytes count only up to 4096 back.
    for (const std::size_t distance : {4094u, 4095u, 4096u, 4097u, 4098u, 9000u}) {
        Bytes near = withoutMatches(20000);
        repeat(near, distance, 3);
        const Bytes tail = withoutMatches(40000);
        near.insert(near.end(), tail.begin() + 30000, tail.end());
        check("three bytes " + std::to_string(distance) + " back", near);
    }
    // Matches reach kMaxDistance back from the chain's head, one less from
    // candidates further down the chain (here behind a three-byte decoy).
    const Bytes filler = withoutMatches(200000);
    for (const std::size_t distance : {32504u, 32505u, 32506u, 32507u, 32508u}) {
        for (const bool decoy : {false, true}) {
            Bytes far = withoutMatches(40000);
            const std::size_t source = far.size() + (decoy ? 53 : 50) - distance;
            if (decoy) {
                far.insert(far.end(), far.begin() + static_cast<std::ptrdiff_t>(source),
                           far.begin() + static_cast<std::ptrdiff_t>(source + 3));
            }
            far.insert(far.end(), filler.end() - 50, filler.end());
            repeat(far, distance, 20);
            check(std::string(decoy ? "chain " : "head ") + std::to_string(distance) + " back", far);
        }
    }
    std::mt19937 random(4);
    for (const std::size_t period : {32504u, 32505u, 32506u, 32507u, 32767u, 32768u, 32769u}) {
        Bytes periodic = randomBytes(random, period);
        repeat(periodic, period, 150000);
        check("period " + std::to_string(period), periodic);
    }
}

// The types of a zlib stream's blocks (0 stored, 1 fixed, 2 dynamic), read
// from each block's header where zlib's inflate stops between blocks.
std::vector<int> blockTypes(const Bytes& stream, std::size_t inflatedSize) {
    Bytes inflated(inflatedSize + 1);
    z_stream z{};
    inflateInit(&z);
    z.next_in = const_cast<std::uint8_t*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = inflated.data();
    z.avail_out = static_cast<uInt>(inflated.size());
    std::vector<int> types;
    for (bool final = false; !final;) {
        if (inflate(&z, Z_BLOCK) != Z_OK || (z.data_type & 128) == 0) {
            break;
        }
        // The next header starts after the unused bits of the last byte taken.
        const std::size_t bit = static_cast<std::size_t>(z.next_in - stream.data()) * 8 - (z.data_type & 7);
        const auto bitAt = [&](std::size_t at) { return stream[at / 8] >> (at % 8) & 1; };
        final = bitAt(bit) == 1;
        types.push_back(bitAt(bit + 1) | bitAt(bit + 2) << 1);
    }
    inflateEnd(&z);
    return types;
}

void selfCheck() {
    std::vector<int> types;
    for (const Bytes& sample : deflate::selfCheckSamples()) {
        check("self-check sample", sample);
        for (const int type : blockTypes(zlibStream(sample), sample.size())) {
            types.push_back(type);
        }
    }
    for (const int type : {0, 1, 2}) {
        if (std::count(types.begin(), types.end(), type) == 0) {
            ++mismatchCount;
            std::fprintf(stderr, "the self-check samples have no block of type %d\n", type);
        }
    }
    if (types.size() < 8) {
        ++mismatchCount;
        std::fprintf(stderr, "the self-check samples have only %zu blocks\n", types.size());
    }
}

void expectTrue(bool ok, const std::string& what) {
    if (!ok && ++mismatchCount <= 40) {
        std::fprintf(stderr, "MISMATCH: %s\n", what.c_str());
    }
}

void roundTrip(std::mt19937& random);

// Whether zlib's inflate makes exactly `original` of the whole of `stream`.
bool inflatesWithZlib(const Bytes& stream, const Bytes& original) {
    Bytes inflated(original.size() + 1);
    uLongf size = static_cast<uLongf>(inflated.size());
    uLong taken = static_cast<uLong>(stream.size());
    return uncompress2(inflated.data(), &size, stream.data(), &taken) == Z_OK && taken == stream.size() &&
           size == original.size() && std::equal(original.begin(), original.end(), inflated.begin());
}

// Two Adler-32s joined give zlib's checksum of the whole, from any start; all
// bytes 255 make the sums largest before they are reduced. (Each level's
// Adler-32 is checked by the kernel checks.)
void checks() {
    std::mt19937 random(6);
    for (int i = 0; i < 3000; ++i) {
        const std::size_t size = random() % 20000;
        const bool saturated = random() % 4 == 0;
        const Bytes bytes = saturated ? Bytes(size, 255) : randomBytes(random, size, 1 + random() % 256);
        const std::uint32_t start = random() % 2 == 0 ? 1 : (random() % 65521) << 16 | random() % 65521;
        const std::uint32_t expected =
            static_cast<std::uint32_t>(adler32_z(start, bytes.data(), bytes.size()));
        const std::size_t cut = size == 0 ? 0 : random() % size;
        expectTrue(kernels::adler32Combine(kernels::adler32(start, bytes.data(), cut),
                                           kernels::adler32(1, bytes.data() + cut, size - cut),
                                           size - cut) == expected,
                   "adler32Combine");
    }
    if (deflate::checkingInflaterName() == nullptr) {
        return;
    }
    roundTrip(random);
}

// The round trip takes the kernel's streams, checked in one piece or in many
// (among stored blocks, whose places modulo 8 matter), and refuses a stream
// with one bit changed, one cut short or with a byte after it, block starts
// that are not the stream's, and another original.
void roundTrip(std::mt19937& random) {
    kernels::ThreadPool& pool = kernels::ThreadPool::shared();
    Bytes original;
    for (int part = 0; part < 24; ++part) {
        const Bytes piece = randomBytes(random, 20000 + random() % 20000, part % 3 == 0 ? 256 : 5);
        original.insert(original.end(), piece.begin(), piece.end());
    }
    Bytes stream(deflate::streamCapacity(original.size()));
    std::vector<deflate::BlockStart> blocks;
    stream.resize(deflate::compressSerially(original, stream, &blocks));
    const auto passes = [&](const Bytes& candidate, const std::vector<deflate::BlockStart>& starts,
                            std::uint64_t piece, const Bytes& expected) {
        return deflate::inflatesTo(candidate, expected, starts, pool, piece);
    };
    for (const std::uint64_t piece : {std::uint64_t{1}, std::uint64_t{50000}, deflate::kCheckedPiece}) {
        expectTrue(passes(stream, blocks, piece, original), "the kernel's stream, pieces of " +
                                                             std::to_string(piece));
    }
    // A bit that no decoder reads (padding before a stored block's length)
    // loses nothing; any other must be refused.
    for (int trial = 0; trial < 40; ++trial) {
        Bytes changed = stream;
        changed[2 + random() % (changed.size() - 6)] ^= static_cast<std::uint8_t>(1u << random() % 8);
        if (!inflatesWithZlib(changed, original)) {
            expectTrue(!passes(changed, blocks, 1 + random() % 100000, original), "one bit changed");
        }
    }
    Bytes other = original;
    other[random() % other.size()] ^= 1;
    expectTrue(!passes(stream, blocks, 1, other), "another original");
    std::vector<deflate::BlockStart> moved = blocks;
    moved[moved.size() / 2].bit += 8;
    expectTrue(!passes(stream, moved, 1, original), "a block start moved");
    Bytes longer = stream;
    longer.push_back(0);
    expectTrue(!passes(longer, blocks, 1, original), "a byte after the stream");
    expectTrue(!passes(Bytes(stream.begin(), stream.end() - 1), blocks, 1, original), "a stream cut short");
}

// Random stretches of every kind above, copies from near and far among them.
// Each draw is a statement of its own, so that a seed gives the same input
// whatever order a compiler evaluates arguments in.
Bytes mixture(std::mt19937& random) {
    Bytes bytes;
    const std::size_t size = random() % 120000;
    while (bytes.size() < size) {
        const bool long_ = random() % 8 == 0;
        const std::size_t length = 1 + random() % (long_ ? 20000 : 600);
        const unsigned kind = random() % 6;
        const unsigned value = random();
        switch (kind) {
            case 0: {
                const Bytes noise = randomBytes(random, length, 1 + value % 256);
                bytes.insert(bytes.end(), noise.begin(), noise.end());
                break;
            }
            case 1:
                bytes.insert(bytes.end(), length, static_cast<std::uint8_t>(value));
                break;
            case 2: {
                const Bytes plain = withoutMatches(length + 5000);
                bytes.insert(bytes.end(), plain.end() - static_cast<std::ptrdiff_t>(length), plain.end());
                break;
            }
            default:
                if (!bytes.empty()) {
                    const std::size_t reach = value % 2 == 0 ? 300 : 33000;
                    repeat(bytes, 1 + value / 2 % std::min(bytes.size(), reach), length);
                }
                break;
        }
    }
    bytes.resize(size);
    return bytes;
}

void mixtures(int count, unsigned seed) {
    std::mt19937 random(seed);
    for (int i = 0; i < count; ++i) {
        check("mixture " + std::to_string(i) + " of seed " + std::to_string(seed), mixture(random));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> wanted;
    int mixtureCount = 3000;
    unsigned seed = 20240612;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--mixtures" && i + 1 < argc) {
            mixtureCount = std::atoi(argv[++i]);
        } else if (argument == "--seed" && i + 1 < argc) {
            seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            wanted.push_back(argument);
        }
    }
    const auto runs = [&](std::string_view section) {
        return wanted.empty() || std::find(wanted.begin(), wanted.end(), section) != wanted.end();
    };
    if (runs("edges")) edges();
    if (runs("windows")) windows();
    if (runs("blocks")) blocks();
    if (runs("distances")) distances();
    if (runs("self-check")) selfCheck();
    if (runs("checks")) checks();
    if (runs("mixtures")) mixtures(mixtureCount, seed);
    std::printf("%zu stitches, %zu never met, longest meeting %lld bytes; %d mismatches\n", stitchCount,
                unmetCount, static_cast<long long>(longestMeeting), mismatchCount);
    return mismatchCount == 0 ? 0 : 1;
}
