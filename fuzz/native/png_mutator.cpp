// A structure-aware mutator for PNG files (LLVMFuzzerCustomMutator), linked
// into the PNG targets. Byte-level mutations of a PNG almost always break a
// chunk's CRC, so nearly every input would stop at the chunk layer. This one
// takes the file apart into chunks, changes it at the level of chunks, header
// fields and inflated image data, and writes it back with valid CRCs and
// lengths; a small share of its outputs is damaged on purpose (a CRC, a
// length, a cut). Inputs that are not PNG files go to libFuzzer's own mutator.

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "kernels/crc32.hpp"
#include "png/format.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

using Bytes = std::vector<std::uint8_t>;
using ChunkType = std::array<std::uint8_t, 4>;
using Random = std::minstd_rand;

constexpr std::size_t kLargestImageData = std::size_t{1} << 20;  // inflated, for recompression

constexpr ChunkType typeOf(const char (&name)[5]) {
    return {static_cast<std::uint8_t>(name[0]), static_cast<std::uint8_t>(name[1]),
            static_cast<std::uint8_t>(name[2]), static_cast<std::uint8_t>(name[3])};
}

constexpr ChunkType kHeader = typeOf("IHDR");
constexpr ChunkType kImageData = typeOf("IDAT");
constexpr ChunkType kKnownTypes[] = {kHeader, kImageData, typeOf("IEND"), typeOf("PLTE"),
                                     typeOf("tRNS"), typeOf("gAMA"), typeOf("tEXt"),
                                     typeOf("zTXt"), typeOf("iCCP"), typeOf("sRGB"),
                                     typeOf("pHYs"), typeOf("prVt"), typeOf("zzZz")};

constexpr std::uint32_t kBoundaries[] = {0,      1,          2,          3,          4,
                                         7,      8,          16,         255,        256,
                                         0x7FFF, 0x8000,     0xFFFF,     1u << 24,   0x7FFFFFFF,
                                         1u << 31, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};

struct Chunk {
    ChunkType type;
    Bytes data;
};

struct PngFile {
    std::vector<Chunk> chunks;
    Bytes tail;  // whatever follows the last whole chunk
};

std::uint32_t below(Random& random, std::size_t bound) {
    return bound == 0 ? 0 : static_cast<std::uint32_t>(random() % bound);
}

bool oneIn(Random& random, unsigned n) { return below(random, n) == 0; }

std::uint32_t boundary(Random& random) {
    return oneIn(random, 5) ? static_cast<std::uint32_t>(random() ^ (random() << 16))
                            : kBoundaries[below(random, std::size(kBoundaries))];
}

void putBigEndian32(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

// ---------------------------------------------------------------------------
// The file as chunks, and back

std::optional<PngFile> parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < png::kSignature.size() ||
        std::memcmp(bytes.data(), png::kSignature.data(), png::kSignature.size()) != 0) {
        return std::nullopt;
    }
    PngFile file;
    std::size_t offset = png::kSignature.size();
    while (bytes.size() - offset >= 12) {
        const std::uint32_t length = png::bigEndian32(bytes.data() + offset);
        if (length > bytes.size() - offset - 12) {
            break;
        }
        const std::uint8_t* type = bytes.data() + offset + 4;
        file.chunks.push_back(
            {{type[0], type[1], type[2], type[3]}, Bytes(type + 4, type + 4 + length)});
        offset += 12 + std::size_t{length};
    }
    file.tail.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end());
    return file;
}

Bytes serialise(const PngFile& file) {
    Bytes out(png::kSignature.begin(), png::kSignature.end());
    for (const Chunk& chunk : file.chunks) {
        const std::size_t start = out.size();
        out.resize(start + 8);
        putBigEndian32(out.data() + start, static_cast<std::uint32_t>(chunk.data.size()));
        std::copy(chunk.type.begin(), chunk.type.end(), out.data() + start + 4);
        out.insert(out.end(), chunk.data.begin(), chunk.data.end());
        const std::uint32_t crc = kernels::crc32(0, out.data() + start + 4, chunk.data.size() + 4);
        out.resize(out.size() + 4);
        putBigEndian32(out.data() + out.size() - 4, crc);
    }
    out.insert(out.end(), file.tail.begin(), file.tail.end());
    return out;
}

// `bytes` changed by libFuzzer's own mutator, growing by up to `room` bytes.
void mutateBytes(Bytes& bytes, std::size_t room) {
    const std::size_t size = bytes.size();
    bytes.resize(size + room);
    bytes.resize(LLVMFuzzerMutate(bytes.data(), size, bytes.size()));
}

// ---------------------------------------------------------------------------
// The image data, inflated and compressed again

struct Layout {
    std::uint32_t width;
    std::uint32_t height;
    std::uint8_t colourType;
};

std::optional<Layout> headerLayout(const PngFile& file) {
    for (const Chunk& chunk : file.chunks) {
        if (chunk.type == kHeader && chunk.data.size() == 13) {
            const std::uint8_t* data = chunk.data.data();
            return Layout{png::bigEndian32(data), png::bigEndian32(data + 4), data[9]};
        }
    }
    return std::nullopt;
}

// The scanline stream's size for the header's layout, if it is small enough
// to make.
std::optional<std::size_t> scanlineSize(const Layout& layout) {
    const std::uint64_t channels = layout.colourType == png::kColourRgba ? 4 : 3;
    const std::uint64_t size = std::uint64_t{layout.height} * (layout.width * channels + 1);
    return size <= kLargestImageData ? std::optional<std::size_t>(size) : std::nullopt;
}

Bytes joinedImageData(const PngFile& file) {
    Bytes joined;
    for (const Chunk& chunk : file.chunks) {
        if (chunk.type == kImageData) {
            joined.insert(joined.end(), chunk.data.begin(), chunk.data.end());
        }
    }
    return joined;
}

// As much of the stream as inflates, up to kLargestImageData bytes.
Bytes inflated(const Bytes& stream) {
    static Bytes room(kLargestImageData);
    z_stream z{};
    inflateInit(&z);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = room.data();
    z.avail_out = static_cast<uInt>(room.size());
    inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return Bytes(room.begin(), room.begin() + static_cast<std::ptrdiff_t>(z.total_out));
}

Bytes compressed(const Bytes& data, int level) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes out(size);
    compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level);
    out.resize(size);
    return out;
}

// Replaces the IDAT chunks with `stream` cut into one to four chunks, where
// the first one stood (else before the last chunk).
void placeImageData(PngFile& file, const Bytes& stream, Random& random) {
    auto& chunks = file.chunks;
    const auto first = std::find_if(chunks.begin(), chunks.end(),
                                     [](const Chunk& chunk) { return chunk.type == kImageData; });
    const std::size_t beforeLast = chunks.size() - std::min<std::size_t>(chunks.size(), 1);
    std::size_t at =
        first != chunks.end() ? static_cast<std::size_t>(first - chunks.begin()) : beforeLast;
    std::erase_if(chunks, [](const Chunk& chunk) { return chunk.type == kImageData; });
    std::vector<std::size_t> cuts{0, stream.size()};
    for (std::uint32_t n = below(random, 4); n > 0; --n) {
        cuts.push_back(below(random, stream.size() + 1));
    }
    std::sort(cuts.begin(), cuts.end());
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i, ++at) {
        Chunk part{kImageData, Bytes(stream.data() + cuts[i], stream.data() + cuts[i + 1])};
        chunks.insert(chunks.begin() + static_cast<std::ptrdiff_t>(at), std::move(part));
    }
}

// Fresh records of `recordSize` bytes (a filter type, then the row), the
// filter types mostly valid.
Bytes freshScanlines(std::size_t size, std::size_t recordSize, Random& random) {
    Bytes rows(size);
    for (std::size_t i = 0; i < size; ++i) {
        const bool filterType = i % recordSize == 0;
        rows[i] = static_cast<std::uint8_t>(
            filterType ? below(random, oneIn(random, 20) ? 256 : 5) : random());
    }
    return rows;
}

void rewriteImageData(PngFile& file, Random& random) {
    Bytes rows = inflated(joinedImageData(file));
    const std::optional<Layout> layout = headerLayout(file);
    const std::optional<std::size_t> size = layout ? scanlineSize(*layout) : std::nullopt;
    switch (below(random, 4)) {
        case 0:
            if (size) {
                const std::size_t recordSize = *size / std::max<std::uint32_t>(layout->height, 1);
                rows = freshScanlines(*size, std::max<std::size_t>(recordSize, 1), random);
            }
            break;
        case 1:
            if (!rows.empty()) {
                rows[below(random, rows.size())] = static_cast<std::uint8_t>(random());
            }
            break;
        case 2: {  // a few bytes too few or too many
            const std::size_t change = 1 + below(random, 3);
            rows.resize(oneIn(random, 2) ? rows.size() - std::min(rows.size(), change)
                                         : rows.size() + change);
            break;
        }
        default:
            mutateBytes(rows, 16);
    }
    Bytes stream = compressed(rows, static_cast<int>(below(random, 10)));
    if (oneIn(random, 10)) {
        stream.push_back(static_cast<std::uint8_t>(random()));  // a byte after the stream's end
    }
    placeImageData(file, stream, random);
}

// ---------------------------------------------------------------------------
// Changes at the level of chunks

Chunk& someChunk(PngFile& file, Random& random) {
    return file.chunks[below(random, file.chunks.size())];
}

void setHeaderField(PngFile& file, Random& random) {
    auto header = std::find_if(file.chunks.begin(), file.chunks.end(),
                               [](const Chunk& chunk) { return chunk.type == kHeader; });
    if (header == file.chunks.end()) {
        const Bytes oneByOneRgb{0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0};
        header = file.chunks.insert(file.chunks.begin(), {kHeader, oneByOneRgb});
    }
    Bytes& data = header->data;
    data.resize(13);
    static constexpr std::uint8_t kDepths[] = {1, 2, 4, 8, 16};
    static constexpr std::uint8_t kColourTypes[] = {0, 2, 3, 4, 6, 7};
    const std::uint32_t field = below(random, 7);
    if (field < 2) {
        putBigEndian32(data.data() + 4 * field, boundary(random));
    } else if (oneIn(random, 10)) {
        data[6 + field] = static_cast<std::uint8_t>(random());
    } else if (field == 2) {
        data[8] = kDepths[below(random, std::size(kDepths))];
    } else if (field == 3) {
        data[9] = kColourTypes[below(random, std::size(kColourTypes))];
    } else {
        data[6 + field] = static_cast<std::uint8_t>(below(random, 2));
    }
}

void rearrangeChunks(PngFile& file, Random& random) {
    auto& chunks = file.chunks;
    const auto position = [&](std::size_t extra) {
        return chunks.begin() + static_cast<std::ptrdiff_t>(below(random, chunks.size() + extra));
    };
    switch (chunks.empty() ? 3 : below(random, 4)) {
        case 0:
            chunks.erase(position(0));
            break;
        case 1: {
            const Chunk copy = someChunk(file, random);
            chunks.insert(position(1), copy);
            break;
        }
        case 2:
            std::iter_swap(position(0), position(0));
            break;
        default: {
            Chunk fresh{kKnownTypes[below(random, std::size(kKnownTypes))],
                        Bytes(below(random, 16))};
            for (auto& byte : fresh.data) byte = static_cast<std::uint8_t>(random());
            chunks.insert(position(1), fresh);
        }
    }
}

// A known type, or one property bit (ancillary, private, reserved, safe to
// copy: bit 5 of each letter) flipped.
void changeChunkType(PngFile& file, Random& random) {
    Chunk& chunk = someChunk(file, random);
    if (oneIn(random, 2)) {
        chunk.type = kKnownTypes[below(random, std::size(kKnownTypes))];
    } else {
        chunk.type[below(random, 4)] ^= 0x20;
    }
}

void mutateChunkData(PngFile& file, Random& random) {
    mutateBytes(someChunk(file, random).data, 32);
}

// The few outputs that break the chunk layer on purpose: a cut, bytes added at
// the end, or four bytes (a length, a type, a CRC) overwritten.
void damage(Bytes& bytes, Random& random) {
    switch (below(random, 3)) {
        case 0:
            bytes.resize(below(random, bytes.size() + 1));
            break;
        case 1:
            bytes.resize(bytes.size() + 1 + below(random, 15), static_cast<std::uint8_t>(random()));
            break;
        default:
            if (bytes.size() >= png::kSignature.size() + 4) {
                const std::size_t after = png::kSignature.size();
                const std::size_t at = after + below(random, bytes.size() - after - 3);
                putBigEndian32(bytes.data() + at, boundary(random));
            }
    }
}

void mutateStructure(PngFile& file, Random& random) {
    using Mutation = void (*)(PngFile&, Random&);
    static constexpr Mutation kMutations[] = {setHeaderField, rewriteImageData, rewriteImageData,
                                              rearrangeChunks, changeChunkType, mutateChunkData,
                                              mutateChunkData};
    for (std::uint32_t n = 1 + below(random, 2); n > 0; --n) {
        Mutation mutation = kMutations[below(random, std::size(kMutations))];
        if (file.chunks.empty() && (mutation == changeChunkType || mutation == mutateChunkData)) {
            mutation = rearrangeChunks;
        }
        mutation(file, random);
    }
    if (oneIn(random, 2)) {
        file.tail.clear();
    }
}

std::size_t emit(const Bytes& bytes, std::uint8_t* data, std::size_t size, std::size_t maxSize) {
    if (bytes.size() > maxSize) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    std::copy(bytes.begin(), bytes.end(), data);
    return bytes.size();
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                                std::size_t maxSize, unsigned int seed) {
    Random random(seed);
    std::optional<PngFile> file = parse({data, size});
    if (!file || oneIn(random, 20)) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    mutateStructure(*file, random);
    Bytes bytes = serialise(*file);
    if (oneIn(random, 20)) {
        damage(bytes, random);
    }
    return emit(bytes, data, size, maxSize);
}

// Crossing two files: a chunk of the second put into the first.
extern "C" std::size_t LLVMFuzzerCustomCrossOver(const std::uint8_t* first,
                                                  std::size_t firstSize,
                                                  const std::uint8_t* second,
                                                  std::size_t secondSize, std::uint8_t* out,
                                                  std::size_t maxSize, unsigned int seed) {
    Random random(seed);
    std::optional<PngFile> into = parse({first, firstSize});
    const std::optional<PngFile> from = parse({second, secondSize});
    if (!into || !from || from->chunks.empty()) {
        return 0;
    }
    const Chunk& chunk = from->chunks[below(random, from->chunks.size())];
    const auto at = static_cast<std::ptrdiff_t>(below(random, into->chunks.size() + 1));
    into->chunks.insert(into->chunks.begin() + at, chunk);
    const Bytes bytes = serialise(*into);
    if (bytes.size() > maxSize) {
        return 0;
    }
    std::copy(bytes.begin(), bytes.end(), out);
    return bytes.size();
}
