// Each input is compressed by the deflate kernel, which must write the system
// zlib's compress2 stream at level 6 byte for byte: on the calling thread, and
// split over several threads into segments whose size the input's first byte
// chooses (the rest is the data), so that stitches fall anywhere. The stream
// must inflate back to the data, through the kernels' inflater and through the
// round-trip check that guards the kernel in the extension.

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "expect.hpp"
#include "kernels/deflate/round_trip.hpp"
#include "kernels/deflate/zlib_stream.hpp"
#include "kernels/inflate.hpp"
#include "kernels/thread_pool.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace deflate = kernels::deflate;

Bytes zlibStream(std::span<const std::uint8_t> in) {
    uLongf size = compressBound(static_cast<uLong>(in.size()));
    Bytes out(size);
    fuzz::expect(compress2(out.data(), &size, in.data(), static_cast<uLong>(in.size()), 6) == Z_OK,
                 "compress2 failed");
    out.resize(size);
    return out;
}

// 2 to 4 threads, segments of a sixteenth of the data up to all of it.
deflate::Split splitFor(std::uint8_t choice, std::size_t size) {
    const unsigned ways = 2 + choice % 3;
    const std::size_t parts = 1 + (choice >> 2) % 16;
    return {ways, size / parts + 1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return -1;
    }
    const std::span<const std::uint8_t> in{data + 1, size - 1};
    const Bytes expected = zlibStream(in);
    Bytes out(deflate::streamCapacity(in.size()));
    std::vector<deflate::BlockStart> blocks;

    const std::size_t serial = deflate::compressSerially(in, out, &blocks);
    fuzz::expect(Bytes(out.begin(), out.begin() + serial) == expected,
                 "the stream on one thread is not zlib's");

    kernels::ThreadPool& pool = kernels::ThreadPool::shared();
    const std::size_t parallel =
        deflate::compressInParallel(in, out, pool, splitFor(data[0], in.size()));
    fuzz::expect(Bytes(out.begin(), out.begin() + parallel) == expected,
                 "the stream on several threads is not zlib's");

    Bytes back(in.size());
    fuzz::expect(kernels::inflateExactly(expected, back) &&
                     std::equal(back.begin(), back.end(), in.begin()),
                 "the stream does not inflate back to the data");
    fuzz::expect(deflate::checkingInflaterName() == nullptr ||
                     deflate::inflatesTo(expected, in, blocks, pool, 1),
                 "the round-trip check refuses the stream");
    return 0;
}
