// The block-sorting transform and its inverse.
#pragma once

#include <cstdint>

struct T_Block_Data;

class T_KYL_BWT {
public:
    // Replaces the block in Source by its transform (one byte longer) in
    // Target and appends the 3-byte primary index to Header.
    void Encode(T_Block_Data& data);
    // Restores the block from the transformed bytes in Source and the primary
    // index taken from the end of Header.
    void Decode(T_Block_Data& data);
};
