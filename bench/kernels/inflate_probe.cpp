// The kernels' inflater as a C function in a shared library, so that the
// inflaters' benchmark (bench/inflaters.py) can call it through ctypes beside
// the Python packages of the other inflaters.
#include <cstddef>
#include <cstdint>

#include "kernels/inflate.hpp"

extern "C" __attribute__((visibility("default"))) int simpleimage_inflate(
    const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, std::size_t outSize) {
    return kernels::inflateExactly({in, inSize}, {out, outSize}) ? 1 : 0;
}
