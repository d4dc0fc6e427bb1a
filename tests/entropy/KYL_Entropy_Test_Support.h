// SPDX-License-Identifier: MIT
// Helpers shared by the entropy tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "KYL_Block_Harness.h"
#include "entropy/KYL_Coder_Unit.h"
#include "entropy/KYL_Model_Unit.h"

using T_Bytes = std::vector<std::uint8_t>;

// A controller set as Current_Controller; the context model reads the
// block's Variant_Flag from it.
struct T_Controller_Fixture {
    T_KYL_Block_Harness Controller;
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

// An arithmetic coder with the same interval steps as the range coder but an
// unbounded code value: every carry is added into the bytes already produced
// at once.  Its bytes must equal the range coder's, whose carries wait in
// Cache and Pending.
class T_Reference_Encoder {
public:
    T_Bytes Bytes{0};
    std::uint32_t Window = 0;  // the low 31 bits of the code value
    std::uint32_t Range = 0x80000000;
    int Longest_Carry_Run = 0;  // 0xFF bytes a carry has passed through
    bool Flush_Carried = false;

    void Encode(T_KYL_Model& model, std::int32_t symbol) {
        const std::int32_t p = model.Symbol_To_Pos[symbol];
        Normalize();
        const std::uint32_t total = model.Cum_Freq[0];
        const std::uint32_t r = Range / total;
        Add(r * std::uint32_t(model.Cum_Freq[p]));
        Range = std::uint32_t(model.Cum_Freq[p - 1]) < total
                    ? r * std::uint32_t(model.Cum_Freq[p - 1] - model.Cum_Freq[p])
                    : Range - r * std::uint32_t(model.Cum_Freq[p]);
        model.Update(p);
    }
    void Encode_Value(const T_KYL_Symbol_Model& model, std::int32_t value) {
        const T_KYL_Symbol_Model::T_Split split = model.Split_Symbol(value);
        Encode(*split.First_Model, split.First_Symbol);
        if (split.Group_Model) Encode(*split.Group_Model, split.Group);
        if (split.Sub_Model) Encode(*split.Sub_Model, split.Offset);
    }
    T_Bytes Finish() {
        Normalize();
        const std::uint32_t v = (Window >> 23) + 1;
        if (v > 0xFF) {
            Flush_Carried = true;
            Carry();
        }
        Bytes.push_back(std::uint8_t(v));
        return Bytes;
    }

private:
    void Normalize() {
        while (Range <= 0x800000) {
            Bytes.push_back(std::uint8_t(Window >> 23));
            Window = (Window << 8) & 0x7FFFFFFF;
            Range <<= 8;
        }
    }
    void Add(std::uint32_t amount) {
        Window += amount;
        if (Window & 0x80000000) {
            Window &= 0x7FFFFFFF;
            Carry();
        }
    }
    void Carry() {
        int run = 0;
        std::size_t i = Bytes.size();
        while (Bytes[--i] == 0xFF) {
            Bytes[i] = 0;
            ++run;
        }
        ++Bytes[i];
        Longest_Carry_Run = std::max(Longest_Carry_Run, run);
    }
};

// The decoder's steps written out plainly: t = Low div r, clamped below the
// total, and a search for the first position whose Cum_Freq is at most t.
// Bytes past the end of `bytes` read as zero.  The range coder finds its
// positions differently; both must agree on any bytes, damaged ones too.
class T_Reference_Decoder {
public:
    explicit T_Reference_Decoder(const T_Bytes& bytes) : Bytes(bytes) {
        Cache = Byte(1);
        Pos = 2;
        Low = Cache >> 1;
    }

    std::int32_t Decode(T_KYL_Model& model) {
        while (Range <= 0x800000) {
            Low = (Low << 8) | ((std::uint32_t(Cache) << 7) & 0xFF);
            Cache = Byte(Pos++);
            Low |= std::uint32_t(Cache >> 1);
            Range <<= 8;
        }
        const std::uint32_t total = std::uint32_t(model.Cum_Freq[0]);
        const std::uint32_t r = Range / total;
        std::uint32_t t = Low / r;
        if (t >= total) t = total - 1;
        std::int32_t p = 1;
        while (std::uint32_t(model.Cum_Freq[p]) > t) ++p;
        const std::uint32_t below = std::uint32_t(model.Cum_Freq[p]);
        const std::uint32_t above = std::uint32_t(model.Cum_Freq[p - 1]);
        Low -= r * below;
        Range = above < total ? r * (above - below) : Range - r * below;
        const std::int32_t symbol = model.Pos_To_Symbol[p];
        model.Update(p);
        return symbol;
    }
    std::int32_t Decode_Value(const T_KYL_Symbol_Model& model) {
        const std::int32_t first = Decode(*model.First_Model);
        if (first != T_KYL_Symbol_Model::Escape) return first;
        const std::int32_t group = Decode(*model.Group_Model);
        T_KYL_Model& sub = model.Sub_Model(group);
        const std::int32_t offset = sub.Symbol_Count > 1 ? Decode(sub) : 0;
        return T_KYL_Symbol_Model::Join_Symbol(group, offset);
    }
    // The position of the next byte to read, as the range coder counts it.
    std::int32_t Position() const { return Pos; }

private:
    std::uint8_t Byte(std::int32_t i) const { return std::size_t(i) < Bytes.size() ? Bytes[std::size_t(i)] : 0; }

    const T_Bytes& Bytes;
    std::int32_t Pos;
    std::uint32_t Low;
    std::uint32_t Range = 0x80;
    std::uint8_t Cache;
};
