// SPDX-License-Identifier: MIT
#include "entropy/KYL_Coder_Unit.h"

#include <algorithm>
#include <cassert>

#include "block/KYL_Block_Unit.h"

// ======================================================= T_KYL_Range_Coder

namespace {

constexpr std::uint32_t Start_Range = 0x80000000;    // the encoder's first window
constexpr std::uint32_t Bottom_Range = 0x800000;     // normalise while Range <= this
constexpr int Top_Shift = 23;                        // Low >> 23: the window's top byte
constexpr std::uint32_t Carry_Free_Below = 0x7F800000;  // top byte below 0xFF
constexpr std::uint32_t Window_Mask = 0x7FFFFFFF;
constexpr std::uint32_t Carry_Bit = 0x80000000;
constexpr std::uint32_t Decoder_Start_Range = 0x80;
constexpr std::int32_t Full_Tail = 0x7FFFFF;

}  // namespace

void T_KYL_Range_Coder::Resume_Encoding(const T_Encoder& encoder) {
    Write_Buffer = encoder.Buffer;
    Write_Pos = encoder.Pos;
    Write_Limit = encoder.Limit;
    Low = encoder.Low;
    Range = encoder.Range;
    Cache = encoder.Cache;
    Pending = encoder.Pending;
}

void T_KYL_Range_Coder::Resume_Decoding(const T_Decoder& decoder) {
    Read_Buffer = decoder.Buffer;
    Read_Pos = decoder.Pos;
    Read_Limit = decoder.Limit;
    Low = decoder.Low;
    Range = decoder.Range;
    Cache = decoder.Cache;
}

// --------------------------------------------------------------- encoding

inline void T_KYL_Range_Coder::T_Encoder::Write_Byte(std::uint8_t value) {
    if (Pos < Limit) Buffer[Pos] = value;
    ++Pos;
}

void T_KYL_Range_Coder::Start_Encoding(std::uint8_t* buffer, std::int32_t position, std::int32_t limit) {
    Write_Buffer = buffer;
    Write_Pos = position;
    Write_Limit = limit;
    Low = 0;
    Range = Start_Range;
    Cache = 0;
    Pending = 0;
}

// Settles the window's top byte while the range is narrow.  A top byte below
// 0xFF can no longer receive a carry, so Cache and the 0xFF bytes held behind
// it are final; a carry in bit 31 turns them into Cache + 1 and zeros; a top
// byte of 0xFF joins the held-back bytes.
inline void T_KYL_Range_Coder::T_Encoder::Normalize() {
    while (Range <= Bottom_Range) {
        if (Low < Carry_Free_Below) {
            Write_Byte(Cache);
            for (; Pending > 0; --Pending) Write_Byte(0xFF);
            Cache = std::uint8_t(Low >> Top_Shift);
        } else if (Low & Carry_Bit) {
            Write_Byte(std::uint8_t(Cache + 1));
            for (; Pending > 0; --Pending) Write_Byte(0x00);
            Cache = std::uint8_t(Low >> Top_Shift);
        } else {
            ++Pending;
        }
        Range <<= 8;
        Low = (Low << 8) & Window_Mask;
    }
}

// Narrows the interval to the slice of `position`.  The top position also
// takes the remainder that the truncating division leaves.
[[gnu::always_inline]] inline void T_KYL_Range_Coder::T_Encoder::Encode_Position(const T_KYL_Model& model, std::int32_t position) {
    Normalize();
    const std::uint32_t total = std::uint32_t(model.Cum_Freq[0]);
    const std::uint32_t r = Range / total;
    const std::uint32_t below = std::uint32_t(model.Cum_Freq[position]);
    const std::uint32_t above = std::uint32_t(model.Cum_Freq[position - 1]);
    Low += r * below;
    if (above < total)
        Range = r * (above - below);
    else
        Range -= r * below;
}

inline void T_KYL_Range_Coder::T_Encoder::Encode_Plain_Symbol(T_KYL_Model& model, std::int32_t symbol) {
    const std::int32_t position = model.Symbol_To_Pos[symbol];
    Encode_Position(model, position);
    model.Count<false>(position);
}

template <std::int32_t N>
inline void T_KYL_Range_Coder::T_Encoder::Encode_Fixed_Symbol(T_KYL_Model& model, std::int32_t symbol) {
    const std::int32_t position = model.Symbol_To_Pos[symbol];
    Encode_Position(model, position);
    model.Count_Fixed<N, false>(position);
}

void T_KYL_Range_Coder::Encode_Model_Symbol(T_KYL_Model& model, std::int32_t symbol) {
    const std::int32_t position = model.Symbol_To_Pos[symbol];
    T_Encoder encoder = Take_Encoder();
    encoder.Encode_Position(model, position);
    Resume_Encoding(encoder);
    model.Update(position);
}

void T_KYL_Range_Coder::Encode_Plain_Symbol(T_KYL_Model& model, std::int32_t symbol) {
    T_Encoder encoder = Take_Encoder();
    encoder.Encode_Plain_Symbol(model, symbol);
    Resume_Encoding(encoder);
}

// The last byte v makes the code value v * 2^23 followed by the bits of the
// bytes after the section: strictly above Low and at most 2^23 above it, so
// inside the final interval as long as those bits stay below the margin.
std::int32_t T_KYL_Range_Coder::Finish_Encoding() {
    T_Encoder encoder = Take_Encoder();
    encoder.Normalize();
    const std::uint32_t v = (encoder.Low >> Top_Shift) + 1;
    const std::int64_t margin = std::int64_t(encoder.Low) + encoder.Range - 1 - (std::int64_t(v) << Top_Shift);
    Last_Tail_Margin = std::int32_t(std::min<std::int64_t>(margin, Full_Tail));
    if (v > 0xFF) {
        encoder.Write_Byte(std::uint8_t(encoder.Cache + 1));
        for (; encoder.Pending > 0; --encoder.Pending) encoder.Write_Byte(0x00);
    } else {
        encoder.Write_Byte(encoder.Cache);
        for (; encoder.Pending > 0; --encoder.Pending) encoder.Write_Byte(0xFF);
    }
    encoder.Pending = 0;
    encoder.Write_Byte(std::uint8_t(v));
    Resume_Encoding(encoder);
    return Write_Pos;
}

// --------------------------------------------------------------- decoding

inline std::uint8_t T_KYL_Range_Coder::T_Decoder::Read_Byte() {
    const std::uint8_t value = Pos < Limit ? Buffer[Pos] : 0;
    ++Pos;
    return value;
}

// The byte at `position` is the encoder's initial Cache, always 0x00.  The
// window starts with the top 7 bits of the next byte; the first
// normalisation brings it to 31 bits and Range to 2^31, the encoder's start.
void T_KYL_Range_Coder::Start_Decoding(const std::uint8_t* buffer, std::int32_t position, std::int32_t limit) {
    T_Decoder decoder{buffer, position + 1, limit, 0, Decoder_Start_Range, 0};
    decoder.Cache = decoder.Read_Byte();
    decoder.Low = decoder.Cache >> 1;
    Resume_Decoding(decoder);
}

// The window is one bit behind the byte stream: each shift takes the lowest
// bit of the previous byte and the top 7 bits of the next one.
inline void T_KYL_Range_Coder::T_Decoder::Normalize() {
    while (Range <= Bottom_Range) {
        Low = (Low << 8) | ((std::uint32_t(Cache) << 7) & 0xFF);
        Cache = Read_Byte();
        Low |= std::uint32_t(Cache >> 1);
        Range <<= 8;
    }
}

// Narrows the interval to the slice of `position`; the counterpart of the
// encoder's step.
inline void T_KYL_Range_Coder::T_Decoder::Narrow(const std::int32_t* cum_freq, std::uint32_t r, std::int32_t position) {
    const std::uint32_t below = r * std::uint32_t(cum_freq[position]);
    const std::uint32_t above = std::uint32_t(cum_freq[position - 1]);
    Low -= below;
    // Position 1 also takes the remainder of the division.
    Range = position > 1 ? r * above - below : Range - below;
}

// Models up to this size are searched one position after the other.
constexpr std::int32_t Linear_Search_Positions = 8;

// Finds the position whose slice holds the code value and narrows to it.
// The position is the first p with Cum_Freq[p] <= t, where t = Low div r
// clamped to total - 1; Cum_Freq falls strictly with the position and every
// Cum_Freq[p] with p >= 1 lies below the total (position 1 has a frequency
// of 1 or more), also for a damaged Low of any size.
//
// Small models scan from position 1 comparing products: for whole numbers
// c <= Low div r exactly when c * r <= Low, which spares the second division
// (the products stay below Range <= 2^31), and the zero at Cum_Freq[n] ends
// the scan.  Their branches are mostly predicted, and a predicted position
// lets the next symbol's steps start before the comparisons settle.  The
// larger models code the rarer, less predictable values: there the division
// is paid and the position counted four entries at a time, without a branch
// on the data.
inline std::int32_t T_KYL_Range_Coder::T_Decoder::Decode_Position(const T_KYL_Model& model) {
    Normalize();
    const std::int32_t* const cum_freq = model.Cum_Freq.data();
    const std::uint32_t r = model.Divide(Range);
    const std::int32_t n = model.Symbol_Count;
    std::int32_t position = 1;
    if (n <= Linear_Search_Positions) {
        while (position < n && r * std::uint32_t(cum_freq[position]) > Low) ++position;
    } else {
        // The position is one plus the number of p in 1..n-1 with
        // Cum_Freq[p] > t.  Clamped below the total (< 2^23), t fits a lane.
        const std::int32_t t = std::int32_t(std::min(Low / r, std::uint32_t(cum_freq[0]) - 1));
        const T_Four_Lanes threshold = {t, t, t, t};
        T_Four_Lanes above = {0, 0, 0, 0};
        // Each lane holds minus the count of its entries above t; the
        // entries past n, up to three beyond the table's positions, are 0.
        for (std::int32_t p = 1; p < n; p += 4) above += Load_Four(cum_freq + p) > threshold;
        position -= above[0] + above[1] + above[2] + above[3];
    }
    Narrow(cum_freq, r, position);
    return position;
}

// The same for a model of exactly N symbols (N <= 8).  Only the test for
// position 1, the most frequent, branches; the other positions are counted
// without a branch, so that a symbol elsewhere costs one misprediction at
// most.
template <std::int32_t N>
inline std::int32_t T_KYL_Range_Coder::T_Decoder::Decode_Fixed_Position(const T_KYL_Model& model) {
    static_assert(N <= Linear_Search_Positions);
    assert(model.Symbol_Count == N);
    Normalize();
    const std::int32_t* const cum_freq = model.Cum_Freq.data();
    const std::uint32_t r = model.Divide(Range);
    std::int32_t position = 1;
    if (r * std::uint32_t(cum_freq[1]) > Low) {
        position = 2;
        for (std::int32_t p = 2; p < N; ++p) position += r * std::uint32_t(cum_freq[p]) > Low;
    }
    Narrow(cum_freq, r, position);
    return position;
}

inline std::int32_t T_KYL_Range_Coder::T_Decoder::Decode_Plain_Symbol(T_KYL_Model& model) {
    const std::int32_t position = Decode_Position(model);
    const std::int32_t symbol = model.Pos_To_Symbol[position];
    model.Count(position);
    return symbol;
}

template <std::int32_t N>
inline std::int32_t T_KYL_Range_Coder::T_Decoder::Decode_Fixed_Symbol(T_KYL_Model& model) {
    const std::int32_t position = Decode_Fixed_Position<N>(model);
    const std::int32_t symbol = model.Pos_To_Symbol[position];
    model.Count_Fixed<N>(position);
    return symbol;
}

std::int32_t T_KYL_Range_Coder::Decode_Model_Symbol(T_KYL_Model& model) {
    T_Decoder decoder = Take_Decoder();
    const std::int32_t position = decoder.Decode_Position(model);
    Resume_Decoding(decoder);
    const std::int32_t symbol = model.Pos_To_Symbol[position];
    model.Update(position);
    return symbol;
}

std::int32_t T_KYL_Range_Coder::Decode_Plain_Symbol(T_KYL_Model& model) {
    T_Decoder decoder = Take_Decoder();
    const std::int32_t symbol = decoder.Decode_Plain_Symbol(model);
    Resume_Decoding(decoder);
    return symbol;
}

// The window reaches three bytes past the encoder's last byte.
std::int32_t T_KYL_Range_Coder::Finish_Decoding() {
    T_Decoder decoder = Take_Decoder();
    decoder.Normalize();
    Resume_Decoding(decoder);
    return Read_Pos - 3;
}

// ============================================================= T_KYL_Coder

namespace {

constexpr std::int32_t End_Symbol = 256;
constexpr std::int32_t Block_Alphabet = 257;
constexpr std::int32_t Byte_Alphabet = 256;
constexpr std::int32_t Highest_Class = Class_Count - 1;
// Classes up to this one are coded whole with their own model; above it the
// top three bits go to Mantissa_Model_3 and the rest bit by bit.
constexpr std::int32_t Whole_Mantissa_Classes = 3;

static_assert(Read_Ahead + 3 <= Block_Buffer_Capacity, "the zeros stored after a payload stay in the buffer");
static_assert(Read_Ahead < (1 << 24), "a payload length fits its three header bytes");

}  // namespace

T_KYL_Coder::T_KYL_Coder()
    : Payload_Capacity(Read_Ahead),
      Range_Coder(std::make_unique<T_KYL_Range_Coder>()),
      Block_Model(std::make_unique<T_KYL_Symbol_Model>(Block_Alphabet)),
      Byte_Model(std::make_unique<T_KYL_Symbol_Model>(Byte_Alphabet)),
      Bit_Model(std::make_unique<T_KYL_Mantissa_Model>()),
      Mantissa_Model_1(std::make_unique<T_KYL_Mantissa_Model_1>()),
      Mantissa_Model_2(std::make_unique<T_KYL_Mantissa_Model_2>()),
      Mantissa_Model_3(std::make_unique<T_KYL_Mantissa_Model_3>()) {}

T_KYL_Coder::~T_KYL_Coder() = default;

// ------------------------------------------------------- put and get steps

namespace {

// Every model of a symbol model is a plain T_KYL_Model, so the steps skip
// the virtual update.
// Forced inline: the symbol loop must keep the encoder in registers, and the
// compiler's own estimate leaves this call (and the one below it) out of line.
[[gnu::always_inline]] inline void Put_Steps(T_KYL_Range_Coder::T_Encoder& encoder, const T_KYL_Symbol_Model& model, std::int32_t value) {
    const T_KYL_Symbol_Model::T_Split split = model.Split_Symbol(value);
    encoder.Encode_Fixed_Symbol<T_KYL_Symbol_Model::First_Symbols>(*split.First_Model, split.First_Symbol);
    if (split.Group_Model) encoder.Encode_Fixed_Symbol<T_KYL_Symbol_Model::Group_Symbols>(*split.Group_Model, split.Group);
    if (split.Sub_Model) encoder.Encode_Plain_Symbol(*split.Sub_Model, split.Offset);
}

inline std::int32_t Get_Steps(T_KYL_Range_Coder::T_Decoder& decoder, const T_KYL_Symbol_Model& model) {
    const std::int32_t first = decoder.Decode_Fixed_Symbol<T_KYL_Symbol_Model::First_Symbols>(*model.First_Model);
    if (first != T_KYL_Symbol_Model::Escape) return first;
    const std::int32_t group = decoder.Decode_Fixed_Symbol<T_KYL_Symbol_Model::Group_Symbols>(*model.Group_Model);
    T_KYL_Model& sub_model = model.Sub_Model(group);
    const std::int32_t offset = sub_model.Symbol_Count > 1 ? decoder.Decode_Plain_Symbol(sub_model) : 0;
    return T_KYL_Symbol_Model::Join_Symbol(group, offset);
}

}  // namespace

void T_KYL_Coder::Put_Value(T_KYL_Range_Coder::T_Encoder& encoder, const T_KYL_Symbol_Model& model,
                            std::int32_t value) {
    Put_Steps(encoder, model, value);
}

std::int32_t T_KYL_Coder::Get_Value(T_KYL_Range_Coder::T_Decoder& decoder, const T_KYL_Symbol_Model& model) {
    return Get_Steps(decoder, model);
}

void T_KYL_Coder::Put_Byte(std::int32_t value) {
    T_KYL_Range_Coder::T_Encoder encoder = Range_Coder->Take_Encoder();
    Put_Steps(encoder, *Byte_Model, value);
    Range_Coder->Resume_Encoding(encoder);
}
std::int32_t T_KYL_Coder::Get_Byte() {
    T_KYL_Range_Coder::T_Decoder decoder = Range_Coder->Take_Decoder();
    const std::int32_t value = Get_Steps(decoder, *Byte_Model);
    Range_Coder->Resume_Decoding(decoder);
    return value;
}
void T_KYL_Coder::Put_Bit(std::int32_t bit) { Range_Coder->Encode_Plain_Symbol(*Bit_Model->Model, bit); }
std::int32_t T_KYL_Coder::Get_Bit() { return Range_Coder->Decode_Plain_Symbol(*Bit_Model->Model); }
void T_KYL_Coder::Put_Mantissa_1(std::int32_t value) {
    Range_Coder->Encode_Plain_Symbol(*Mantissa_Model_1->Model, value);
}
std::int32_t T_KYL_Coder::Get_Mantissa_1() { return Range_Coder->Decode_Plain_Symbol(*Mantissa_Model_1->Model); }
void T_KYL_Coder::Put_Mantissa_2(std::int32_t value) {
    Range_Coder->Encode_Plain_Symbol(*Mantissa_Model_2->Model, value);
}
std::int32_t T_KYL_Coder::Get_Mantissa_2() { return Range_Coder->Decode_Plain_Symbol(*Mantissa_Model_2->Model); }
// The class-3 model is a context model: its update goes through the virtual call.
void T_KYL_Coder::Put_Mantissa_3(std::int32_t value) {
    Range_Coder->Encode_Model_Symbol(*Mantissa_Model_3->Model, value);
}
std::int32_t T_KYL_Coder::Get_Mantissa_3() { return Range_Coder->Decode_Model_Symbol(*Mantissa_Model_3->Model); }

// A mantissa of class e has e bits.  Classes 1 to 3 are coded whole; higher
// classes code their top three bits, then the rest one by one, highest first.
void T_KYL_Coder::Put_Mantissa(std::int32_t exponent_class, std::uint32_t mantissa) {
    switch (exponent_class) {
        case 1: Put_Mantissa_1(std::int32_t(mantissa)); return;
        case 2: Put_Mantissa_2(std::int32_t(mantissa)); return;
        case 3: Put_Mantissa_3(std::int32_t(mantissa)); return;
        default: break;
    }
    const std::int32_t low_bits = exponent_class - Whole_Mantissa_Classes;
    Put_Mantissa_3(std::int32_t(mantissa >> low_bits));
    for (std::int32_t k = low_bits - 1; k >= 0; --k) Put_Bit(std::int32_t((mantissa >> k) & 1));
}

std::uint32_t T_KYL_Coder::Get_Mantissa(std::int32_t exponent_class) {
    switch (exponent_class) {
        case 1: return std::uint32_t(Get_Mantissa_1());
        case 2: return std::uint32_t(Get_Mantissa_2());
        case 3: return std::uint32_t(Get_Mantissa_3());
        default: break;
    }
    std::uint32_t mantissa = std::uint32_t(Get_Mantissa_3());
    for (std::int32_t k = exponent_class - Whole_Mantissa_Classes; k > 0; --k)
        mantissa = 2 * mantissa + std::uint32_t(Get_Bit());
    return mantissa;
}

// ----------------------------------------------------------------- encoder

// The class counts, high byte first, for the classes 0..n, where n is the
// highest class that occurs (0 when none does).
void T_KYL_Coder::Encode_Counts(T_Block_Data& data, std::int32_t limit) {
    const std::int32_t* counts = data.Tables->Run_Class_Count;
    std::int32_t highest = Highest_Class;
    while (highest > 0 && counts[highest] == 0) --highest;
    Byte_Model->Reset();
    Range_Coder->Start_Encoding(data.Target->Data, data.Target->Len, limit);
    Put_Byte(highest);
    for (std::int32_t e = 0; e <= highest; ++e) {
        Put_Byte((counts[e] >> 16) & 0xFF);
        Put_Byte((counts[e] >> 8) & 0xFF);
        Put_Byte(counts[e] & 0xFF);
    }
    data.Target->Len = Range_Coder->Finish_Encoding();
}

void T_KYL_Coder::Encode_Mantissas(T_Block_Data& data, std::int32_t limit) {
    const T_Block_Tables& tables = *data.Tables;
    Bit_Model->Reset();
    Mantissa_Model_1->Reset();
    Mantissa_Model_2->Reset();
    Mantissa_Model_3->Reset();
    Range_Coder->Start_Encoding(data.Target->Data, data.Target->Len, limit);
    for (std::int32_t e = 1; e <= Highest_Class; ++e) {
        const std::uint32_t* group = data.Work_Array + tables.Run_Class_Start[e];
        for (std::int32_t i = 0; i < tables.Run_Class_Count[e]; ++i) Put_Mantissa(e, group[i]);
    }
    data.Target->Len = Range_Coder->Finish_Encoding();
}

void T_KYL_Coder::Encode_Symbols(T_Block_Data& data, std::int32_t limit) {
    Block_Model->Reset();
    T_KYL_Range_Coder& coder = *Range_Coder;
    const T_KYL_Symbol_Model& model = *Block_Model;
    const std::uint8_t* ranks = data.Source->Data;
    const std::int32_t rank_count = data.Source->Len;
    coder.Start_Encoding(data.Target->Data, data.Target->Len, limit);
    T_KYL_Range_Coder::T_Encoder encoder = coder.Take_Encoder();
    for (std::int32_t i = 0; i < rank_count; ++i) Put_Steps(encoder, model, ranks[i]);
    Put_Steps(encoder, model, End_Symbol);
    coder.Resume_Encoding(encoder);
    data.Target->Len = coder.Finish_Encoding();
}

bool T_KYL_Coder::Encode(T_Block_Data& data) {
    T_Block_Tables& tables = *data.Tables;
    T_Buffer& target = *data.Target;
    const std::int32_t limit = std::min(Payload_Capacity, Block_Buffer_Capacity);
    target.Len = 0;

    // Count the classes, then group the mantissas by class (a stable
    // counting sort into Work_Array) and restore the group starts.
    std::fill(std::begin(tables.Run_Class_Count), std::end(tables.Run_Class_Count), 0);
    const std::int32_t* runs = tables.Run_Array;
    for (std::int32_t i = 0; i < tables.Run_Count; ++i) {
        const std::int32_t e = T_KYL_Block_Controller::Log2_Floor(runs[i]);
        assert(e <= Highest_Class);
        ++tables.Run_Class_Count[e];
    }
    auto set_group_starts = [&tables] {
        tables.Run_Class_Start[0] = 0;
        for (std::int32_t e = 1; e < Class_Count; ++e)
            tables.Run_Class_Start[e] = tables.Run_Class_Start[e - 1] + tables.Run_Class_Count[e - 1];
    };
    set_group_starts();
    for (std::int32_t i = 0; i < tables.Run_Count; ++i) {
        const std::int32_t x = runs[i];
        if (x <= 0) continue;  // a 0 would count in class 0, which has no mantissa
        const std::int32_t e = T_KYL_Block_Controller::Log2_Floor(x);
        data.Work_Array[tables.Run_Class_Start[e]++] = std::uint32_t(x) + 1 - (std::uint32_t(1) << e);
    }
    set_group_starts();

    Encode_Counts(data, limit);
    if (target.Len > limit) return false;
    Encode_Mantissas(data, limit);
    if (target.Len > limit) return false;
    Encode_Symbols(data, limit);
    if (target.Len > limit) return false;

    Push_LE(*data.Header, std::uint32_t(target.Len), 3);
    return true;
}

// ----------------------------------------------------------------- decoder

void T_KYL_Coder::Decode_Counts(T_Block_Data& data, std::int32_t limit) {
    T_Block_Tables& tables = *data.Tables;
    T_Buffer& source = *data.Source;
    Byte_Model->Reset();
    Range_Coder->Start_Decoding(source.Data, source.Len, limit);
    std::fill(std::begin(tables.Run_Class_Count), std::end(tables.Run_Class_Count), 0);
    const std::int32_t highest = Get_Byte();
    Require_Intact(highest <= Highest_Class, "class count byte above the highest class");
    std::int64_t total = 0;
    for (std::int32_t e = 0; e <= highest; ++e) {
        std::int32_t count = Get_Byte() << 16;
        count |= Get_Byte() << 8;
        count |= Get_Byte();
        tables.Run_Class_Count[e] = count;
        total += count;
    }
    Require_Intact(total <= Area_Entries, "more run values than the run area holds");
    source.Len = Range_Coder->Finish_Decoding();
}

// Mantissas go straight to their places in the class groups; each class's
// start advances to the end of its group.
void T_KYL_Coder::Decode_Mantissas(T_Block_Data& data, std::int32_t limit) {
    T_Block_Tables& tables = *data.Tables;
    T_Buffer& source = *data.Source;
    tables.Run_Class_Start[0] = 0;
    for (std::int32_t e = 1; e < Class_Count; ++e)
        tables.Run_Class_Start[e] = tables.Run_Class_Start[e - 1] + tables.Run_Class_Count[e - 1];
    Bit_Model->Reset();
    Mantissa_Model_1->Reset();
    Mantissa_Model_2->Reset();
    Mantissa_Model_3->Reset();
    Range_Coder->Start_Decoding(source.Data, source.Len, limit);
    for (std::int32_t e = 1; e <= Highest_Class; ++e) {
        std::int32_t* group = tables.Run_Array + tables.Run_Class_Start[e];
        const std::int32_t count = tables.Run_Class_Count[e];
        for (std::int32_t i = 0; i < count; ++i) {
            group[i] = std::int32_t(Get_Mantissa(e));
            Require_Within_Payload();
        }
        tables.Run_Class_Start[e] += count;
    }
    source.Len = Range_Coder->Finish_Decoding();
}

void T_KYL_Coder::Decode_Symbols(T_Block_Data& data, std::int32_t limit) {
    Block_Model->Reset();
    T_KYL_Range_Coder& coder = *Range_Coder;
    const T_KYL_Symbol_Model& model = *Block_Model;
    std::uint8_t* ranks = data.Target->Data;
    std::int32_t rank_count = 0;
    coder.Start_Decoding(data.Source->Data, data.Source->Len, limit);
    T_KYL_Range_Coder::T_Decoder decoder = coder.Take_Decoder();
    const std::int32_t read_bound = Read_Bound;
    for (;;) {
        const std::int32_t symbol = Get_Steps(decoder, model);
        if (symbol == End_Symbol) break;
        Require_Intact(rank_count < Max_Transformed_Length, "more ranks than a block holds");
        Require_Intact(decoder.Pos <= read_bound, "a section runs past the payload");
        ranks[rank_count++] = std::uint8_t(symbol);
    }
    coder.Resume_Decoding(decoder);
    data.Source->Len = coder.Finish_Decoding();
    data.Target->Len = rank_count;
}

// The decoder's window takes in the three bytes after a section, and for the
// count and mantissa sections those are the next section's first bytes.  In
// rare blocks they lift the code value out of the section's final interval
// and its last symbol decodes wrongly.  With Zero_Section_Tails set, each
// such section is decoded again with the bytes from its end on read as zero,
// which always decodes exactly; the end is the one at which such a decode
// settles (the first decode's end, or a neighbour of it when the wrong last
// symbol moved it).
void T_KYL_Coder::Decode_Section(T_Section_Decoder section, T_Block_Data& data, std::int32_t limit) {
    T_Buffer& source = *data.Source;
    const std::int32_t start = source.Len;
    (this->*section)(data, limit);
    if (!Zero_Section_Tails) return;
    const std::int32_t first_end = source.Len;
    for (const std::int32_t shift : {0, 1, -1, 2, -2}) {
        const std::int32_t end = first_end + shift;
        if (end < start + 2 || end > limit) continue;
        source.Len = start;
        (this->*section)(data, end);
        if (source.Len == end) return;
    }
    source.Len = start;
    (this->*section)(data, limit);
}

// A run value of class e stands for a run of 2 + e equal ranks, and a block
// has at most Max_Transformed_Length ranks.  Checked once the count section is
// settled, before the mantissas: cheap bits let a short payload ask for
// millions of them.
void T_KYL_Coder::Require_Runs_Fit_A_Block(const T_Block_Tables& tables) {
    std::int64_t ranks = 0;
    for (std::int32_t e = 0; e < Class_Count; ++e) ranks += std::int64_t(tables.Run_Class_Count[e]) * (2 + e);
    Require_Intact(ranks <= Max_Transformed_Length, "more runs than a block holds");
}

void T_KYL_Coder::Require_Within_Payload() const {
    Require_Intact(Range_Coder->Read_Position() <= Read_Bound, "a section runs past the payload");
}

void T_KYL_Coder::Decode(T_Block_Data& data, T_Section_Tails tails) {
    Zero_Section_Tails = tails == T_Section_Tails::Zero;
    T_Buffer& source = *data.Source;
    const std::int32_t payload_length = std::int32_t(Pop_LE(*data.Header, 3));
    const std::int32_t limit = std::clamp(source.Len, 0, Block_Buffer_Capacity);
    Require_Intact(payload_length <= limit && payload_length <= Read_Ahead, "payload length past the bytes read");

    // Zeros behind the payload make the symbol section's last symbols exact,
    // whatever the read brought in after it.
    source.Data[payload_length] = 0;
    source.Data[payload_length + 1] = 0;
    source.Data[payload_length + 2] = 0;
    Read_Bound = payload_length + 3;
    source.Len = 0;
    Decode_Section(&T_KYL_Coder::Decode_Counts, data, limit);
    Require_Runs_Fit_A_Block(*data.Tables);
    Decode_Section(&T_KYL_Coder::Decode_Mantissas, data, limit);
    Decode_Symbols(data, limit);
    Require_Intact(source.Len == payload_length, "payload ends elsewhere than its stored length");
}
