// Inputs on which the deflate kernel is compared with the interpreter's zlib
// before it stands in for it: together their streams have stored, fixed and
// dynamic blocks, block boundaries, window moves, and long, near and far
// matches. The kernel writes zlib 1.2.13's streams; a zlib that writes others
// (another version, zlib-ng) fails the comparison.
#pragma once

#include <cstdint>
#include <vector>

namespace kernels::deflate {

std::vector<std::vector<std::uint8_t>> selfCheckSamples();

}  // namespace kernels::deflate
