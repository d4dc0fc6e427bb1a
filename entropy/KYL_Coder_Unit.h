// The range coder and the block coder that lays out a block's payload.
#pragma once

#include <cstdint>

struct T_Block_Data;

class T_KYL_Coder {
public:
    // Writes the coded payload of the ranks in Source (and the run values in
    // Run_Array) to Target and appends the 3-byte payload length to Header.
    // Returns false, with Target undefined, when the payload would not fit
    // within Read_Ahead bytes; the controller then stores the block raw.
    bool Encode(T_Block_Data& data);
    // Reads one payload from Source (Source.Len on entry: the bytes available)
    // into ranks in Target; leaves the payload length consumed in Source.Len.
    // Throws T_KYL_Damaged_Block on a payload that cannot be decoded safely.
    void Decode(T_Block_Data& data);
};
