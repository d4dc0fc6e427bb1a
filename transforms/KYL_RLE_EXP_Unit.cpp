#include "transforms/KYL_RLE_EXP_Unit.h"

#include <cstring>

#include "codec/KYL_MCP_Unit.h"

// Placeholder until the run-length stage lands: a copy.
void T_KYL_RLE_EXP::Encode(T_Block_Data& data) {
    std::memcpy(data.Target->Data, data.Source->Data, data.Source->Len);
    data.Target->Len = data.Source->Len;
}

void T_KYL_RLE_EXP::Decode(T_Block_Data& data) {
    std::memcpy(data.Target->Data, data.Source->Data, data.Source->Len);
    data.Target->Len = data.Source->Len;
}
