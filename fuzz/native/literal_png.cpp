#include "literal_png.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "kernels/reference.hpp"
#include "png/format.hpp"
#include "stream_read.hpp"

namespace literal {
namespace {

bool named(ByteSpan type, const char (&name)[5]) {
    return type.size() == 4 && std::memcmp(type.data(), name, 4) == 0;
}

std::uint32_t bigEndian(ByteSpan bytes) { return png::bigEndian32(bytes.data()); }

// The chunk loop; the header as ">IIBBBBB" unpacks it from each IHDR.
png::Refusal readChunks(ByteSpan bytes, Decoded& decoded) {
    for (;;) {
        const ChunkRead chunk = readChunk(bytes, decoded.end);
        if (chunk.refusal != png::Refusal::none) {
            return chunk.refusal;
        }
        if (chunk.type.empty()) {
            return png::Refusal::none;
        }
        if (named(chunk.type, "IHDR")) {
            if (chunk.data.size() != 13) {
                return png::Refusal::headerSize;
            }
            const ByteSpan data = chunk.data;
            decoded.header = {bigEndian(data), bigEndian(data.subspan(4)), data[8], data[9],
                              data[10], data[11], data[12]};
            if (decoded.header[0] > INT32_MAX || decoded.header[1] > INT32_MAX) {
                return png::Refusal::headerFieldTooLarge;
            }
        }
        decoded.chunks.push_back({chunk.type, chunk.data});
        if (named(chunk.type, "IEND")) {
            return png::Refusal::none;
        }
    }
}

png::Refusal checkHeader(const std::array<std::int64_t, 7>& header) {
    if (std::ranges::find(header, -1) != header.end()) {
        return png::Refusal::incompleteHeader;
    }
    if (header[2] != 8) {
        return png::Refusal::onlyEightBit;
    }
    if (header[3] != 2 && header[3] != 6) {
        return png::Refusal::onlyRgb;
    }
    if (header[4] != 0 || header[5] != 0 || header[6] != 0) {
        return png::Refusal::unsupportedConfiguration;
    }
    return png::Refusal::none;
}

struct Inflated {
    bool complete = false;   // one whole zlib stream, whatever follows it
    bool trailing = false;   // something follows it
    std::uint64_t size = 0;  // all of its bytes, also those not kept
    Bytes kept;              // the first `keep` bytes
};

// zlib.decompress on the joined IDAT data, keeping at most `keep` bytes.
Inflated decompress(const Bytes& stream, std::size_t keep) {
    Inflated inflated;
    static Bytes room(1 << 16);
    z_stream z{};
    inflateInit(&z);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = room.data();
        z.avail_out = static_cast<uInt>(room.size());
        status = inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = room.size() - z.avail_out;
        inflated.size += produced;
        const std::size_t kept = std::min(produced, keep - std::min(keep, inflated.kept.size()));
        inflated.kept.insert(inflated.kept.end(), room.begin(),
                             room.begin() + static_cast<std::ptrdiff_t>(kept));
    }
    inflated.complete = status == Z_STREAM_END;
    inflated.trailing = inflated.complete && z.avail_in > 0;
    inflateEnd(&z);
    return inflated;
}

// Rebuilds the rows of `raw` into the planes, stopping at a refused filter type.
png::Refusal rebuildRows(const Bytes& raw, std::size_t width, std::size_t height,
                         Decoded& decoded) {
    const auto channels = static_cast<std::size_t>(decoded.channels);
    const std::size_t stride = width * channels;
    decoded.pixels.assign(width * height * 3, 0);
    decoded.alpha.assign(channels == 4 ? width * height : 0, 0);
    decoded.filters.assign(height, 0);
    // The row above the first is zeros; an image without rows needs no rows,
    // however wide it is.
    Bytes previous(height > 0 ? stride : 0), row(previous.size());
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* record = raw.data() + y * (stride + 1);
        decoded.filters[y] = record[0];
        if (record[0] > 4) {
            decoded.filterType = record[0];
            return png::Refusal::unsupportedFilter;
        }
        kernels::reference::reconstructRange(record[0], record + 1, previous.data(), channels,
                                             row.data(), 0, stride);
        for (std::size_t x = 0; x < width; ++x) {
            std::copy_n(row.data() + x * channels, 3, decoded.pixels.data() + (y * width + x) * 3);
            if (channels == 4) {
                decoded.alpha[y * width + x] = row[x * channels + 3];
            }
        }
        std::swap(previous, row);
    }
    return png::Refusal::none;
}

// Larger image data is only counted, not kept: the fuzz inputs cannot fill it.
constexpr std::uint64_t kLargestKept = std::uint64_t{1} << 28;

Decoded refused(Decoded decoded, png::Refusal refusal) {
    decoded.ending = refusal == png::Refusal::none ? Ending::decoded : Ending::refused;
    decoded.refusal = refusal;
    return decoded;
}

}  // namespace

ChunkRead readChunk(ByteSpan bytes, std::size_t& position) {
    ChunkRead chunk;
    const ByteSpan length = read(bytes, position, 4);
    if (length.empty()) {
        return chunk;
    }
    if (length.size() != 4) {
        chunk.refusal = png::Refusal::eofInLength;
        return chunk;
    }
    chunk.type = read(bytes, position, 4);
    if (chunk.type.size() != 4) {
        chunk.refusal = png::Refusal::eofInType;
        return chunk;
    }
    chunk.data = read(bytes, position, bigEndian(length));
    if (chunk.data.size() != bigEndian(length)) {
        chunk.refusal = png::Refusal::eofInData;
        return chunk;
    }
    const ByteSpan crc = read(bytes, position, 4);
    if (crc.size() != 4) {
        chunk.refusal = png::Refusal::eofInCrc;
        return chunk;
    }
    Bytes covered(chunk.type.begin(), chunk.type.end());
    covered.insert(covered.end(), chunk.data.begin(), chunk.data.end());
    if (crc32(0, covered.data(), static_cast<uInt>(covered.size())) != bigEndian(crc)) {
        chunk.refusal = png::Refusal::corruptedChunk;
    }
    return chunk;
}

Decoded walkFile(ByteSpan bytes) {
    Decoded decoded;
    const ByteSpan signature = read(bytes, decoded.end, 8);
    if (signature.size() != 8 || std::memcmp(signature.data(), png::kSignature.data(), 8) != 0) {
        return refused(std::move(decoded), png::Refusal::unsupportedSignature);
    }
    const png::Refusal refusal = readChunks(bytes, decoded);
    return refused(std::move(decoded), refusal);
}

Decoded decode(ByteSpan bytes) {
    Decoded decoded = walkFile(bytes);
    if (decoded.ending != Ending::decoded) {
        return decoded;
    }
    if (const png::Refusal refusal = checkHeader(decoded.header); refusal != png::Refusal::none) {
        return refused(std::move(decoded), refusal);
    }
    Bytes stream;
    for (const Record& chunk : decoded.chunks) {
        if (named(chunk.type, "IDAT")) {
            stream.insert(stream.end(), chunk.data.begin(), chunk.data.end());
        }
    }
    decoded.channels = decoded.header[3] == 2 ? 3 : 4;
    const auto width = static_cast<std::uint64_t>(decoded.header[0]);
    const auto height = static_cast<std::uint64_t>(decoded.header[1]);
    const unsigned __int128 expected = static_cast<unsigned __int128>(height) *
                                       (width * static_cast<std::uint64_t>(decoded.channels) + 1);
    const std::size_t keep = expected <= kLargestKept ? static_cast<std::size_t>(expected) : 0;
    const Inflated raw = decompress(stream, keep);
    if (!raw.complete) {
        decoded.ending = Ending::zlibError;
        return decoded;
    }
    decoded.trailingData = raw.trailing;
    if (raw.size != expected) {
        return refused(std::move(decoded), png::Refusal::malformedImageData);
    }
    const png::Refusal refusal = rebuildRows(raw.kept, width, height, decoded);
    return refused(std::move(decoded), refusal);
}

}  // namespace literal
