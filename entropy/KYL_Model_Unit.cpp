// SPDX-License-Identifier: MIT
#include "entropy/KYL_Model_Unit.h"

#include <cassert>

#include "block/KYL_Block_Unit.h"

// ------------------------------------------------------------ T_KYL_Model

T_KYL_Model::T_KYL_Model(std::int32_t symbol_count, std::int32_t increment)
    : Symbol_Count(symbol_count), Increment(increment) {
    assert(symbol_count >= 1 && symbol_count <= Max_Symbols);
}

void T_KYL_Model::Set_Identity_Order() {
    for (std::int32_t s = 0; s < Symbol_Count; ++s) {
        Symbol_To_Pos[s] = s + 1;
        Pos_To_Symbol[s + 1] = s;
    }
    Freq[0] = 0;
}

// Position p holds symbol p - 1 with frequency (n + 1 - p) * Increment.  One
// pass from position n down to 1 sets all four tables, the cumulative sums as
// it goes.
void T_KYL_Model::Reset() {
    const std::int32_t n = Symbol_Count;
    std::int32_t frequency = Increment;
    std::int32_t sum = 0;
    Cum_Freq[n] = 0;
    for (std::int32_t p = n; p >= 1; --p) {
        Symbol_To_Pos[p - 1] = p;
        Pos_To_Symbol[p] = p - 1;
        Freq[p] = frequency;
        sum += frequency;
        Cum_Freq[p - 1] = sum;
        frequency += Increment;
    }
    Freq[0] = 0;
    Set_Divisor(std::uint32_t(sum));
}

// Adding 1 before the shift keeps every used frequency at 1 or more; the
// sentinel Freq[0] stays 0.
void T_KYL_Model::Halve() {
    std::int32_t sum = 0;
    for (std::int32_t q = Symbol_Count; q >= 0; --q) {
        Freq[q] = (Freq[q] + 1) >> 1;
        Cum_Freq[q] = sum;
        sum += Freq[q];
    }
    Set_Divisor(std::uint32_t(sum));
}

// ---------------------------------------------------- T_KYL_Context_Model

namespace {

// The context model's table block: Freq_0 and Cum_0, then the rows by
// short context and the rows by long context.
constexpr std::size_t Wide_Table_Bytes = T_KYL_Model::Table_Entries * sizeof(std::int32_t);  // 1,040
constexpr std::int32_t Row_Lane = 8;  // 16-bit entries per 16 bytes

}  // namespace

T_KYL_Context_Model::T_KYL_Context_Model(std::int32_t symbol_count, std::int32_t increment_0,
                                         std::int32_t increment_1, std::int32_t increment_2,
                                         std::int32_t context_bits, std::int32_t context_order)
    : T_KYL_Model(symbol_count, increment_0),
      Context_Bits(context_bits),
      Context_Order(context_order),
      Increment_0(increment_0),
      Increment_1(increment_1),
      Increment_2(increment_2),
      Row_Part((symbol_count + Row_Lane) / Row_Lane * Row_Lane) {
    const std::size_t row_table_bytes = std::size_t(Row_Count) * 2 * std::size_t(Row_Part) * sizeof(std::uint16_t);
    Table_Block = std::make_unique_for_overwrite<std::uint8_t[]>(2 * Wide_Table_Bytes + 2 * row_table_bytes);
    Mask_1 = 1;
    for (std::int32_t i = 1; i < Context_Bits; ++i) Mask_1 = Mask_1 * 2 + 1;
    Mask_2 = Mask_1;
    for (std::int32_t i = 1; i < Context_Order; ++i) Mask_2 = (Mask_2 << Context_Bits) | Mask_1;
    assert(Mask_2 < Row_Count && symbol_count <= Mask_1 + 1);

    std::uint8_t* table = Table_Block.get();
    Freq_0 = reinterpret_cast<std::int32_t*>(table);
    Cum_0 = reinterpret_cast<std::int32_t*>(table + Wide_Table_Bytes);
    table += 2 * Wide_Table_Bytes;
    Rows_1 = reinterpret_cast<std::uint16_t*>(table);
    Rows_2 = reinterpret_cast<std::uint16_t*>(table + row_table_bytes);
}

// Start frequencies and cumulative sums of one 16-bit row, both modulo 2^16.
void T_KYL_Context_Model::Reset_Row(std::uint16_t* freq, std::uint16_t* cum, std::int32_t increment) {
    const std::int32_t n = Symbol_Count;
    freq[0] = 0;
    for (std::int32_t p = 1; p <= n; ++p) freq[p] = std::uint16_t((n + 1 - p) * increment);
    std::uint16_t sum = 0;
    for (std::int32_t p = n; p >= 0; --p) {
        cum[p] = sum;
        sum = std::uint16_t(sum + freq[p]);
    }
}

void T_KYL_Context_Model::Reset() {
    // Reset starts every section, and one section belongs to one block.
    assert(Current_Controller != nullptr);
    T_Block_Data block;
    Current_Controller->Get_Block_Data(block);
    Variant = block.Variant_Flag == 1;
    Set_Identity_Order();
    const std::int32_t n = Symbol_Count;
    Freq_0[0] = 0;
    for (std::int32_t p = 1; p <= n; ++p) Freq_0[p] = (n + 1 - p) * Increment_0;
    std::int32_t sum = 0;
    for (std::int32_t p = n; p >= 0; --p) {
        Cum_0[p] = sum;
        sum += Freq_0[p];
    }
    // The context rows get their start values when the section first
    // selects them; stamps of an earlier section mark them stale.
    if (++Section == 0) {
        Row_Section_1.fill(0);
        Row_Section_2.fill(0);
        Section = 1;
    }
    History = 0;
    Context_1 = 0;
    Context_2 = 0;
    Select_Rows();
    Mix();
}

// A section reads and counts only the rows of its current contexts, so a row
// that no context of the section has selected yet needs no start values.
void T_KYL_Context_Model::Select_Rows() {
    if (Row_Section_1[std::size_t(Context_1)] != Section) {
        Reset_Row(Row_Freq(Rows_1, Context_1), Row_Cum(Rows_1, Context_1), Increment_1);
        Row_Section_1[std::size_t(Context_1)] = Section;
    }
    if (Row_Section_2[std::size_t(Context_2)] != Section) {
        Reset_Row(Row_Freq(Rows_2, Context_2), Row_Cum(Rows_2, Context_2), Increment_2);
        Row_Section_2[std::size_t(Context_2)] = Section;
    }
}

// Counts `position` in one 16-bit row; a row is halved only when its own
// total reaches Max_Total.
void T_KYL_Context_Model::Count_Row(std::uint16_t* freq, std::uint16_t* cum, std::int32_t position,
                                    std::int32_t increment, std::int32_t symbol_count) {
    freq[position] = std::uint16_t(freq[position] + increment);
    for (std::int32_t k = position - 1; k >= 0; --k) cum[k] = std::uint16_t(cum[k] + increment);
    if (cum[0] < Max_Total) return;
    std::uint16_t sum = 0;
    for (std::int32_t q = symbol_count; q >= 0; --q) {
        freq[q] = std::uint16_t((freq[q] + 1) >> 1);
        cum[q] = sum;
        sum = std::uint16_t(sum + freq[q]);
    }
}

void T_KYL_Context_Model::Update(std::int32_t position) {
    const std::int32_t n = Symbol_Count;
    Freq_0[position] += Increment_0;
    for (std::int32_t k = position - 1; k >= 0; --k) Cum_0[k] += Increment_0;
    if (Cum_0[0] >= Max_Total) {
        std::int32_t sum = 0;
        for (std::int32_t q = n; q >= 0; --q) {
            Freq_0[q] = (Freq_0[q] + 1) >> 1;
            Cum_0[q] = sum;
            sum += Freq_0[q];
        }
    }
    // The symbol counts under the contexts in force when it was coded.
    Count_Row(Row_Freq(Rows_1, Context_1), Row_Cum(Rows_1, Context_1), position, Increment_1, n);
    Count_Row(Row_Freq(Rows_2, Context_2), Row_Cum(Rows_2, Context_2), position, Increment_2, n);
    Shift_Context(position);
    Mix();
}

void T_KYL_Context_Model::Shift_Context(std::int32_t position) {
    History = (History << Context_Bits) | (position - 1);
    Context_1 = History & Mask_1;
    Context_2 = History & Mask_2;
    Select_Rows();
}

void T_KYL_Context_Model::Mix() {
    const bool variant = Variant;
    const std::uint16_t* short_row = Row_Freq(Rows_1, Context_1);
    const std::uint16_t* long_row = Row_Freq(Rows_2, Context_2);
    std::int32_t sum = 0;
    for (std::int32_t p = Symbol_Count; p >= 0; --p) {
        Cum_Freq[p] = sum;
        const std::int32_t f0 = Freq_0[p];
        const std::int32_t f1 = short_row[p];
        const std::int32_t f2 = long_row[p];
        // Every blended frequency is at least 1, so no symbol becomes uncodable.
        sum += variant ? (((f1 >> 1) + f0 + f2) >> 2) + 1 : ((f1 + f0 + 2 * f2) >> 2) + 1;
    }
    Set_Divisor(std::uint32_t(Cum_Freq[0]));
}

// ----------------------------------------------------- T_KYL_Symbol_Model

T_KYL_Symbol_Model::T_KYL_Symbol_Model(std::int32_t alphabet_size)
    : Alphabet_Size(alphabet_size), First_Model(std::make_unique<T_KYL_Model>(First_Symbols, 450)) {
    assert(alphabet_size >= 151 && alphabet_size <= T_KYL_Model::Max_Symbols);
    Group_Count = 1;
    while (Group_Base[Group_Count] < alphabet_size) ++Group_Count;
    assert(Group_Count == Group_Symbols);
    Group_Model = std::make_unique<T_KYL_Model>(Group_Count, 333);
    for (std::int32_t g = 0; g < Group_Count; ++g) {
        const std::int32_t end = g == Group_Count - 1 ? alphabet_size : Group_Base[g + 1];
        Sub_Models[g] = std::make_unique<T_KYL_Model>(end - Group_Base[g], Group_Increment[g]);
    }
    for (std::int32_t g = 0; g < Max_Groups; ++g)
        for (std::int32_t v = Group_Base[g]; v < Group_Base[g + 1]; ++v) Symbol_Group[v] = g;
}

void T_KYL_Symbol_Model::Reset() {
    First_Model->Reset();
    Group_Model->Reset();
    for (std::int32_t g = 0; g < Group_Count; ++g) Sub_Models[g]->Reset();
}

// ---------------------------------------------------------- mantissa models

T_KYL_Mantissa_Model::T_KYL_Mantissa_Model() : Model(std::make_unique<T_KYL_Model>(2, 1)) {}

T_KYL_Mantissa_Model_1::T_KYL_Mantissa_Model_1() : T_KYL_Mantissa_Model(std::make_unique<T_KYL_Model>(2, 100)) {}

T_KYL_Mantissa_Model_2::T_KYL_Mantissa_Model_2() : T_KYL_Mantissa_Model(std::make_unique<T_KYL_Model>(4, 40)) {}

T_KYL_Mantissa_Model_3::T_KYL_Mantissa_Model_3()
    : T_KYL_Mantissa_Model(std::make_unique<T_KYL_Context_Model>(8, 40, 20, 10, 3, 3)) {}
