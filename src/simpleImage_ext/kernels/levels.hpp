// Instruction-set levels of the row kernels and the choice among them. The
// active kernels are assembled once, on first use, each from the level that
// runs it fastest among those the processor supports; tests and benchmarks
// reach every level that this processor can run.
#pragma once

#include <cstdint>
#include <vector>

#include "kernels/kernel_set.hpp"

namespace kernels {

enum class Level : std::uint8_t {
    kReference,  // byte by byte, as the formats define the operations
    kPortable,   // plain C++ that compilers can vectorise on any processor
    kSse2,
    kSsse3,
    kAvx2,
    kAvx512,  // AVX-512 VL and BW on 128- and 256-bit vectors
};

inline constexpr Level kAllLevels[] = {Level::kReference, Level::kPortable, Level::kSse2,
                                       Level::kSsse3, Level::kAvx2, Level::kAvx512};

const char* levelName(Level level) noexcept;

// The kernels of `level`, or nullptr when this build or this processor lacks it.
const KernelSet* kernelSet(Level level) noexcept;

struct AvailableLevel {
    Level level;
    const KernelSet* set;
};

// The levels that this build and this processor have, slowest first.
std::vector<AvailableLevel> availableLevels();

// The highest level available here.
Level bestLevel() noexcept;

// The level each active row kernel comes from.
struct RowLevels {
    RowSlots<Level> reconstruct;
    RowSlots<Level> filter;
};

// Each row kernel's level: the one measured fastest for it where this
// processor has that level, else the best level. Looked up once.
const RowLevels& activeRowLevels() noexcept;

// The row kernels of activeRowLevels(), and the row copies and Adler-32 of the
// best level. Assembled once.
const KernelSet& activeKernels() noexcept;

}  // namespace kernels
