// The run-length stage: long runs keep the copies that tell their exponent
// class; their values go to Run_Array.
#pragma once

#include <cstdint>

struct T_Block_Data;

class T_KYL_RLE_EXP {
public:
    // Run length from which a run is coded in exponent form; the controller
    // sets it to 2 before every call.
    std::int32_t Threshold = 2;

    void Encode(T_Block_Data& data);
    void Decode(T_Block_Data& data);
};
