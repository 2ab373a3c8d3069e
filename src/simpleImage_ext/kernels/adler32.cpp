#include "kernels/adler32.hpp"

#include "kernels/levels.hpp"

namespace kernels {

std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) noexcept {
    return activeKernels().adler32(adler, data, size);
}

}  // namespace kernels
