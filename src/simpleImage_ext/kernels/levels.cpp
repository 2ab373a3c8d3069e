#include "kernels/levels.hpp"

#include <iterator>

namespace kernels {
namespace {

#if defined(SIMPLEIMAGE_X86_KERNELS)
bool processorHas(Level level) noexcept {
    __builtin_cpu_init();
    switch (level) {
        case Level::kSse2:
            return __builtin_cpu_supports("sse2");
        case Level::kSsse3:
            return __builtin_cpu_supports("ssse3");
        case Level::kAvx2:
            // These are also false when the operating system does not save the
            // wide registers.
            return __builtin_cpu_supports("avx2");
        case Level::kAvx512:
            return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
        default:
            return true;
    }
}
#endif

using enum Level;

// The level each row kernel is taken from where the processor has it: the
// fastest on the kernel benchmark's rows (bench/kernels/run), which lays them
// out as the codecs do; levels within 3 % of each other count as equally fast
// and the higher one is kept. The figures, with the processor, compiler and
// commit they come from, are in bench/kernels/levels.md. AVX-512 is as fast or
// faster everywhere except in reconstructing Sub with 3 bytes per pixel and
// Average: there each block waits for the one before, and GCC 12's AVX-512
// code lengthens that wait (for Average, the complement of a load becomes a
// three-input operation that also reads the register holding the last block).
constexpr RowLevels kPreferredRowLevels = {
    // Filter types None, Sub, Up, Average, Paeth; 3 bytes per pixel, then 4.
    .reconstruct = {{{kAvx512, kAvx2, kAvx512, kSsse3, kAvx512},
                     {kAvx512, kAvx512, kAvx512, kAvx2, kAvx512}}},
    .filter = {{{kAvx512, kAvx512, kAvx512, kAvx512, kAvx512},
                {kAvx512, kAvx512, kAvx512, kAvx512, kAvx512}}},
};

// `preferred` where this build and processor have it, else the best level.
Level usableLevel(Level preferred) noexcept {
    return kernelSet(preferred) != nullptr ? preferred : bestLevel();
}

// Calls visit(bppIndex, type) for every slot of a row table.
template <class Visit>
void forEachRowSlot(Visit visit) noexcept {
    for (int bppIndex = 0; bppIndex < kKernelBppCount; ++bppIndex) {
        for (int type = 0; type < kFilterTypeCount; ++type) {
            visit(bppIndex, type);
        }
    }
}

RowSlots<Level> usableLevels(const RowSlots<Level>& preferred) noexcept {
    RowSlots<Level> usable{};
    forEachRowSlot([&](int bppIndex, int type) {
        usable.byBpp[bppIndex][type] = usableLevel(preferred.byBpp[bppIndex][type]);
    });
    return usable;
}

// Each slot's kernel from the `direction` table of the slot's level.
RowTable rowTable(const RowSlots<Level>& levels, RowTable KernelSet::*direction) noexcept {
    RowTable table{};
    forEachRowSlot([&](int bppIndex, int type) {
        const KernelSet& set = *kernelSet(levels.byBpp[bppIndex][type]);
        table.byBpp[bppIndex][type] = (set.*direction).byBpp[bppIndex][type];
    });
    return table;
}

KernelSet assembleActiveKernels() noexcept {
    const RowLevels& levels = activeRowLevels();
    KernelSet active = *kernelSet(bestLevel());
    active.reconstruct = rowTable(levels.reconstruct, &KernelSet::reconstruct);
    active.filter = rowTable(levels.filter, &KernelSet::filter);
    return active;
}

}  // namespace

const char* levelName(Level level) noexcept {
    // In the order of `Level`.
    constexpr const char* kNames[] = {"reference", "portable", "sse2", "ssse3", "avx2", "avx512"};
    static_assert(std::size(kNames) == std::size(kAllLevels));
    return kNames[static_cast<std::size_t>(level)];
}

const KernelSet* kernelSet(Level level) noexcept {
    switch (level) {
        case Level::kReference:
            return &reference::kernelSet();
        case Level::kPortable:
            return &portable::kernelSet();
#if defined(SIMPLEIMAGE_X86_KERNELS)
        case Level::kSse2:
            return processorHas(level) ? &sse2::kernelSet() : nullptr;
        case Level::kSsse3:
            return processorHas(level) ? &ssse3::kernelSet() : nullptr;
        case Level::kAvx2:
            return processorHas(level) ? &avx2::kernelSet() : nullptr;
        case Level::kAvx512:
            return processorHas(level) ? &avx512::kernelSet() : nullptr;
#endif
        default:
            return nullptr;
    }
}

std::vector<AvailableLevel> availableLevels() {
    std::vector<AvailableLevel> levels;
    for (const Level level : kAllLevels) {
        if (const KernelSet* set = kernelSet(level)) {
            levels.push_back({level, set});
        }
    }
    return levels;
}

Level bestLevel() noexcept {
    Level best = Level::kReference;
    for (const Level level : kAllLevels) {
        if (kernelSet(level) != nullptr) {
            best = level;
        }
    }
    return best;
}

const RowLevels& activeRowLevels() noexcept {
    static const RowLevels active = {usableLevels(kPreferredRowLevels.reconstruct),
                                     usableLevels(kPreferredRowLevels.filter)};
    return active;
}

const KernelSet& activeKernels() noexcept {
    static const KernelSet active = assembleActiveKernels();
    return active;
}

}  // namespace kernels
