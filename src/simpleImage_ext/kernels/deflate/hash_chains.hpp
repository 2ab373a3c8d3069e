// Chains of earlier input positions that share a hash, as the matcher keeps them.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>

#include "kernels/deflate/format.hpp"

namespace kernels::deflate {

// The matcher's second set of chains hashes four bytes into this many bits.
inline constexpr std::uint32_t kWordHashBits = 15;
inline constexpr std::uint32_t kWordHashSize = 1u << kWordHashBits;

// Chains of earlier positions that share a hash: the most recent position of
// each hash and, for each position of the last 32 KiB, the distance back to
// the previous one with its hash (kWindowSize or more for none). 16-bit
// offsets keep the tables as small as zlib's: heads count from a base that
// moves up by kWindowSize when positions outgrow them, and entries that old
// become 0, which reads as the base itself. Until the base first moves that is
// position 0, which zlib, too, takes for an empty chain; once it has moved,
// the base is always farther back than any match reaches.
//
// With `countsPlaces`, each position also gets its place on its chain, one
// more than the position before it (modulo 2^16), kept in the head entry so
// that entering a position touches one entry. Places tell how far apart two
// positions of a chain are without walking it; where the chain before a
// position is out of reach, the count starts anew, and no candidate beyond
// that gap is ever compared with one after it.
template <std::uint32_t hashSize, bool countsPlaces>
class HashChains {
public:
    // Starts with every chain empty; the other entries are written before
    // they are read.
    HashChains() { clear(0); }

    void clear(std::uint32_t base) {
        head_.fill(0);
        base_ = base;
    }

    // Makes room for entering the positions up to `last`, which must lie
    // within kWindowSize of every position entered after the last call.
    void makeRoom(std::uint32_t last) {
        if (last - base_ > kOffsetMask) {
            slide();
        }
    }

    // Enters `position` on the chain of `hash`; returns the chain's previous
    // head (0 or out of reach for none).
    std::uint32_t enter(std::uint32_t position, std::uint32_t hash) {
        return enter(position, hash, base_);
    }

    // The same with the base passed in, for a run of positions that need no
    // room made: the stores into the tables then do not reload it.
    std::uint32_t base() const { return base_; }
    std::uint32_t enter(std::uint32_t position, std::uint32_t hash, std::uint32_t base) {
        const Head stored = head_[hash];
        const std::uint32_t previousHead = base + (stored & kOffsetMask);
        const std::uint32_t slot = position & (kWindowSize - 1);
        // Below 2^16, since the base is (see makeRoom); kWindowSize or more
        // ends the chain.
        previous_[slot] = static_cast<std::uint16_t>(position - previousHead);
        if constexpr (countsPlaces) {
            const auto place = static_cast<std::uint16_t>((stored >> 16) + 1);
            places_[slot] = place;
            head_[hash] = std::uint32_t{place} << 16 | (position - base);
        } else {
            head_[hash] = static_cast<Head>(position - base);
        }
        return previousHead;
    }

    // The next position down the chain from `position`, if it is above `oldest`.
    bool follow(std::uint32_t& position, std::uint32_t oldest) const {
        const std::uint32_t step = previous_[position & (kWindowSize - 1)];
        if (step >= position - oldest) {
            return false;
        }
        position -= step;
        return true;
    }

    // How many positions of its chain lie between `earlier` and `later`
    // (`later` excluded), for two positions of one chain within reach.
    std::uint16_t placesBetween(std::uint32_t later, std::uint32_t earlier) const
        requires countsPlaces {
        return static_cast<std::uint16_t>(places_[later & (kWindowSize - 1)] -
                                          places_[earlier & (kWindowSize - 1)]);
    }

private:
    using Head = std::conditional_t<countsPlaces, std::uint32_t, std::uint16_t>;
    static constexpr std::uint32_t kOffsetMask = 0xffff;
    struct NoPlaces {};

    void slide() {
        base_ += kWindowSize;
        for (Head& entry : head_) {
            const std::uint32_t offset = entry & kOffsetMask;
            entry = static_cast<Head>((entry & ~Head{kOffsetMask}) |
                                      (offset >= kWindowSize ? offset - kWindowSize : 0));
        }
    }

    std::array<Head, hashSize> head_;
    std::array<std::uint16_t, kWindowSize> previous_;
    [[no_unique_address]] std::conditional_t<countsPlaces, std::array<std::uint16_t, kWindowSize>,
                                             NoPlaces> places_;
    std::uint32_t base_ = 0;
};

}  // namespace kernels::deflate
