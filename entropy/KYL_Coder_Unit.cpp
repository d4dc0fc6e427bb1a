#include "entropy/KYL_Coder_Unit.h"

#include <cstring>

#include "codec/KYL_MCP_Unit.h"

// Placeholder until the block coder lands: the payload is the ranks as they are.
bool T_KYL_Coder::Encode(T_Block_Data& data) {
    std::memcpy(data.Target->Data, data.Source->Data, data.Source->Len);
    data.Target->Len = data.Source->Len;
    const std::int32_t p = data.Target->Len;
    for (int shift = 0; shift < 24; shift += 8) data.Header->Data[data.Header->Len++] = std::uint8_t(p >> shift);
    return true;
}

void T_KYL_Coder::Decode(T_Block_Data& data) {
    std::int32_t p = 0;
    for (int i = 0; i < 3; ++i) p = (p << 8) | data.Header->Data[--data.Header->Len];
    Require_Intact(p <= data.Source->Len, "payload length past the bytes read");
    std::memcpy(data.Target->Data, data.Source->Data, p);
    data.Target->Len = p;
    data.Source->Len = p;
}
