// The deflate format's alphabets (RFC 1951): match lengths and distances, the
// symbols that code them with their extra bits, and the code-length code. The
// deflate and the inflater both code with these.
#pragma once

#include <array>
#include <cstdint>

namespace kernels::deflate {

inline constexpr std::uint32_t kMinMatch = 3;
inline constexpr std::uint32_t kMaxMatch = 258;

inline constexpr int kLiterals = 256;
inline constexpr int kEndOfBlock = 256;
inline constexpr int kLengthCodes = 29;
inline constexpr int kLiteralLengthCodes = kLiterals + 1 + kLengthCodes;  // 286
inline constexpr int kDistanceCodes = 30;
inline constexpr int kCodeLengthCodes = 19;
inline constexpr int kMaxCodeBits = 15;
inline constexpr int kMaxCodeLengthBits = 7;

// Code-length symbols: repeat the previous length 3-6 times, repeat a zero
// 3-10 times, 11-138 times.
inline constexpr int kRepeatPrevious = 16;
inline constexpr int kRepeatZeroShort = 17;
inline constexpr int kRepeatZeroLong = 18;

inline constexpr std::array<std::uint8_t, kLengthCodes> kLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr std::array<std::uint8_t, kDistanceCodes> kDistanceExtraBits = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
inline constexpr std::array<std::uint8_t, kCodeLengthCodes> kCodeLengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
// The order in which a dynamic block header sends the code-length code lengths.
inline constexpr std::array<std::uint8_t, kCodeLengthCodes> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// The first match length (minus kMinMatch) and distance (minus one) of each code.
inline constexpr std::array<std::uint16_t, kLengthCodes> kLengthBase = [] {
    std::array<std::uint16_t, kLengthCodes> base{};
    std::uint16_t length = 0;
    for (int code = 0; code < kLengthCodes - 1; ++code) {
        base[code] = length;
        length = static_cast<std::uint16_t>(length + (1u << kLengthExtraBits[code]));
    }
    base[kLengthCodes - 1] = kMaxMatch - kMinMatch;  // 258 has a code of its own
    return base;
}();
inline constexpr std::array<std::uint16_t, kDistanceCodes> kDistanceBase = [] {
    std::array<std::uint16_t, kDistanceCodes> base{};
    std::uint32_t distance = 0;
    for (int code = 0; code < kDistanceCodes; ++code) {
        base[code] = static_cast<std::uint16_t>(distance);
        distance += 1u << kDistanceExtraBits[code];
    }
    return base;
}();

}  // namespace kernels::deflate
