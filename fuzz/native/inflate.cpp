// Each input is a zlib stream, inflated by the system zlib and by the kernels'
// inflater at every instruction-set level this processor has. The inflater must
// give zlib's verdict (clean: the stream ends exactly at the end of the input)
// and, for a clean stream, zlib's bytes; it must refuse an output one byte
// shorter or longer. Outputs are heap buffers of exactly their size, so a
// write past the end is caught by AddressSanitizer.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "expect.hpp"
#include "kernels/inflate.hpp"
#include "kernels/levels.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Streams that inflate to more are left out: they cost time and show nothing new.
constexpr std::size_t kLargestOutput = std::size_t{1} << 22;

struct ZlibOutcome {
    bool clean = false;
    bool overflowed = false;
    Bytes out;
};

// As zlib.decompress reads a stream: clean when inflate() reaches the stream's
// end having used all of the input.
ZlibOutcome inflateWithZlib(std::span<const std::uint8_t> stream) {
    static Bytes scratch(kLargestOutput + 1);
    z_stream z{};
    fuzz::expect(inflateInit(&z) == Z_OK, "inflateInit failed");
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = scratch.data();
    z.avail_out = static_cast<uInt>(scratch.size());
    const int status = inflate(&z, Z_FINISH);
    ZlibOutcome outcome;
    outcome.clean = status == Z_STREAM_END && z.avail_in == 0;
    outcome.overflowed = z.total_out > kLargestOutput;
    outcome.out.assign(scratch.data(), scratch.data() + z.total_out);
    inflateEnd(&z);
    return outcome;
}

// The inflater's output for exactly `size` bytes, in a buffer of that size.
bool inflateInto(std::span<const std::uint8_t> stream, std::size_t size, kernels::Level level,
                 Bytes* result = nullptr) {
    const auto out = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    const bool clean = kernels::inflateExactly(stream, {out.get(), size}, level);
    if (clean && result) {
        result->assign(out.get(), out.get() + size);
    }
    return clean;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<kernels::AvailableLevel> levels = kernels::availableLevels();
    const std::span<const std::uint8_t> stream{data, size};
    const ZlibOutcome zlib = inflateWithZlib(stream);
    if (zlib.overflowed) {
        return -1;
    }
    const std::size_t inflated = zlib.out.size();
    for (const kernels::AvailableLevel& available : levels) {
        Bytes ours;
        const bool clean = inflateInto(stream, inflated, available.level, &ours);
        fuzz::expect(clean == zlib.clean, zlib.clean ? "refused a stream that zlib inflates"
                                                     : "accepted a stream that zlib refuses");
        fuzz::expect(!clean || ours == zlib.out, "bytes other than zlib's");
    }
    const kernels::Level best = kernels::bestLevel();
    fuzz::expect(!inflateInto(stream, inflated + 1, best), "accepted a larger output");
    fuzz::expect(inflated == 0 || !inflateInto(stream, inflated - 1, best),
                 "accepted a smaller output");
    return 0;
}
