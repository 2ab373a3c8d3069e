// Throughput of every row kernel and of Adler-32 at every instruction-set
// level this processor runs, on the rows of a 4000-pixel-wide image, and of
// the inflater beside zlib and libdeflate on the image data of PNG files: MB/s
// of bytes produced, the fastest of several timed samples (other work on the
// machine only ever slows a sample down). Prints the processor, the compiler
// and the commit first, and beside each kernel the level the public entry
// points take it from (chosen from these figures, see levels.md).
//
// Usage: kernel_bench [--commit ID] [--seconds S] [FILE.png ...]
//   S: time per measurement; with PNG files, only the inflaters, on each file

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#if defined(SIMPLEIMAGE_LIBDEFLATE)
#include <libdeflate.h>
#endif
#include <zlib.h>

#include "command_line.hpp"
#include "kernels/inflate.hpp"
#include "kernels/levels.hpp"
#include "kernels/reference.hpp"

namespace {

using std::size_t;
using std::uint8_t;
using Bytes = std::vector<uint8_t>;

constexpr size_t kWidth = 4000;
constexpr size_t kRows = 48;  // about 0.75 MB of pixels: the rows stay in the L2 cache
constexpr int kSamples = 9;

std::string processorName() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown processor";
}

const char* compilerName() {
#if defined(__clang__)
    return "Clang " __clang_version__;
#elif defined(__GNUC__)
    return "GCC " __VERSION__;
#else
    return "unknown compiler";
#endif
}

// Rows that look like a photograph: smooth gradients with a little noise, so
// that the branches of the reference Paeth predict as they would on real images.
std::vector<Bytes> photoRows(size_t bpp) {
    std::mt19937 engine(7);
    std::uniform_int_distribution<int> noise(-3, 3);
    std::vector<Bytes> rows(kRows, Bytes(kWidth * bpp));
    for (size_t y = 0; y < kRows; ++y) {
        for (size_t x = 0; x < kWidth; ++x) {
            for (size_t channel = 0; channel < bpp; ++channel) {
                const double smooth = 128 + 70 * std::sin(0.004 * x + channel) +
                                      40 * std::cos(0.05 * y + 0.001 * x * channel);
                rows[y][x * bpp + channel] =
                    static_cast<uint8_t>(std::clamp(static_cast<int>(smooth) + noise(engine), 0, 255));
            }
        }
    }
    return rows;
}

// Rows where the codecs keep them: an image's rows one after the other, and a
// PNG stream's records, each a filter-type byte and then the row. The stream's
// rows thus start at every alignment, as they do in files, which favours some
// vector widths over others. Both areas start on a cache line.
class RowLayout {
public:
    explicit RowLayout(size_t rowBytes)
        : rowBytes_(rowBytes),
          image_(kRows * rowBytes + kLine),
          stream_(kRows * (rowBytes + 1) + kLine) {}

    uint8_t* imageRow(size_t y) { return lineStart(image_) + y * rowBytes_; }
    uint8_t* streamRow(size_t y) { return lineStart(stream_) + y * (rowBytes_ + 1) + 1; }

private:
    static constexpr size_t kLine = 64;

    static uint8_t* lineStart(Bytes& bytes) {
        const auto address = reinterpret_cast<std::uintptr_t>(bytes.data());
        return bytes.data() + (kLine - address % kLine) % kLine;
    }

    size_t rowBytes_;
    Bytes image_;
    Bytes stream_;
};

// The best over kSamples samples of the rate of `work`, which produces `bytes`
// bytes per call; each sample repeats it for about seconds / kSamples.
template <class Work>
double megabytesPerSecond(size_t bytes, Work work, double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto elapsed = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    long calls = 1;
    for (const auto start = Clock::now(); elapsed(start) < 0.01; ++calls) {
        work();
    }
    const long callsPerSample =
        std::max(1L, static_cast<long>(calls * (seconds / kSamples) / 0.01));
    std::vector<double> rates;
    for (int sample = 0; sample < kSamples; ++sample) {
        const auto start = Clock::now();
        for (long call = 0; call < callsPerSample; ++call) {
            work();
        }
        rates.push_back(static_cast<double>(bytes) * callsPerSample / elapsed(start) / 1e6);
    }
    return *std::max_element(rates.begin(), rates.end());
}

void printHeader(const std::vector<kernels::AvailableLevel>& levels, const char* firstColumn) {
    std::printf("%-24s", firstColumn);
    for (const kernels::AvailableLevel& l : levels) {
        std::printf(" %10s", kernels::levelName(l.level));
    }
    std::printf(" %8s %8s\n", "best/ref", "active");
}

// `active`: the level whose kernel the public entry points run.
void printRow(const char* name, const std::vector<double>& rates, kernels::Level active) {
    std::printf("%-24s", name);
    for (const double rate : rates) {
        std::printf(" %10.0f", rate);
    }
    std::printf(" %7.1fx %8s\n", *std::max_element(rates.begin(), rates.end()) / rates.front(),
                kernels::levelName(active));
}

constexpr const char* kFilterNames[] = {"None", "Sub", "Up", "Average", "Paeth"};

// The rows of one image and pixel size run through row kernels of one
// direction: reconstruction reads stream rows and writes image rows, taking the
// row above from what it wrote; filtering reads image rows and writes stream
// rows. The first row has a row of zeros above it.
class FilterRows {
public:
    FilterRows(size_t bpp, bool reconstruct)
        : bpp_(bpp), reconstruct_(reconstruct), raw_(photoRows(bpp)), zeros_(rowBytes()),
          input_(rowBytes()), output_(rowBytes()) {}

    size_t bytes() const { return kRows * rowBytes(); }

    // The input of the kernels of `type`: the image filtered with it, or raw.
    void prepare(int type) {
        for (size_t y = 0; y < kRows; ++y) {
            if (reconstruct_) {
                kernels::reference::filterRange(type, raw_[y].data(), rawAbove(y), bpp_,
                                                input_.streamRow(y), 0, rowBytes());
            } else {
                std::copy(raw_[y].begin(), raw_[y].end(), input_.imageRow(y));
            }
        }
    }

    void run(kernels::RowKernel kernel) {
        for (size_t y = 0; y < kRows; ++y) {
            if (reconstruct_) {
                const uint8_t* above = y == 0 ? zeros_.data() : output_.imageRow(y - 1);
                kernel(input_.streamRow(y), above, output_.imageRow(y), rowBytes());
            } else {
                const uint8_t* above = y == 0 ? zeros_.data() : input_.imageRow(y - 1);
                kernel(input_.imageRow(y), above, output_.streamRow(y), rowBytes());
            }
        }
    }

private:
    size_t rowBytes() const { return kWidth * bpp_; }
    const uint8_t* rawAbove(size_t y) const { return y == 0 ? nullptr : raw_[y - 1].data(); }

    size_t bpp_;
    bool reconstruct_;
    std::vector<Bytes> raw_;
    Bytes zeros_;
    RowLayout input_;
    RowLayout output_;
};

void benchmarkFilters(const std::vector<kernels::AvailableLevel>& levels, double seconds) {
    printHeader(levels, "filter rows, MB/s");
    for (const bool reconstruct : {true, false}) {
        for (const size_t bpp : {3, 4}) {
            FilterRows rows(bpp, reconstruct);
            for (int type = 0; type < kernels::kFilterTypeCount; ++type) {
                rows.prepare(type);
                std::vector<double> rates;
                for (const kernels::AvailableLevel& l : levels) {
                    const kernels::RowTable& table = reconstruct ? l.set->reconstruct : l.set->filter;
                    const kernels::RowKernel kernel = table.byBpp[bpp - kernels::kFirstKernelBpp][type];
                    rates.push_back(megabytesPerSecond(rows.bytes(), [&] { rows.run(kernel); },
                                                       seconds));
                }
                char name[64];
                std::snprintf(name, sizeof name, "%s %-7s bpp %zu",
                              reconstruct ? "unfilter" : "filter  ", kFilterNames[type], bpp);
                const kernels::RowLevels& active = kernels::activeRowLevels();
                printRow(name, rates, (reconstruct ? active.reconstruct : active.filter)
                                          .byBpp[bpp - kernels::kFirstKernelBpp][type]);
            }
        }
    }
}

void benchmarkCopies(const std::vector<kernels::AvailableLevel>& levels, double seconds) {
    const size_t pixels = kRows * kWidth;
    const Bytes rgba = photoRows(4).front();
    Bytes rgbaOut(4 * pixels), rgb(3 * pixels), alpha(pixels), swapped(3 * pixels);
    for (size_t y = 0; y < kRows; ++y) {
        std::copy(rgba.begin(), rgba.end(), rgbaOut.begin() + static_cast<long>(y * rgba.size()));
    }
    printHeader(levels, "row copies, MB/s");
    std::vector<double> split, merge, swap;
    for (const kernels::AvailableLevel& l : levels) {
        split.push_back(megabytesPerSecond(4 * pixels, [&] {
            l.set->splitRgba(rgbaOut.data(), pixels, rgb.data(), alpha.data());
        }, seconds));
        merge.push_back(megabytesPerSecond(4 * pixels, [&] {
            l.set->mergeRgba(rgb.data(), alpha.data(), pixels, rgbaOut.data());
        }, seconds));
        swap.push_back(megabytesPerSecond(3 * pixels, [&] {
            l.set->swapRedBlue(rgb.data(), pixels, swapped.data());
        }, seconds));
    }
    printRow("split RGBA", split, kernels::bestLevel());
    printRow("merge RGBA", merge, kernels::bestLevel());
    printRow("swap red and blue", swap, kernels::bestLevel());
}

void benchmarkAdler32(const std::vector<kernels::AvailableLevel>& levels, double seconds) {
    const Bytes data = photoRows(4).front();
    printHeader(levels, "Adler-32, MB/s");
    std::vector<double> rates;
    for (const kernels::AvailableLevel& l : levels) {
        rates.push_back(megabytesPerSecond(data.size(), [&] {
            volatile std::uint32_t sink = l.set->adler32(1, data.data(), data.size());
            (void)sink;
        }, seconds));
    }
    printRow("16000 bytes", rates, kernels::bestLevel());
}

// The zlib stream of a PNG file: its IDAT chunks' data joined.
Bytes imageData(const char* path) {
    const Bytes png = bench::readFile(path);
    Bytes joined;
    for (size_t at = 8; at + 12 <= png.size();) {
        const size_t length = size_t{png[at]} << 24 | size_t{png[at + 1]} << 16 |
                              size_t{png[at + 2]} << 8 | png[at + 3];
        if (std::memcmp(&png[at + 4], "IDAT", 4) == 0 && at + 12 + length <= png.size()) {
            joined.insert(joined.end(), png.begin() + static_cast<long>(at + 8),
                          png.begin() + static_cast<long>(at + 8 + length));
        }
        at += 12 + length;
    }
    return joined;
}

// Each file's image data inflated whole into a buffer of the known size.
void benchmarkInflaters(const std::vector<const char*>& paths, double seconds) {
    std::printf("%-28s %10s %10s %10s %10s %8s\n", "inflate, MB/s out", "out KB", "zlib",
                "libdeflate", "ours", "ours/ld");
#if defined(SIMPLEIMAGE_LIBDEFLATE)
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
#endif
    for (const char* path : paths) {
        const Bytes in = imageData(path);
        Bytes out(64u << 20);
        uLongf size = out.size();
        if (in.empty() || uncompress(out.data(), &size, in.data(), in.size()) != Z_OK) {
            std::printf("%-28s not a PNG file with clean image data\n", path);
            continue;
        }
        out.resize(size);
        if (!kernels::inflateExactly(in, out)) {
            std::printf("%-28s REFUSED by our inflater\n", path);
            continue;
        }
        const double zlibRate = megabytesPerSecond(size, [&] {
            uLongf outSize = out.size();
            uncompress(out.data(), &outSize, in.data(), in.size());
        }, seconds);
        double libdeflateRate = 0;
#if defined(SIMPLEIMAGE_LIBDEFLATE)
        libdeflateRate = megabytesPerSecond(size, [&] {
            libdeflate_zlib_decompress(decompressor, in.data(), in.size(), out.data(), out.size(),
                                       nullptr);
        }, seconds);
#endif
        const double ours = megabytesPerSecond(size, [&] { kernels::inflateExactly(in, out); },
                                               seconds);
        const char* name = std::strrchr(path, '/') != nullptr ? std::strrchr(path, '/') + 1 : path;
        std::printf("%-28s %10.1f %10.0f %10.0f %10.0f %7.2fx\n", name, size / 1e3, zlibRate,
                    libdeflateRate, ours, libdeflateRate > 0 ? ours / libdeflateRate : 0.0);
    }
#if defined(SIMPLEIMAGE_LIBDEFLATE)
    libdeflate_free_decompressor(decompressor);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const bench::CommandLine line = bench::parseCommandLine(argc, argv, "--seconds", 0.1);
    const std::vector<kernels::AvailableLevel> levels = kernels::availableLevels();
    std::printf("processor: %s\ncompiler:  %s\ncommit:    %s\n", processorName().c_str(),
                compilerName(), line.commit.c_str());
    if (!line.files.empty()) {
        benchmarkInflaters(line.files, line.effort);
        return 0;
    }
    std::printf("rows of %zu pixels; best level: %s\n\n", kWidth,
                kernels::levelName(kernels::bestLevel()));
    benchmarkFilters(levels, line.effort);
    std::printf("\n");
    benchmarkCopies(levels, line.effort);
    std::printf("\n");
    benchmarkAdler32(levels, line.effort);
    return 0;
}
