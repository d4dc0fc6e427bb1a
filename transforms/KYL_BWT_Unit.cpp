#include "transforms/KYL_BWT_Unit.h"

#include <cstring>

#include "codec/KYL_MCP_Unit.h"

// Placeholder until the suffix sort lands: an identity transform.
void T_KYL_BWT::Encode(T_Block_Data& data) {
    std::memcpy(data.Target->Data, data.Source->Data, data.Source->Len);
    data.Target->Len = data.Source->Len;
    for (int i = 0; i < 3; ++i) data.Header->Data[data.Header->Len++] = 0;
}

void T_KYL_BWT::Decode(T_Block_Data& data) {
    data.Header->Len -= 3;
    std::memcpy(data.Target->Data, data.Source->Data, data.Source->Len);
    data.Target->Len = data.Source->Len;
}
