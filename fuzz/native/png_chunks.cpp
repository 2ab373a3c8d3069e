// Each input is taken as a PNG file and read by the codec's chunk layer and by
// the literal decoder side by side. Chunk by chunk from where the signature
// ends: the same refusal, the same type and data, the same place where reading
// stopped; each chunk read, written again, gives back its very bytes. The
// whole file's walk (the signature, then chunks up to IEND): the same refusal
// and end and, for a file walked to its end, the same chunks, the same IDAT
// data and the same header. The PNG mutator keeps CRCs valid, so
// that most inputs get past the chunk layer's checks.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "expect.hpp"
#include "literal_png.hpp"
#include "png/chunks.hpp"

namespace {

bool same(png::ByteSpan a, png::ByteSpan b) { return a.data() == b.data() && a.size() == b.size(); }

void checkChunkByChunk(png::ByteSpan bytes) {
    std::size_t position = std::min<std::size_t>(bytes.size(), 8);
    png::ChunkWalker walker(bytes, position);
    for (;;) {
        png::Chunk chunk;
        const png::Refusal refusal = walker.next(chunk);
        const literal::ChunkRead expected = literal::readChunk(bytes, position);
        fuzz::expect(refusal == expected.refusal, "another refusal of a chunk");
        fuzz::expect(walker.position() == position, "a chunk read stopped elsewhere");
        if (refusal != png::Refusal::none || expected.type.empty()) {
            fuzz::expect(chunk.type.empty() == expected.type.empty(), "another end of the chunks");
            return;
        }
        fuzz::expect(same(chunk.type, expected.type) && same(chunk.data, expected.data),
                     "another chunk");
        const auto start = static_cast<std::size_t>(chunk.type.data() - bytes.data()) - 4;
        std::vector<std::uint8_t> written(position - start);
        png::writeChunk(chunk.type, chunk.data, written);
        fuzz::expect(std::ranges::equal(written, bytes.subspan(start, written.size())),
                     "a chunk written again differs");
    }
}

void checkWalk(png::ByteSpan bytes) {
    png::ChunkList list;
    const png::Refusal refusal = png::walkFile(bytes, 0, list);
    const literal::Decoded expected = literal::walkFile(bytes);
    fuzz::expect(refusal == expected.refusal, "another refusal of the file");
    fuzz::expect(list.end == expected.end, "the walk stopped elsewhere");
    if (refusal != png::Refusal::none) {
        return;
    }
    fuzz::expect(list.chunks.size() == expected.chunks.size(), "another number of chunks");
    std::vector<png::ByteSpan> imageData;
    for (std::size_t i = 0; i < list.chunks.size(); ++i) {
        const png::Chunk& chunk = list.chunks[i];
        fuzz::expect(same(chunk.type, expected.chunks[i].type) &&
                         same(chunk.data, expected.chunks[i].data),
                     "another chunk in the list");
        if (chunk.is("IDAT")) {
            imageData.push_back(chunk.data);
        }
    }
    fuzz::expect(std::ranges::equal(list.imageData, imageData, same), "other IDAT data");
    fuzz::expect(std::ranges::equal(list.header, expected.header), "another header");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const png::ByteSpan bytes{data, size};
    checkChunkByChunk(bytes);
    checkWalk(bytes);
    return 0;
}
