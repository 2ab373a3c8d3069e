// What the kernel checks share: reporting of the current case and of
// mismatches, and buffers placed against inaccessible pages, so that a kernel
// that reads or writes outside its bytes faults at once.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace checks {

using std::size_t;
using std::uint8_t;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Reporting

inline char currentCase[256] = "start-up";
inline int mismatchCount = 0;

inline void describe(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(currentCase, sizeof currentCase, format, arguments);
    va_end(arguments);
}

inline void onFault(int) {
    constexpr char kPrefix[] = "FAULT in ";
    (void)!write(STDERR_FILENO, kPrefix, sizeof kPrefix - 1);
    (void)!write(STDERR_FILENO, currentCase, std::strlen(currentCase));
    (void)!write(STDERR_FILENO, "\n", 1);
    _exit(2);
}

inline void expect(bool ok, const char* what) {
    if (!ok && ++mismatchCount <= 40) {
        std::fprintf(stderr, "MISMATCH in %s: %s\n", currentCase, what);
    }
}

inline void expectSameBytes(const uint8_t* actual, const uint8_t* expected, size_t n, const char* what) {
    for (size_t i = 0; i < n; ++i) {
        if (actual[i] != expected[i]) {
            char detail[160];
            std::snprintf(detail, sizeof detail, "%s: byte %zu is %d, expected %d", what, i,
                          actual[i], expected[i]);
            expect(false, detail);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Buffers

enum class Placement { kAgainstEnd, kAgainstStart };
inline constexpr Placement kPlacements[] = {Placement::kAgainstEnd, Placement::kAgainstStart};

inline const char* placementName(Placement placement) {
    return placement == Placement::kAgainstEnd ? "end" : "start";
}

// Room for a row between two inaccessible pages; the row is placed against one
// of them, so that an access just past either end faults.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t capacity) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        room_ = (capacity + page_ - 1) / page_ * page_;
        void* mapped = mmap(nullptr, room_ + 2 * page_, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            std::perror("mmap");
            std::exit(3);
        }
        base_ = static_cast<uint8_t*>(mapped);
        mprotect(base_, page_, PROT_NONE);
        mprotect(base_ + page_ + room_, page_, PROT_NONE);
    }
    ~GuardedBuffer() { munmap(base_, room_ + 2 * page_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* place(size_t n, Placement placement) const {
        return placement == Placement::kAgainstEnd ? base_ + page_ + room_ - n : base_ + page_;
    }
    // The row placed and filled with `bytes`.
    uint8_t* hold(std::span<const uint8_t> bytes, Placement placement) const {
        uint8_t* row = place(bytes.size(), placement);
        if (!bytes.empty()) {
            std::memcpy(row, bytes.data(), bytes.size());
        }
        return row;
    }

private:
    size_t page_ = 0;
    size_t room_ = 0;
    uint8_t* base_ = nullptr;
};

}  // namespace checks
