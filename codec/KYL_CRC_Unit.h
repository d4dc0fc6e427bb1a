// SPDX-License-Identifier: MIT
// CRC-32 (reflected, polynomial 0x04C11DB7, initial and final value
// 0xFFFFFFFF) of a block's uncompressed bytes.
#pragma once

#include <cstdint>

class T_KYL_CRC32 {
public:
    // The CRC-32 of `length` bytes at `data`; 0 for a length of 0 or less.
    std::uint32_t Compute(const std::uint8_t* data, std::int32_t length) const;
};
