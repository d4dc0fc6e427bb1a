#include "transforms/KYL_MTF_Unit.h"

#include <cstring>

#include "codec/KYL_MCP_Unit.h"

// Placeholder until the list-update stage lands: a copy.
void T_KYL_MTF::Encode(T_Block_Data& data) {
    std::memcpy(data.Target->Data, data.Source->Data, data.Source->Len);
    data.Target->Len = data.Source->Len;
}

void T_KYL_MTF::Decode(T_Block_Data& data) {
    std::memcpy(data.Target->Data, data.Source->Data, data.Source->Len);
    data.Target->Len = data.Source->Len;
}
