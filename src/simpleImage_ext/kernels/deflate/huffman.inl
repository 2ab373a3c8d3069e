// The run-length walk over code lengths, shared by the code-length statistics
// and the header writer so that both see the same symbols.
#pragma once

namespace kernels::deflate {

template <class Visit>
void forEachCodeLengthSymbol(std::span<const std::uint16_t> lengths, int maxCode, Visit&& visit) {
    // After the last symbol a length that no run can continue into.
    constexpr int kGuard = 0xffff;
    int previous = -1;
    int next = lengths[0];
    int count = 0;
    int maxCount = next == 0 ? 138 : 7;
    int minCount = next == 0 ? 3 : 4;
    for (int n = 0; n <= maxCode; ++n) {
        const int current = next;
        next = n < maxCode ? lengths[n + 1] : kGuard;
        if (++count < maxCount && current == next) {
            continue;
        }
        if (count < minCount) {
            for (; count > 0; --count) {
                visit(current, 0, 0);
            }
        } else if (current != 0) {
            if (current != previous) {
                visit(current, 0, 0);
                --count;
            }
            visit(kRepeatPrevious, count - 3, 2);
        } else if (count <= 10) {
            visit(kRepeatZeroShort, count - 3, 3);
        } else {
            visit(kRepeatZeroLong, count - 11, 7);
        }
        count = 0;
        previous = current;
        if (next == 0) {
            maxCount = 138, minCount = 3;
        } else if (current == next) {
            maxCount = 6, minCount = 3;
        } else {
            maxCount = 7, minCount = 4;
        }
    }
}

}  // namespace kernels::deflate
