// Checks every kernel level that this processor runs against the reference
// kernels: the Paeth predictor on every (a, b, c) in both directions, every
// filter type and pixel size on random rows of many lengths, the row copies,
// Adler-32, the public entry points and the kernel set assembled for them from
// several levels, whole images through the scanline encoder and decoder, and
// the inflater against zlib (inflate_checks.cpp). Rows sit against
// inaccessible pages, so a kernel that reads or writes outside its row faults
// at once.
//
// Usage: kernel_checks [--streams N] [section...], sections: paeth rows copies
// adler32 entry-points scanlines inflater inflater-random (all by default);
// N: the random streams of inflater-random (default 4000; a long run takes
// millions). Prints each mismatch; exits with 1 on any, 2 on a fault.

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <random>
#include <string_view>

#include <zlib.h>

#include "check_support.hpp"
#include "inflate_checks.hpp"
#include "kernels/pixel_rows.hpp"
#include "kernels/scanline_decoder.hpp"
#include "kernels/scanline_encoder.hpp"
#include "kernels/levels.hpp"
#include "kernels/reference.hpp"
#include "kernels/filters.hpp"

namespace {

using namespace checks;
using kernels::KernelSet;
using kernels::Level;

static_assert(kernels::_paethPredictor(100, 100, 50) == 100, "a tie of a and b goes to a");
static_assert(kernels::_paethPredictor(10, 40, 20) == 40, "a tie of b and c goes to b");
static_assert(kernels::_paethPredictor(10, 20, 15) == 15);
static_assert(kernels::_paethPredictor(255, 0, 255) == 0);
static_assert(kernels::_paethPredictor(200, 100, 0) == 200);

// Random rows: uniform bytes, or bytes from a few values near the ends and the
// middle of the range, which makes ties and wrap-arounds frequent.
enum class Content { kUniform, kFewValues };
constexpr Content kContents[] = {Content::kUniform, Content::kFewValues};

class RowSource {
public:
    Bytes row(size_t n, Content content) {
        constexpr uint8_t kFew[] = {0, 1, 2, 127, 128, 129, 254, 255};
        Bytes bytes(n);
        for (uint8_t& byte : bytes) {
            const auto value = static_cast<uint8_t>(engine_());
            byte = content == Content::kUniform ? value : kFew[value % 8];
        }
        return bytes;
    }

private:
    std::mt19937 engine_{20240611};
};

std::vector<size_t> rowLengths() {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 140; ++n) {
        lengths.push_back(n);
    }
    for (size_t n : {255, 256, 257, 1000, 1001, 1002, 4093, 12000, 16000, 16003}) {
        lengths.push_back(n);
    }
    return lengths;
}

constexpr size_t kLongestRow = 16003;

bool readsRowAbove(int filterType) {
    return filterType == kernels::kFilterUp || filterType == kernels::kFilterAverage ||
           filterType == kernels::kFilterPaeth;
}

// ---------------------------------------------------------------------------
// The Paeth predictor on every (a, b, c), in both directions. Pixels alternate
// between setup and probe: a setup pixel is made to hold `a` (raw, or after
// reconstruction) under the row-above byte `c`, and the probe pixel after it has
// `b` above, so each probe byte is predicted from (a, b, c). Each row covers
// kPairs * bpp triples.

struct PaethRows {
    Bytes previous, filtered, reconstructed, raw, forward;
};

PaethRows paethRows(size_t bpp, std::uint32_t firstTriple, size_t pairs) {
    const size_t n = pairs * 2 * bpp;
    PaethRows rows{Bytes(n), Bytes(n), Bytes(n), Bytes(n), Bytes(n)};
    for (size_t pair = 0; pair < pairs; ++pair) {
        for (size_t channel = 0; channel < bpp; ++channel) {
            const std::uint32_t triple = (firstTriple + pair * bpp + channel) & 0xFFFFFF;
            const int a = static_cast<int>(triple >> 16);
            const int b = static_cast<int>((triple >> 8) & 0xFF);
            const int c = static_cast<int>(triple & 0xFF);
            const int probeValue = static_cast<int>((triple * 37) & 0xFF);
            const size_t setup = 2 * pair * bpp + channel;
            const size_t probe = setup + bpp;
            const bool first = setup < bpp;
            const int setupLeft = first ? 0 : rows.reconstructed[setup - bpp];
            const int setupRawLeft = first ? 0 : rows.raw[setup - bpp];
            const int setupUpperLeft = first ? 0 : rows.previous[setup - bpp];

            rows.previous[setup] = static_cast<uint8_t>(c);
            rows.previous[probe] = static_cast<uint8_t>(b);
            rows.reconstructed[setup] = static_cast<uint8_t>(a);
            rows.filtered[setup] =
                static_cast<uint8_t>(a - kernels::_paethPredictor(setupLeft, c, setupUpperLeft));
            rows.filtered[probe] = static_cast<uint8_t>(probeValue);
            rows.reconstructed[probe] =
                static_cast<uint8_t>(probeValue + kernels::_paethPredictor(a, b, c));
            rows.raw[setup] = static_cast<uint8_t>(a);
            rows.raw[probe] = static_cast<uint8_t>(probeValue);
            rows.forward[setup] =
                static_cast<uint8_t>(a - kernels::_paethPredictor(setupRawLeft, c, setupUpperLeft));
            rows.forward[probe] = static_cast<uint8_t>(probeValue - kernels::_paethPredictor(a, b, c));
        }
    }
    return rows;
}

void checkPaethExhaustively() {
    constexpr size_t kPairs = 1024;
    constexpr std::uint32_t kTriples = 1u << 24;
    const std::vector<kernels::AvailableLevel> levels = kernels::availableLevels();
    Bytes out;
    for (const size_t bpp : {3, 4}) {
        const auto perRow = static_cast<std::uint32_t>(kPairs * bpp);
        for (std::uint32_t first = 0; first < kTriples; first += perRow) {
            const PaethRows rows = paethRows(bpp, first, kPairs);
            out.assign(rows.raw.size(), 0);
            for (const kernels::AvailableLevel& l : levels) {
                describe("paeth %s bpp %zu triples from %u", kernels::levelName(l.level), bpp,
                         first);
                const size_t index = bpp - kernels::kFirstKernelBpp;
                l.set->reconstruct.byBpp[index][kernels::kFilterPaeth](
                    rows.filtered.data(), rows.previous.data(), out.data(), out.size());
                expectSameBytes(out.data(), rows.reconstructed.data(), out.size(), "reconstruct");
                l.set->filter.byBpp[index][kernels::kFilterPaeth](rows.raw.data(), rows.previous.data(),
                                                            out.data(), out.size());
                expectSameBytes(out.data(), rows.forward.data(), out.size(), "filter");
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Every filter kernel of every level against the reference on random rows.

struct RowBuffers {
    GuardedBuffer in{kLongestRow};
    GuardedBuffer previous{kLongestRow};
    GuardedBuffer out{kLongestRow};
};

void checkRowKernel(const KernelSet& set, size_t bpp, int type, const Bytes& input,
                    const Bytes& above, Placement placement, RowBuffers& buffers) {
    const KernelSet& reference = kernels::reference::kernelSet();
    const size_t index = bpp - kernels::kFirstKernelBpp;
    const size_t n = input.size();
    // None and Sub never read the row above; give them none to read.
    const uint8_t* previous = readsRowAbove(type) ? buffers.previous.hold(above, placement) : nullptr;
    const uint8_t* in = buffers.in.hold(input, placement);
    uint8_t* out = buffers.out.place(n, placement);
    Bytes expected(n);

    reference.reconstruct.byBpp[index][type](input.data(), previous, expected.data(), n);
    set.reconstruct.byBpp[index][type](in, previous, out, n);
    expectSameBytes(out, expected.data(), n, "reconstruct");

    uint8_t* inPlace = buffers.in.hold(input, placement);
    set.reconstruct.byBpp[index][type](inPlace, previous, inPlace, n);
    expectSameBytes(inPlace, expected.data(), n, "reconstruct in place");

    in = buffers.in.hold(input, placement);
    reference.filter.byBpp[index][type](input.data(), previous, expected.data(), n);
    set.filter.byBpp[index][type](in, previous, out, n);
    expectSameBytes(out, expected.data(), n, "filter");
}

// `name`: the level of `set`, for the messages.
void checkRowKernelsOf(const char* name, const KernelSet& set, RowSource& source) {
    RowBuffers buffers;
    const std::vector<size_t> lengths = rowLengths();
    for (const size_t bpp : {3, 4}) {
        for (int type = 0; type < kernels::kFilterTypeCount; ++type) {
            for (const size_t n : lengths) {
                for (const Content content : kContents) {
                    const Bytes input = source.row(n, content);
                    const Bytes above = source.row(n, content);
                    for (const Placement placement : kPlacements) {
                        describe("rows %s bpp %zu type %d length %zu against %s", name, bpp, type,
                                 n, placementName(placement));
                        checkRowKernel(set, bpp, type, input, above, placement, buffers);
                    }
                }
            }
        }
    }
}

void checkRowKernels() {
    RowSource source;
    for (const kernels::AvailableLevel& l : kernels::availableLevels()) {
        checkRowKernelsOf(kernels::levelName(l.level), *l.set, source);
    }
}

// ---------------------------------------------------------------------------
// The row copies of every level against the reference.

struct CopyBuffers {
    GuardedBuffer rgba{4 * kLongestRow};
    GuardedBuffer rgb{3 * kLongestRow};
    GuardedBuffer alpha{kLongestRow};
};

void checkRowCopiesOf(const char* name, const KernelSet& set, RowSource& source) {
    CopyBuffers buffers;
    const KernelSet& reference = kernels::reference::kernelSet();
    for (const size_t count : rowLengths()) {
        const Bytes rgba = source.row(4 * count, Content::kUniform);
        const Bytes rgb = source.row(3 * count, Content::kUniform);
        const Bytes alpha = source.row(count, Content::kUniform);
        Bytes expectedRgba(4 * count);
        Bytes expectedRgb(3 * count);
        Bytes expectedAlpha(count);
        for (const Placement placement : kPlacements) {
            describe("copies %s pixels %zu against %s", name, count, placementName(placement));
            reference.splitRgba(rgba.data(), count, expectedRgb.data(), expectedAlpha.data());
            uint8_t* rgbOut = buffers.rgb.place(3 * count, placement);
            uint8_t* alphaOut = buffers.alpha.place(count, placement);
            set.splitRgba(buffers.rgba.hold(rgba, placement), count, rgbOut, alphaOut);
            expectSameBytes(rgbOut, expectedRgb.data(), 3 * count, "split colours");
            expectSameBytes(alphaOut, expectedAlpha.data(), count, "split alpha");

            reference.mergeRgba(rgb.data(), alpha.data(), count, expectedRgba.data());
            uint8_t* rgbaOut = buffers.rgba.place(4 * count, placement);
            set.mergeRgba(buffers.rgb.hold(rgb, placement), buffers.alpha.hold(alpha, placement),
                          count, rgbaOut);
            expectSameBytes(rgbaOut, expectedRgba.data(), 4 * count, "merge");

            reference.swapRedBlue(rgb.data(), count, expectedRgb.data());
            rgbOut = buffers.rgba.place(3 * count, placement);
            set.swapRedBlue(buffers.rgb.hold(rgb, placement), count, rgbOut);
            expectSameBytes(rgbOut, expectedRgb.data(), 3 * count, "swap");
        }
    }
}

void checkRowCopies() {
    RowSource source;
    for (const kernels::AvailableLevel& l : kernels::availableLevels()) {
        checkRowCopiesOf(kernels::levelName(l.level), *l.set, source);
    }
}

// ---------------------------------------------------------------------------
// Adler-32 of every level against zlib's, on lengths around the vector widths
// and the chunk after which the sums are reduced, from sums near the modulus,
// on bytes that make the sums largest and on random ones.

void checkAdler32Of(const char* name, const KernelSet& set, RowSource& source) {
    constexpr size_t kLongest = 3 * kernels::kAdlerChunk + 100;
    GuardedBuffer buffer(kLongest);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 130; ++n) {
        lengths.push_back(n);
    }
    for (const size_t chunk : {kernels::kAdlerChunk, 2 * kernels::kAdlerChunk, kLongest}) {
        for (size_t n = chunk - 40; n <= chunk; ++n) {
            lengths.push_back(n);
        }
    }
    const std::uint32_t starts[] = {1, 0, 0xFFF0FFF0u, 0x1234ABCDu % 0xFFF1u << 16 | 0xFFF0u};
    for (const bool largest : {true, false}) {
        const Bytes data = largest ? Bytes(kLongest, 0xFF) : source.row(kLongest, Content::kUniform);
        for (const size_t n : lengths) {
            for (const Placement placement : kPlacements) {
                for (const std::uint32_t start : starts) {
                    describe("adler32 %s, %zu %s bytes from %08x against %s", name, n,
                             largest ? "0xFF" : "random", start, placementName(placement));
                    const uint8_t* held = buffer.hold(std::span(data).first(n), placement);
                    expect(set.adler32(start, held, n) ==
                               adler32(start, data.data(), static_cast<uInt>(n)),
                           "checksum");
                }
            }
        }
    }
}

void checkAdler32() {
    RowSource source;
    for (const kernels::AvailableLevel& l : kernels::availableLevels()) {
        checkAdler32Of(kernels::levelName(l.level), *l.set, source);
    }
}

// ---------------------------------------------------------------------------
// The public entry points: the active kernels for 3 and 4 bytes per pixel, the
// reference for other pixel sizes and for Average without a row above, the
// substitutions made for an empty row above, and refused filter types.
//
// The active kernels are assembled slot by slot from several levels. Each slot
// must hold that same slot's kernel of a level this processor has, and the set
// as a whole must give the reference bytes, like each level's own.

// Whether the active kernel in the slot that `slot` reads is that slot's
// kernel in an available level.
template <class Slot>
bool fromAvailableLevel(Slot slot) {
    const KernelSet& active = kernels::activeKernels();
    const std::vector<kernels::AvailableLevel> levels = kernels::availableLevels();
    return std::ranges::any_of(
        levels, [&](const kernels::AvailableLevel& l) { return slot(*l.set) == slot(active); });
}

void checkActiveKernels() {
    for (const bool reconstruct : {true, false}) {
        for (int bppIndex = 0; bppIndex < kernels::kKernelBppCount; ++bppIndex) {
            for (int type = 0; type < kernels::kFilterTypeCount; ++type) {
                describe("active kernels: %s type %d bpp %d", reconstruct ? "reconstruct" : "filter",
                         type, bppIndex + kernels::kFirstKernelBpp);
                expect(fromAvailableLevel([&](const KernelSet& set) {
                           return (reconstruct ? set.reconstruct : set.filter).byBpp[bppIndex][type];
                       }),
                       "not this slot's kernel of an available level");
            }
        }
    }
    describe("active kernels: row copies and Adler-32");
    expect(fromAvailableLevel([](const KernelSet& set) { return set.splitRgba; }), "split");
    expect(fromAvailableLevel([](const KernelSet& set) { return set.mergeRgba; }), "merge");
    expect(fromAvailableLevel([](const KernelSet& set) { return set.swapRedBlue; }), "swap");
    expect(fromAvailableLevel([](const KernelSet& set) { return set.adler32; }), "Adler-32");

    RowSource source;
    checkRowKernelsOf("active", kernels::activeKernels(), source);
    checkRowCopiesOf("active", kernels::activeKernels(), source);
    checkAdler32Of("active", kernels::activeKernels(), source);
}

void checkEntryPoints() {
    checkActiveKernels();
    RowSource source;
    for (const int bpp : {1, 2, 3, 4, 6, 8}) {
        for (int type = 0; type < kernels::kFilterTypeCount; ++type) {
            for (const size_t n : {0, 1, 5, 17, 64, 101, 999}) {
                for (const bool withAbove : {true, false}) {
                    describe("entry points bpp %d type %d length %zu %s", bpp, type, n,
                             withAbove ? "with a row above" : "without a row above");
                    const Bytes input = source.row(n, Content::kFewValues);
                    const Bytes above = withAbove ? source.row(n, Content::kFewValues) : Bytes();
                    const uint8_t* previous = withAbove ? above.data() : nullptr;
                    const auto width = static_cast<size_t>(bpp);
                    Bytes expected(n);
                    Bytes out(n);

                    kernels::reference::reconstructRange(type, input.data(), previous, width,
                                                         expected.data(), 0, n);
                    expect(kernels::_applyPngFilter(type, input, above, bpp, out) == 0, "result");
                    expectSameBytes(out.data(), expected.data(), n, "reconstruct");
                    out = input;
                    kernels::_applyPngFilter(type, out, above, bpp, out);
                    expectSameBytes(out.data(), expected.data(), n, "reconstruct in place");

                    kernels::reference::filterRange(type, input.data(), previous, width,
                                                    expected.data(), 0, n);
                    kernels::filterRow(static_cast<kernels::FilterType>(type), input, above, bpp, out);
                    expectSameBytes(out.data(), expected.data(), n, "filter");
                }
            }
        }
    }

    const Bytes input = source.row(12, Content::kUniform);
    for (const int type : {-1, 5, 6, 255, INT_MIN, INT_MAX}) {
        describe("entry points refused filter type %d", type);
        Bytes out(12, 0xA5);
        expect(kernels::_applyPngFilter(type, input, input, 3, out) == -1, "result");
        expect(out == Bytes(12, 0xA5), "the output was written");
    }

    describe("entry points row copies");
    const Bytes rgba = source.row(4 * 301, Content::kUniform);
    Bytes rgb(3 * 301), alpha(301), expectedRgb(3 * 301), expectedAlpha(301), back(4 * 301);
    kernels::reference::splitRgba(rgba.data(), 301, expectedRgb.data(), expectedAlpha.data());
    kernels::splitRgba(rgba.data(), 301, rgb.data(), alpha.data());
    expect(rgb == expectedRgb && alpha == expectedAlpha, "split");
    kernels::mergeRgba(rgb.data(), alpha.data(), 301, back.data());
    expect(back == rgba, "merge after split");
    kernels::swapRedBlue(rgb.data(), 301, expectedRgb.data());
    kernels::swapRedBlue(expectedRgb.data(), 301, back.data());
    expect(std::equal(rgb.begin(), rgb.end(), back.begin()), "swap twice");
}

// ---------------------------------------------------------------------------
// Whole images: the scanline encoder's stream rebuilt by the scanline decoder,
// in place and into separate planes, for RGB and RGBA, every filter type per row
// (40 rows, so that rows rebuilt directly below their filtered bytes are among
// them); and a filter type above 4 stops the rebuilding at its row.

void checkScanlineRoundTrip(size_t width, size_t height, int channels, std::mt19937& random) {
    describe("scanlines %zux%zu, %d channels", width, height, channels);
    const kernels::ScanlineLayout layout{width, height, channels};
    Bytes rgb(width * height * 3), alpha(channels == 4 ? width * height : 0), filters(height);
    for (auto& byte : rgb) byte = static_cast<uint8_t>(random() % 7 == 0 ? 0 : random());
    for (auto& byte : alpha) byte = static_cast<uint8_t>(random());
    for (auto& type : filters) type = static_cast<uint8_t>(random() % kernels::kFilterTypeCount);
    Bytes stream(layout.streamSize());
    kernels::encodeScanlines(width, height, channels, rgb, alpha, filters, stream);

    Bytes scratch(channels == 4 ? 2 * layout.stride() : 0);
    Bytes outRgb(rgb.size()), outAlpha(alpha.size()), outFilters(height);
    expect(!kernels::decodeScanlines(layout, stream, outRgb, outAlpha, outFilters, scratch),
           "accepted");
    expect(outRgb == rgb && outAlpha == alpha && outFilters == filters, "into planes");

    Bytes inPlace = stream;
    std::fill(outAlpha.begin(), outAlpha.end(), 0);
    expect(!kernels::decodeScanlines(layout, inPlace, inPlace, outAlpha, outFilters, scratch),
           "accepted in place");
    expect(std::equal(rgb.begin(), rgb.end(), inPlace.begin()) && outAlpha == alpha,
           "in place");

    if (height > 1) {
        const size_t refused = random() % height;
        Bytes broken = stream;
        broken[refused * (layout.stride() + 1)] = 5;
        expect(kernels::decodeScanlines(layout, broken, broken, outAlpha, outFilters, scratch) ==
                   std::optional<size_t>(refused),
               "first refused row");
    }
}

void checkScanlines() {
    std::mt19937 random(7);
    for (const int channels : {3, 4}) {
        for (const size_t width : {0, 1, 2, 5, 16, 33, 100, 1001}) {
            for (const size_t height : {0, 1, 2, 7, 40}) {
                checkScanlineRoundTrip(width, height, channels, random);
            }
        }
    }
}

struct Section {
    std::string_view name;
    void (*run)();
};

constexpr Section kSections[] = {
    {"paeth", checkPaethExhaustively},
    {"rows", checkRowKernels},
    {"copies", checkRowCopies},
    {"adler32", checkAdler32},
    {"entry-points", checkEntryPoints},
    {"scanlines", checkScanlines},
    {"inflater", checkInflaterRules},
    {"inflater-random", checkInflaterAgainstZlib},
};

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGSEGV, onFault);
    std::signal(SIGBUS, onFault);
    std::printf("levels:");
    for (const kernels::AvailableLevel& l : kernels::availableLevels()) {
        std::printf(" %s", kernels::levelName(l.level));
    }
    std::printf("; best: %s\n", kernels::levelName(kernels::bestLevel()));

    std::vector<std::string_view> wanted;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--streams" && i + 1 < argc) {
            randomStreamCount = std::strtol(argv[++i], nullptr, 10);
        } else {
            wanted.emplace_back(argv[i]);
        }
    }
    for (const Section& section : kSections) {
        if (wanted.empty() || std::find(wanted.begin(), wanted.end(), section.name) != wanted.end()) {
            section.run();
            std::printf("%s: done\n", section.name.data());
        }
    }
    std::printf("%d mismatches\n", mismatchCount);
    return mismatchCount == 0 ? 0 : 1;
}
