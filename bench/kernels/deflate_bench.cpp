// The deflate kernel on filtered scanline streams read from files (written by
// `bench/run --write-streams DIR`, one file per image, named CLASS__NAME.bin):
// its time on one thread and on the pool over the system zlib's compress2 at
// level 6, the cores the pool kept busy, and where the stitches met the
// workers' parses (with segments of 256 KiB). Each time is the fastest of
// several samples. Prints a Markdown table after the commit and the pool.
//
// Usage: deflate_bench [--commit ID] [--samples N] FILE...

#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.hpp"
#include "kernels/deflate/zlib_stream.hpp"
#include "kernels/thread_pool.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace deflate = kernels::deflate;

struct Times {
    double wall = 1e30;
    double cpu = 1e30;  // at the fastest wall time
};

double processSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

Times fastest(int samples, const std::function<void()>& run) {
    Times best;
    for (int i = 0; i < samples; ++i) {
        const double cpu = processSeconds();
        const auto start = std::chrono::steady_clock::now();
        run();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (wall < best.wall) {
            best = {wall, processSeconds() - cpu};
        }
    }
    return best;
}

std::string percentile(std::vector<std::int64_t> values, double share) {
    if (values.empty()) {
        return "—";
    }
    std::sort(values.begin(), values.end());
    return std::to_string(values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))]);
}

// The class and name from CLASS__NAME.bin.
std::pair<std::string, std::string> label(std::string_view path) {
    std::string_view file = path.substr(path.find_last_of('/') + 1);
    file = file.substr(0, file.rfind(".bin"));
    const std::size_t separator = file.find("__");
    if (separator == std::string_view::npos) {
        return {"", std::string(file)};
    }
    return {std::string(file.substr(0, separator)), std::string(file.substr(separator + 2))};
}

}  // namespace

int main(int argc, char** argv) {
    const bench::CommandLine line = bench::parseCommandLine(argc, argv, "--samples", 3);
    const int samples = std::max(1, static_cast<int>(line.effort));
    kernels::ThreadPool& pool = kernels::ThreadPool::shared();
    std::printf("Commit %s, zlib %s, %u threads in the pool, fastest of %d samples\n\n", line.commit.c_str(),
                zlibVersion(), pool.concurrency(), samples);
    std::printf("| stream | class | MB | zlib ms | one thread / zlib | pool / zlib | cores busy | "
                "stitches | never met | meeting: median | 90 %% | max |\n");
    std::printf("|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const char* path : line.files) {
        const Bytes in = bench::readFile(path);
        Bytes out(deflate::streamCapacity(in.size()));
        const Times zlib = fastest(samples, [&] {
            uLongf size = static_cast<uLongf>(out.size());
            compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 6);
        });
        const Times serial = fastest(samples, [&] { deflate::compressSerially(in, out); });
        const Times parallel = fastest(samples, [&] { deflate::compress(in, out, pool); });
        // Segments of 256 KiB, for more stitches than the pool's own split makes.
        deflate::StitchReport report;
        deflate::compressInParallel(in, out, pool, {std::max(pool.concurrency(), 2u), 256 * 1024},
                                    &report);
        std::vector<std::int64_t> met;
        std::copy_if(report.meetingDistances.begin(), report.meetingDistances.end(),
                     std::back_inserter(met), [](std::int64_t distance) { return distance >= 0; });
        const auto [group, name] = label(path);
        std::printf("| %s | %s | %.1f | %.0f | %.2f | %.2f | %.2f | %zu | %zu | %s | %s | %s |\n",
                    name.c_str(), group.c_str(), static_cast<double>(in.size()) / 1e6, zlib.wall * 1e3,
                    serial.wall / zlib.wall, parallel.wall / zlib.wall, parallel.cpu / parallel.wall,
                    report.meetingDistances.size(), report.meetingDistances.size() - met.size(),
                    percentile(met, 0.5).c_str(), percentile(met, 0.9).c_str(),
                    percentile(met, 1.0).c_str());
    }
    return 0;
}
