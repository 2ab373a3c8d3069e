#include "png/chunks.hpp"

#include <algorithm>
#include <cstring>

#include "kernels/crc32.hpp"
#include "png/format.hpp"

namespace png {

bool Chunk::is(const char (&name)[5]) const noexcept {
    return type.size() == 4 && std::memcmp(type.data(), name, 4) == 0;
}

Refusal ChunkWalker::next(Chunk& chunk) noexcept {
    chunk = {};
    const ByteSpan lengthBytes = read(4);
    if (lengthBytes.empty()) {
        return Refusal::none;
    }
    if (lengthBytes.size() != 4) {
        return Refusal::eofInLength;
    }
    const std::uint32_t length = bigEndian32(lengthBytes.data());
    chunk.type = read(4);
    if (chunk.type.size() != 4) {
        return Refusal::eofInType;
    }
    chunk.data = read(length);
    if (chunk.data.size() != length) {
        return Refusal::eofInData;
    }
    const ByteSpan crcBytes = read(4);
    if (crcBytes.size() != 4) {
        return Refusal::eofInCrc;
    }
    const std::uint32_t typeCrc = kernels::crc32(0, chunk.type.data(), chunk.type.size());
    if (kernels::crc32(typeCrc, chunk.data.data(), chunk.data.size()) !=
        bigEndian32(crcBytes.data())) {
        return Refusal::corruptedChunk;
    }
    return Refusal::none;
}

void writeChunk(ByteSpan type, ByteSpan data, std::span<std::uint8_t> out) noexcept {
    std::uint8_t* at = out.data();
    const auto putBigEndian32 = [&at](std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            *at++ = static_cast<std::uint8_t>(value >> shift);
        }
    };
    putBigEndian32(static_cast<std::uint32_t>(data.size()));
    at = std::copy(type.begin(), type.end(), at);
    at = std::copy(data.begin(), data.end(), at);
    const std::uint32_t typeCrc = kernels::crc32(0, type.data(), type.size());
    putBigEndian32(kernels::crc32(typeCrc, data.data(), data.size()));
}

Refusal parseHeader(ByteSpan data, Header& header) noexcept {
    if (data.size() != 13) {
        return Refusal::headerSize;
    }
    Header fields{};
    for (int i = 0; i < 2; ++i) {
        const std::uint32_t value = bigEndian32(data.data() + 4 * i);
        if (value > 0x7FFFFFFFu) {
            return Refusal::headerFieldTooLarge;
        }
        fields[i] = static_cast<std::int32_t>(value);
    }
    std::copy(data.begin() + 8, data.end(), fields.begin() + 2);
    header = fields;
    return Refusal::none;
}

Refusal checkHeader(const Header& header) noexcept {
    if (std::ranges::find(header, -1) != header.end()) {
        return Refusal::incompleteHeader;
    }
    if (header[kBitDepthField] != kBitDepth) {
        return Refusal::onlyEightBit;
    }
    if (header[kColourTypeField] != kColourRgb && header[kColourTypeField] != kColourRgba) {
        return Refusal::onlyRgb;
    }
    if (header[kCompressionField] != 0 || header[kFilterMethodField] != 0 ||
        header[kInterlaceField] != 0) {
        return Refusal::unsupportedConfiguration;
    }
    return Refusal::none;
}

namespace {

Refusal walkChunks(ChunkWalker& walker, ChunkList& list) {
    for (;;) {
        Chunk chunk;
        if (const Refusal refusal = walker.next(chunk); refusal != Refusal::none) {
            return refusal;
        }
        if (chunk.type.empty()) {
            return Refusal::none;
        }
        list.chunks.push_back(chunk);
        if (chunk.is("IHDR")) {
            if (const Refusal refusal = parseHeader(chunk.data, list.header);
                refusal != Refusal::none) {
                return refusal;
            }
        }
        if (chunk.is("IDAT")) {
            list.imageData.push_back(chunk.data);
        }
        if (chunk.is("IEND")) {
            return Refusal::none;
        }
    }
}

}  // namespace

Refusal walkFile(ByteSpan bytes, std::size_t position, ChunkList& list) {
    list.header.fill(-1);
    list.end = position;
    ChunkWalker walker(bytes, position);
    const ByteSpan signature = walker.read(kSignature.size());
    Refusal refusal = Refusal::unsupportedSignature;
    if (signature.size() == kSignature.size() &&
        std::memcmp(signature.data(), kSignature.data(), kSignature.size()) == 0) {
        refusal = walkChunks(walker, list);
    }
    list.end = walker.position();
    return refusal;
}

}  // namespace png
