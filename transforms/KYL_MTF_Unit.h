// SPDX-License-Identifier: MIT
// The list-update stage: plain move-to-front over the 256 byte values.  Every
// block starts from the identity list; a byte is coded as its rank before it
// moves to the front.
#pragma once

#include <cstdint>

struct T_Block_Data;
class T_KYL_Helpers;

class T_KYL_MTF {
public:
    // Rank_Of[v] is the rank of byte value v (0 = front); Symbol_At[r] the
    // value at rank r.  Between operations each is the other's inverse.
    std::int32_t Rank_Of[256];
    std::int32_t Symbol_At[256];
    std::int32_t Spare[3];

    // Threads that the owner of this stage's codec lends to its blocks: a
    // long block is encoded in parts on them.  None: this thread works alone.
    T_KYL_Helpers* Helpers = nullptr;

    T_KYL_MTF() { Reset_List(); }

    // The identity list; the spare integers become 0.
    void Reset_List();
    // Source bytes to their ranks in Target, from the identity list.
    void Encode(T_Block_Data& data);
    // Source ranks back to byte values in Target, from the identity list.
    void Decode(T_Block_Data& data);

private:
    // Rebuilds Rank_Of and Symbol_At from the byte list the block loops use.
    void Store_List(const std::uint8_t* list);
};
