// What the fuzz targets share: a failed expectation stops the run with a
// message, so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void expect(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "MISMATCH: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzz
