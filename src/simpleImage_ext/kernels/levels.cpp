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

const KernelSet& activeKernels() noexcept {
    static const KernelSet& active = *kernelSet(bestLevel());
    return active;
}

}  // namespace kernels
