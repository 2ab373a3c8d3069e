// Reading a buffer as reads from a stream positioned in it would: what the
// literal decoders share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace literal {

// What read(count) on a stream at `position` returns; the position moves past it.
inline std::span<const std::uint8_t> read(std::span<const std::uint8_t> bytes,
                                          std::size_t& position, std::size_t count) {
    if (position >= bytes.size()) {
        return {};  // at or past the end: nothing, and the position stays
    }
    const std::size_t taken = std::min(count, bytes.size() - position);
    position += taken;
    return bytes.subspan(position - taken, taken);
}

}  // namespace literal
