// Reads from a buffer as reads from a stream positioned in it would: a read
// past the end gives what is left, and a position past the end reads nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kernels {

class ByteReader {
public:
    ByteReader(std::span<const std::uint8_t> bytes, std::size_t position) noexcept
        : bytes_(bytes), position_(position) {}

    // The next `count` bytes, or fewer at the end, as read(count) gives them.
    std::span<const std::uint8_t> read(std::size_t count) noexcept {
        if (position_ >= bytes_.size()) {
            return {};  // past the end a read gives nothing and moves nothing
        }
        const std::size_t taken = std::min(count, bytes_.size() - position_);
        const std::span<const std::uint8_t> read = bytes_.subspan(position_, taken);
        position_ += taken;
        return read;
    }

    std::size_t position() const noexcept { return position_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_;
};

}  // namespace kernels
