// The list-update stage: plain move-to-front over the 256 byte values.
#pragma once

#include <cstdint>

struct T_Block_Data;

class T_KYL_MTF {
public:
    void Encode(T_Block_Data& data);
    void Decode(T_Block_Data& data);
};
