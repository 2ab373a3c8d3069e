// The PNG format as the codec meets it: the signature, the header's layout and
// the values it accepts, and the refusal shared by the decoder and the writers.
#pragma once

#include <cstdint>
#include <string_view>

namespace png {

inline constexpr std::string_view kSignature{"\x89PNG\r\n\x1a\n", 8};

// Chunk lengths and CRCs: unsigned 32-bit big-endian.
inline constexpr const char* kUint32Format = ">I";

// IHDR: width, height, bit depth, colour type, compression, filter and interlace method.
inline constexpr const char* kHeaderFormat = ">IIBBBBB";
inline constexpr int kHeaderFields = 7;

inline constexpr int kBitDepth = 8;
inline constexpr int kColourRgb = 2;
inline constexpr int kColourRgba = 6;

// An unsigned 32-bit big-endian field: chunk lengths and CRCs, IHDR's width and height.
constexpr std::uint32_t bigEndian32(const std::uint8_t* bytes) noexcept {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | bytes[3];
}

}  // namespace png
