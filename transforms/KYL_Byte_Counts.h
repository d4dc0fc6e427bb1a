// SPDX-License-Identifier: MIT
// Counting the byte values of a stretch of a block, which both the forward
// sort and the inverse walk's entries start from.
#pragma once

#include <cstdint>

// counts[c] = how often c occurs in bytes[from..to-1].  Four tables take the
// counts in turn, so that a run of one value does not wait on its own
// increments.
inline void Count_Byte_Values(const std::uint8_t* bytes, std::int32_t from, std::int32_t to, std::int32_t* counts) {
    std::int32_t quarter[4][256] = {};
    std::int32_t k = from;
    for (; k + 4 <= to; k += 4) {
        ++quarter[0][bytes[k]];
        ++quarter[1][bytes[k + 1]];
        ++quarter[2][bytes[k + 2]];
        ++quarter[3][bytes[k + 3]];
    }
    for (; k < to; ++k) ++quarter[0][bytes[k]];
    for (int c = 0; c < 256; ++c) counts[c] = quarter[0][c] + quarter[1][c] + quarter[2][c] + quarter[3][c];
}
