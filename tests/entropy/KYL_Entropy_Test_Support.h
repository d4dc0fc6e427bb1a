// Helpers shared by the entropy tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "codec/KYL_MCP_Unit.h"
#include "entropy/KYL_Coder_Unit.h"
#include "entropy/KYL_Model_Unit.h"

using T_Bytes = std::vector<std::uint8_t>;

// A controller set as Current_Controller; the context model reads the
// block's Variant_Flag from it.  Its arena is allocated but not touched.
struct T_Controller_Fixture {
    T_KYL_MCP Controller;
    T_Current_Controller_Scope Scope{Controller};
};

// One section starting at position 0 with a freshly reset model.
inline T_Bytes Encode_Section(T_KYL_Model& model, std::initializer_list<std::int32_t> symbols) {
    T_Bytes out(256);
    T_KYL_Range_Coder coder;
    model.Reset();
    coder.Start_Encoding(out.data(), 0, std::int32_t(out.size()));
    for (std::int32_t s : symbols) coder.Encode_Model_Symbol(model, s);
    out.resize(std::size_t(coder.Finish_Encoding()));
    return out;
}

// Codes a value through a symbol model the way the block coder does.
inline void Encode_Value(T_KYL_Range_Coder& coder, const T_KYL_Symbol_Model& model, std::int32_t value) {
    const T_KYL_Symbol_Model::T_Split split = model.Split_Symbol(value);
    coder.Encode_Model_Symbol(*split.First_Model, split.First_Symbol);
    if (split.Group_Model) coder.Encode_Model_Symbol(*split.Group_Model, split.Group);
    if (split.Sub_Model) coder.Encode_Model_Symbol(*split.Sub_Model, split.Offset);
}

inline std::int32_t Decode_Value(T_KYL_Range_Coder& coder, const T_KYL_Symbol_Model& model) {
    const std::int32_t first = coder.Decode_Model_Symbol(*model.First_Model);
    if (first != T_KYL_Symbol_Model::Escape) return first;
    const std::int32_t group = coder.Decode_Model_Symbol(*model.Group_Model);
    T_KYL_Model& sub = model.Sub_Model(group);
    const std::int32_t offset = sub.Symbol_Count > 1 ? coder.Decode_Model_Symbol(sub) : 0;
    return T_KYL_Symbol_Model::Join_Symbol(group, offset);
}
