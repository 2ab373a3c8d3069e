#include "kernels/deflate/self_check.hpp"

#include <string_view>

namespace kernels::deflate {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A fixed sequence of numbers: the samples must be the same in every process.
class Numbers {
public:
    std::uint32_t next() {
        state_ = state_ * 6364136223846793005u + 1442695040888963407u;
        return static_cast<std::uint32_t>(state_ >> 33);
    }

private:
    std::uint64_t state_ = 20240613;
};

void appendText(Bytes& bytes, Numbers& numbers, std::size_t size) {
    constexpr std::string_view kWords[] = {
        "pixel", "row", "filter", "chunk", "window", "match", "literal", "block",
        "stream", "deflate", "inflate", "header", "image", "alpha", "Paeth", "Sub",
        "Up", "Average", "None", "the", "a", "of", "and", "with", "distance", "length"};
    const std::size_t end = bytes.size() + size;
    while (bytes.size() < end) {
        const std::string_view word = kWords[numbers.next() % std::size(kWords)];
        bytes.insert(bytes.end(), word.begin(), word.end());
        bytes.push_back(numbers.next() % 9 == 0 ? '\n' : ' ');
    }
}

void appendNoise(Bytes& bytes, Numbers& numbers, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(numbers.next()));
    }
}

void appendCopy(Bytes& bytes, std::size_t distance, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        bytes.push_back(bytes[bytes.size() - distance]);
    }
}

}  // namespace

std::vector<Bytes> selfCheckSamples() {
    Numbers numbers;
    Bytes large;
    appendText(large, numbers, 48 * 1024);       // dynamic blocks, near matches
    appendNoise(large, numbers, 100 * 1024);     // stored blocks, each ending at 16383 literals
    large.insert(large.end(), 12 * 1024, 0);     // matches of 258 bytes
    appendCopy(large, 31 * 1024, 6 * 1024);      // matches from far back
    appendText(large, numbers, 64 * 1024);       // more blocks and window moves
    appendNoise(large, numbers, 4 * 1024);
    appendCopy(large, 20 * 1024, 8 * 1024);
    appendText(large, numbers, 50 * 1024);
    Bytes small;
    appendText(small, numbers, 24);              // a fixed block
    return {large, small};
}

}  // namespace kernels::deflate
