// SPDX-License-Identifier: MIT
// Eight bytes as one 64-bit word in a stated byte order, whatever the
// machine's: one unaligned load or store, and a byte swap where the orders
// differ.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// The eight bytes at p, p[0] the lowest.
inline std::uint64_t Load_LE64(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// The eight bytes at p, p[0] the highest.
inline std::uint64_t Load_BE64(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
}

// Stores word at p, its lowest byte at p[0].
inline void Store_LE64(std::uint8_t* p, std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(p, &word, sizeof word);
}
