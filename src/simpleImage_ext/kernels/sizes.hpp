// Exact size arithmetic for image dimensions.
//
// Dimensions are 32-bit signed integers, so products such as width * height * 4
// exceed 64 bits only in contrived cases, but a lying header is exactly such a
// case. Every size derived from a header goes through these helpers: a product
// that does not fit is reported as absent and can then never match a real length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace kernels::sizes {

// a * b and a + b; nothing when `a` is nothing or the result overflows.
constexpr std::optional<std::int64_t> multiply(std::optional<std::int64_t> a,
                                               std::int64_t b) noexcept {
    std::int64_t result = 0;
    return a && !__builtin_mul_overflow(*a, b, &result) ? std::optional(result) : std::nullopt;
}

constexpr std::optional<std::int64_t> add(std::optional<std::int64_t> a,
                                          std::int64_t b) noexcept {
    std::int64_t result = 0;
    return a && !__builtin_add_overflow(*a, b, &result) ? std::optional(result) : std::nullopt;
}

// width * height * samples, or nothing when it does not fit in 64 bits.
constexpr std::optional<std::int64_t> planeSize(std::int32_t width, std::int32_t height,
                                                std::int64_t samples) noexcept {
    return multiply(multiply(width, height), samples);
}

// The rows to grow a buffer to when it must hold `needed` rows of `rowBytes`
// and holds `capacity`: doubling, so that a large buffer is grown a few times
// (by remapping, not copying, once it is big), at least 1 MiB at first, and
// never beyond the `rowCount` rows the image has.
constexpr std::size_t grownRowCapacity(std::size_t needed, std::size_t capacity,
                                       std::size_t rowBytes, std::size_t rowCount) noexcept {
    constexpr std::size_t kFirstBytes = std::size_t{1} << 20;
    const std::size_t firstRows = kFirstBytes / (rowBytes > 0 ? rowBytes : 1) + 1;
    const std::size_t doubled = 2 * capacity;
    std::size_t rows = needed > doubled ? needed : doubled;
    rows = rows > firstRows ? rows : firstRows;
    return rows < rowCount ? rows : rowCount;
}

// True when `length` (a container size, never negative) equals the exact product.
constexpr bool matches(std::int64_t length, std::optional<std::int64_t> size) noexcept {
    return size && *size == length;
}

}  // namespace kernels::sizes
