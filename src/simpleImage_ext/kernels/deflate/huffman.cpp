#include "kernels/deflate/huffman.hpp"

#include <algorithm>

namespace kernels::deflate {

const Alphabet kLiteralLengthAlphabet{kLiteralLengthCodes, kMaxCodeBits, kLengthExtraBits.data(),
                                      kLiterals + 1, kFixedLiteralLengthCode.length.data()};
const Alphabet kDistanceAlphabet{kDistanceCodes, kMaxCodeBits, kDistanceExtraBits.data(), 0,
                                 kFixedDistanceCode.length.data()};
const Alphabet kCodeLengthAlphabet{kCodeLengthCodes, kMaxCodeLengthBits,
                                   kCodeLengthExtraBits.data(), 0, nullptr};

// Ties in frequency go to the shallower subtree, which keeps codes short.
bool TreeBuilder::lighter(const HuffmanTree& tree, int a, int b) const {
    return tree.frequency[a] < tree.frequency[b] ||
           (tree.frequency[a] == tree.frequency[b] && depth_[a] <= depth_[b]);
}

// Moves heap_[node] down until it is lighter than both children.
void TreeBuilder::siftDown(const HuffmanTree& tree, int node) {
    const int moving = heap_[node];
    int child = node << 1;
    while (child <= heapLength_) {
        if (child < heapLength_ && lighter(tree, heap_[child + 1], heap_[child])) {
            ++child;
        }
        if (lighter(tree, moving, heap_[child])) {
            break;
        }
        heap_[node] = heap_[child];
        node = child;
        child <<= 1;
    }
    heap_[node] = moving;
}

void TreeBuilder::build(HuffmanTree& tree, const Alphabet& alphabet, BlockCost& cost) {
    const int elements = alphabet.elements;
    heapLength_ = 0;
    heapMax_ = kHeapSize;
    int maxCode = -1;
    for (int n = 0; n < elements; ++n) {
        if (tree.frequency[n] != 0) {
            heap_[++heapLength_] = maxCode = n;
            depth_[n] = 0;
        } else {
            tree.length[n] = 0;
        }
    }
    // A code needs two symbols at least, so that every symbol takes one bit:
    // symbols 0 and 1 join one that is alone (they have no extra bits).
    while (heapLength_ < 2) {
        const int forced = maxCode < 2 ? ++maxCode : 0;
        heap_[++heapLength_] = forced;
        tree.frequency[forced] = 1;
        depth_[forced] = 0;
        --cost.optimal;
        if (alphabet.fixedLengths != nullptr) {
            cost.fixed -= alphabet.fixedLengths[forced];
        }
    }
    tree.maxCode = maxCode;

    for (int n = heapLength_ / 2; n >= 1; --n) {
        siftDown(tree, n);
    }
    // Join the two lightest nodes until one is left; heap_[heapMax_..] collects
    // the nodes in order of increasing weight, the root last.
    int node = elements;
    do {
        const int lightest = heap_[1];
        heap_[1] = heap_[heapLength_--];
        siftDown(tree, 1);
        const int second = heap_[1];
        heap_[--heapMax_] = lightest;
        heap_[--heapMax_] = second;
        tree.frequency[node] = tree.frequency[lightest] + tree.frequency[second];
        depth_[node] = static_cast<std::uint8_t>(std::max(depth_[lightest], depth_[second]) + 1);
        tree.parent[lightest] = tree.parent[second] = static_cast<std::uint16_t>(node);
        heap_[1] = node++;
        siftDown(tree, 1);
    } while (heapLength_ >= 2);
    heap_[--heapMax_] = heap_[1];

    assignLengths(tree, alphabet, cost);
    assignCodes(std::span(tree.length).first(maxCode + 1), tree.code, lengthCount_);
}

// Code lengths from the depths in the tree, capped at the alphabet's limit.
// Capping leaves the lengths inconsistent; zlib then moves leaves down the
// tree until the counts per length describe a complete code again, and hands
// the lengths out anew in order of increasing frequency.
void TreeBuilder::assignLengths(HuffmanTree& tree, const Alphabet& alphabet, BlockCost& cost) {
    const int maxLength = alphabet.maxLength;
    lengthCount_.fill(0);
    int overflow = 0;
    tree.length[heap_[heapMax_]] = 0;  // the root
    for (int h = heapMax_ + 1; h < kHeapSize; ++h) {
        const int n = heap_[h];
        int bits = tree.length[tree.parent[n]] + 1;
        if (bits > maxLength) {
            bits = maxLength;
            ++overflow;
        }
        tree.length[n] = static_cast<std::uint16_t>(bits);
        if (n > tree.maxCode) {
            continue;  // an internal node
        }
        ++lengthCount_[bits];
        const int extra = n >= alphabet.extraBase ? alphabet.extraBits[n - alphabet.extraBase] : 0;
        const std::uint64_t frequency = tree.frequency[n];
        cost.optimal += frequency * static_cast<std::uint64_t>(bits + extra);
        if (alphabet.fixedLengths != nullptr) {
            cost.fixed += frequency * static_cast<std::uint64_t>(alphabet.fixedLengths[n] + extra);
        }
    }
    if (overflow == 0) {
        return;
    }
    do {
        int bits = maxLength - 1;
        while (lengthCount_[bits] == 0) {
            --bits;
        }
        --lengthCount_[bits];         // a leaf moves one level down,
        lengthCount_[bits + 1] += 2;  // beside an overflowing leaf as its brother,
        --lengthCount_[maxLength];
        overflow -= 2;
    } while (overflow > 0);

    int h = kHeapSize;
    for (int bits = maxLength; bits != 0; --bits) {
        for (int n = lengthCount_[bits]; n != 0;) {
            const int m = heap_[--h];
            if (m > tree.maxCode) {
                continue;
            }
            if (tree.length[m] != bits) {
                cost.optimal += (static_cast<std::uint64_t>(bits) - tree.length[m]) *
                                static_cast<std::uint64_t>(tree.frequency[m]);
                tree.length[m] = static_cast<std::uint16_t>(bits);
            }
            --n;
        }
    }
}

}  // namespace kernels::deflate
