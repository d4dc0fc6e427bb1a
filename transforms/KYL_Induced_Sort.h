// SPDX-License-Identifier: MIT
// Whole-block suffix sorting by induced sorting, linear in the block length
// whatever its contents.  The block transform orders most blocks with it;
// only blocks whose suffixes part after a few bytes sort faster by direct
// comparison.
#pragma once

#include <cstddef>
#include <cstdint>

class T_KYL_Helpers;

// Sorts the suffixes 0..length of block[0..length-1], where suffix `length`
// is the empty one and a suffix that is a proper prefix of another sorts
// first.  This is the order of the block transform: row 0 holds `length`.
// Writes, for every row r whose suffix p is not 0, output[r] = block[p - 1],
// and returns the row of suffix 0.
//
// block:        length bytes, and a readable byte at block[length].
// suffix_array: length + 1 entries, all overwritten with the order.
// type_bits:    at least Induced_Sort_Type_Words(length + 1) words.
// work:         at least Induced_Sort_Work_Words(length + 1) words.
// The block is only read.
std::int32_t Induced_Sort_Transform(const std::uint8_t* block, std::int32_t length, std::int32_t* suffix_array,
                                    std::uint32_t* type_bits, std::uint32_t* work, std::uint8_t* output,
                                    T_KYL_Helpers* helpers = nullptr);

// One S/L type bit per suffix of a string of n symbols.
constexpr std::size_t Induced_Sort_Type_Words(std::int32_t n) { return std::size_t(n) / 32 + 1; }

// The byte alphabet's bucket table, plus the reduced strings' type bits and
// bucket tables.  Every reduced string is at most half as long as the one it
// comes from and has fewer distinct names than symbols, so the levels below
// the first need fewer than n bucket entries and n / 32 + 32 type words.
constexpr std::size_t Induced_Sort_Work_Words(std::int32_t n) {
    return 257 + std::size_t(n) + std::size_t(n) / 32 + 64;
}
