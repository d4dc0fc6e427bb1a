// SPDX-License-Identifier: MIT
// The run-length stage: a run of L >= Threshold equal bytes keeps
// Threshold + e copies, e being the exponent class of its run value
// x = L - Threshold (e = Log2_Floor(x)); x itself goes to Run_Array when e >= 1
// and comes back as the mantissa x + 1 - 2^e.  Shorter runs stay as they are.
#pragma once

#include <cstdint>

struct T_Block_Data;

class T_KYL_RLE_EXP {
public:
    // Run length from which a run is coded in exponent form (2 or more); the
    // controller sets it to 2 before every call.
    std::int32_t Threshold = 2;

    // Shortens the runs of Source into Target (never longer than Source),
    // appends the value x of every run of class 1 or more to
    // Run_Array[Run_Count...] and raises Run_Count.
    void Encode(T_Block_Data& data);

    // Rebuilds the runs of Source into Target.  On entry the mantissas of
    // class e (1..23) stand in Run_Array[Run_Class_Start[e] -
    // Run_Class_Count[e] .. Run_Class_Start[e] - 1], in run order; on return
    // Run_Class_Start[e] is back at the group's end.  Throws
    // T_KYL_Damaged_Block for a run of a class above 23, a class asking for
    // more mantissas than its group holds, a mantissa of more than e bits,
    // or an output longer than Max_Transformed_Length.
    void Decode(T_Block_Data& data);
};
