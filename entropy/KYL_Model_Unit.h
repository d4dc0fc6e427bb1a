// SPDX-License-Identifier: MIT
// The adaptive frequency models the range coder codes with: the order-0 model,
// the three-table context model, the escape/group/offset symbol model and the
// four mantissa models of the block coder.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <memory>

// The reciprocal of a model's total (see T_KYL_Model::Divide): x div total
// is (x * Divide_By_Of(total)) >> Divide_Shift_Of(total) for x <= 2^31.
constexpr int Divide_Shift_Of(std::uint32_t total) { return 31 + std::bit_width(total - 1); }
constexpr std::uint64_t Divide_By_Of(std::uint32_t total) {
    return ((std::uint64_t(1) << Divide_Shift_Of(total)) + total - 1) / total;
}
// Divide_By_Of for the totals of the plain models, which stay below
// T_KYL_Model::Max_Total but for the last increment before a halving (the
// few larger totals divide).
inline constexpr auto Divide_By_Table = [] {
    std::array<std::uint64_t, 0x8000 + 256> table{};
    for (std::uint32_t total = 1; total < table.size(); ++total) table[total] = Divide_By_Of(total);
    return table;
}();

// Adaptive order-0 model over the symbols 0..n-1 (n = Symbol_Count, 1..259).
//
// The symbols stand at positions 1..n; counted symbols drift towards position
// 1, so frequent symbols are found and updated after a short walk.  Position p
// owns the slice [Cum_Freq[p], Cum_Freq[p-1]) of the scale 0..Cum_Freq[0]:
// position 1 owns the top.
//
// The range coder reads Symbol_To_Pos, Pos_To_Symbol and Cum_Freq and calls
// Update(p) after every coded symbol; nothing else is public state.
class T_KYL_Model {
public:
    static constexpr std::int32_t Max_Symbols = 259;
    static constexpr std::int32_t Table_Entries = Max_Symbols + 1;  // [0..259]
    // Frequencies are halved when their total reaches this.
    static constexpr std::int32_t Max_Total = 0x8000;

    // Stores the parameters only; Reset must run before the first use.
    T_KYL_Model(std::int32_t symbol_count, std::int32_t increment);
    virtual ~T_KYL_Model() = default;
    T_KYL_Model(const T_KYL_Model&) = delete;
    T_KYL_Model& operator=(const T_KYL_Model&) = delete;

    // Identity order, linearly falling start frequencies: position p starts
    // with (n + 1 - p) * Increment.
    virtual void Reset();
    // Counts one occurrence of the symbol at position p (1..n).
    virtual void Update(std::int32_t position) { Count(position); }

    std::int32_t Symbol_Count;
    std::array<std::int32_t, Table_Entries> Symbol_To_Pos{};  // [0..n-1] -> 1..n
    std::array<std::int32_t, Table_Entries> Pos_To_Symbol{};  // [1..n] -> 0..n-1
    // Cum_Freq[p] = sum of the frequencies of positions p+1..n; [n] = 0, [0] = total.
    // The entries past n stay 0, three more than the positions included, so
    // that four-entry steps from any position read zeros beyond the model.
    std::array<std::int32_t, Table_Entries + 3> Cum_Freq{};

    // x div Cum_Freq[0] for x <= 2^31, by a multiplication: the decoder's
    // next step need not wait for a division, which runs as soon as the new
    // total is known, before the symbol is.  Exact for every total from 1 to
    // 2^23: Divide_By = ceil(2^k / total) with 2^k >= 2^31 * total, so the
    // error stays below 1 / total.  Kept by Reset, Mix, Halve and every
    // Count with Keep_Divisor set (the decoder's); the encoder divides.
    std::uint32_t Divide(std::uint32_t x) const { return std::uint32_t((std::uint64_t(x) * Divide_By) >> Divide_Shift); }

protected:
    // The body of the plain Update, callable without a virtual dispatch.
    template <bool Keep_Divisor = true>
    void Count(std::int32_t position);
    // Count for a model of exactly N symbols (a multiple of 4): the same
    // steps, with the cumulative step over whole lanes.
    template <std::int32_t N, bool Keep_Divisor = true>
    void Count_Fixed(std::int32_t position);
    // The divisor of a new total.  Every count adds the increment to the
    // total, so the division depends on the total alone; for the totals the
    // plain models reach it is looked up, which spares the decoder a
    // division at every model step.
    void Set_Divisor(std::uint32_t total) {
        Total = total;
        if (total == 0) return;  // a one-value model that is never coded with
        Divide_Shift = Divide_Shift_Of(total);
        Divide_By = total < Divide_By_Table.size() ? Divide_By_Table[total] : Divide_By_Of(total);
    }
    void Set_Identity_Order();
    std::int32_t Move_To_Run_Head(std::int32_t position);

    std::int32_t Increment;
    // Freq[0] is a zero sentinel that stops the walk to the head of a run.
    std::array<std::int32_t, Table_Entries> Freq{};
    // Cum_Freq[0] and its divisor.
    std::uint32_t Total = 0;
    std::uint64_t Divide_By = 1;
    int Divide_Shift = 0;

private:
    void Halve();

    friend class T_KYL_Range_Coder;
};

// Moves the symbol at `position` to the head of its run of equal frequencies
// (exchanging it with the symbol there), so that counting it keeps the
// frequencies non-increasing within the run; returns that head position.
inline std::int32_t T_KYL_Model::Move_To_Run_Head(std::int32_t position) {
    std::int32_t head = position;
    while (Freq[head - 1] == Freq[head]) --head;
    if (head < position) {
        const std::int32_t moved = Pos_To_Symbol[head];
        const std::int32_t counted = Pos_To_Symbol[position];
        Pos_To_Symbol[head] = counted;
        Pos_To_Symbol[position] = moved;
        Symbol_To_Pos[counted] = head;
        Symbol_To_Pos[moved] = position;
    }
    return head;
}

using T_Four_Lanes = std::int32_t __attribute__((vector_size(16)));

inline T_Four_Lanes Load_Four(const std::int32_t* from) {
    T_Four_Lanes x;
    std::memcpy(&x, from, sizeof x);
    return x;
}

inline void Store_Four(std::int32_t* to, T_Four_Lanes x) { std::memcpy(to, &x, sizeof x); }

// Adds `increment` to cum[0..count-1] of a table of Table_Entries + 3,
// four entries per step: the last step adds to the entries below `count`
// only.
inline void Add_To_Prefix(std::int32_t* cum, std::int32_t count, std::int32_t increment) {
    const T_Four_Lanes add = {increment, increment, increment, increment};
    std::int32_t k = 0;
    for (; k + 4 <= count; k += 4) Store_Four(cum + k, Load_Four(cum + k) + add);
    if (k + 4 <= T_KYL_Model::Table_Entries + 3) {
        const T_Four_Lanes lane = {0, 1, 2, 3};
        Store_Four(cum + k, Load_Four(cum + k) + (add & (lane < count - k)));
        return;
    }
    for (; k < count; ++k) cum[k] += increment;
}

// The plain model's update, inline because it runs once per coded symbol.
template <bool Keep_Divisor>
inline void T_KYL_Model::Count(std::int32_t position) {
    if constexpr (Keep_Divisor) Set_Divisor(Total + std::uint32_t(Increment));
    else Total += std::uint32_t(Increment);
    const std::int32_t head = Move_To_Run_Head(position);
    Freq[head] += Increment;
    if constexpr (Keep_Divisor) {
        // The decoder's next step waits on every misprediction, so its
        // update takes masked lanes over the whole model: the same number of
        // steps for every symbol of a model, the loop's end always predicted.
        const std::int32_t increment = Increment;
        const T_Four_Lanes add = {increment, increment, increment, increment};
        const T_Four_Lanes lane = {0, 1, 2, 3};
        for (std::int32_t k = 0; k < Symbol_Count; k += 4)
            Store_Four(&Cum_Freq[k], Load_Four(&Cum_Freq[k]) + (add & (lane < head - k)));
    } else {
        Add_To_Prefix(Cum_Freq.data(), head, Increment);
    }
    if (Cum_Freq[0] >= Max_Total) Halve();
}

// Count for a model of exactly N symbols: the cumulative step covers all
// of it in whole lanes, each adding only below the head.
template <std::int32_t N, bool Keep_Divisor>
inline void T_KYL_Model::Count_Fixed(std::int32_t position) {
    static_assert(N % 4 == 0 && N < Table_Entries, "whole lanes within the tables");
    assert(Symbol_Count == N && position >= 1 && position <= N);
    const std::int32_t increment = Increment;
    if constexpr (Keep_Divisor) Set_Divisor(Total + std::uint32_t(increment));
    else Total += std::uint32_t(increment);
    const std::int32_t head = Move_To_Run_Head(position);
    Freq[head] += increment;
    const T_Four_Lanes add = {increment, increment, increment, increment};
    const T_Four_Lanes lane = {0, 1, 2, 3};
    for (std::int32_t k = 0; k < N; k += 4)
        Store_Four(&Cum_Freq[k], Load_Four(&Cum_Freq[k]) + (add & (lane < head - k)));
    if (Cum_Freq[0] >= Max_Total) Halve();
}

// A model whose distribution blends three frequency sets: context-free, by the
// last symbol (short context) and by the last Context_Order symbols (long
// context).  Symbols never move: symbol s stays at position s + 1.  The blend
// depends on the Variant_Flag of the block in work, which Reset reads from
// Current_Controller (through Get_Block_Data) at the start of every section,
// so Reset needs Current_Controller to be set.
class T_KYL_Context_Model final : public T_KYL_Model {
public:
    static constexpr std::int32_t Row_Count = 1024;

    // Allocates the table block; Reset must run before the first use.
    // Requires symbol_count < 2^context_bits and context_bits * context_order <= 10.
    T_KYL_Context_Model(std::int32_t symbol_count, std::int32_t increment_0, std::int32_t increment_1,
                        std::int32_t increment_2, std::int32_t context_bits, std::int32_t context_order);

    void Reset() override;
    void Update(std::int32_t position) override;
    // Appends the symbol at `position` to the history and selects its rows.
    virtual void Shift_Context(std::int32_t position);
    // Rebuilds the base Cum_Freq from the three sets under the current contexts.
    void Mix();

private:
    friend struct T_KYL_Test_Seam;

    // A context row: the frequencies of positions 0..n, then their
    // cumulative sums, each part Row_Part entries long.  Sized to the model,
    // a row of a small model fits one cache line, and a section touches
    // only the rows of the contexts it meets.
    std::uint16_t* Row_Freq(std::uint16_t* rows, std::int32_t context) const {
        return rows + std::size_t(context) * 2 * std::size_t(Row_Part);
    }
    std::uint16_t* Row_Cum(std::uint16_t* rows, std::int32_t context) const {
        return Row_Freq(rows, context) + Row_Part;
    }

    void Reset_Row(std::uint16_t* freq, std::uint16_t* cum, std::int32_t increment);
    // Gives the rows of the current contexts their start values if this
    // section has not used them yet.
    void Select_Rows();
    static void Count_Row(std::uint16_t* freq, std::uint16_t* cum, std::int32_t position,
                          std::int32_t increment, std::int32_t symbol_count);

    // The block's Variant_Flag, read by Reset for the section that follows.
    bool Variant = false;
    // Sections counted by Reset; a row holds the number of the last section
    // that gave it its start values.
    std::uint32_t Section = 0;
    std::array<std::uint32_t, Row_Count> Row_Section_1{};
    std::array<std::uint32_t, Row_Count> Row_Section_2{};
    std::int32_t History = 0;
    std::int32_t Context_Bits;
    std::int32_t Context_Order;
    std::int32_t Context_1 = 0;
    std::int32_t Mask_1;
    std::int32_t Context_2 = 0;
    std::int32_t Mask_2;
    std::int32_t Increment_0;
    std::int32_t Increment_1;  // used as 16-bit
    std::int32_t Increment_2;  // used as 16-bit
    // Entries of each half of a context row: n + 1, rounded up to a whole
    // number of 16-byte lanes.
    std::int32_t Row_Part;
    std::unique_ptr<std::uint8_t[]> Table_Block;
    std::int32_t* Freq_0;   // [0..n]
    std::int32_t* Cum_0;    // [0..n]
    std::uint16_t* Rows_1;  // Row_Count rows by short context
    std::uint16_t* Rows_2;  // Row_Count rows by long context
};

// Codes a value 0..A-1 as a chain of small models: First_Model codes 0, 1, 2
// or the escape 3; after an escape Group_Model codes the group of the value
// and the group's sub-model its offset.  The block coder makes the range
// coder calls; this class only owns the models and maps values to steps.
class T_KYL_Symbol_Model {
public:
    static constexpr std::int32_t Escape = 3;
    static constexpr std::int32_t Max_Groups = 8;
    // Symbols of First_Model, and of Group_Model for every alphabet of 151
    // values or more: the block coder's loops use them as fixed sizes.
    static constexpr std::int32_t First_Symbols = Escape + 1;
    static constexpr std::int32_t Group_Symbols = Max_Groups;
    static constexpr std::array<std::int32_t, Max_Groups + 1> Group_Base{3, 4, 6, 10, 16, 32, 70, 150, 259};
    static constexpr std::array<std::int32_t, Max_Groups> Group_Increment{0, 64, 16, 16, 16, 8, 8, 8};

    // The steps of one value; the group and sub-model steps are absent (null)
    // when the value does not need them.
    struct T_Split {
        T_KYL_Model* First_Model;
        std::int32_t First_Symbol;
        T_KYL_Model* Group_Model;
        std::int32_t Group;
        T_KYL_Model* Sub_Model;
        std::int32_t Offset;
    };

    // alphabet_size in 151..259.  Reset must run before the first use.
    explicit T_KYL_Symbol_Model(std::int32_t alphabet_size);

    void Reset();
    T_Split Split_Symbol(std::int32_t value) const {
        if (value < Escape) return {First_Model.get(), value, nullptr, 0, nullptr, 0};
        const std::int32_t group = Symbol_Group[value];
        T_KYL_Model* sub_model = Sub_Models[group].get();
        // A one-value group is told by the group alone; its model has total 0
        // and must never reach the range coder.
        if (sub_model->Symbol_Count == 1) return {First_Model.get(), Escape, Group_Model.get(), group, nullptr, 0};
        return {First_Model.get(), Escape, Group_Model.get(), group, sub_model, value - Group_Base[group]};
    }
    T_KYL_Model& Sub_Model(std::int32_t group) const { return *Sub_Models[group]; }
    static std::int32_t Join_Symbol(std::int32_t group, std::int32_t offset) { return Group_Base[group] + offset; }

    std::int32_t Alphabet_Size;
    std::unique_ptr<T_KYL_Model> First_Model;
    std::unique_ptr<T_KYL_Model> Group_Model;
    std::array<std::unique_ptr<T_KYL_Model>, Max_Groups> Sub_Models;  // [0..Group_Count-1]
    std::array<std::int32_t, T_KYL_Model::Max_Symbols> Symbol_Group{};  // [3..258]
    std::int32_t Group_Count;
};

// Holder of one mantissa model; the subclasses differ only in what they build.
// The block coder owns one of each and hands Model to the range coder.
class T_KYL_Mantissa_Model {
public:
    // Single low mantissa bits: 2 symbols, increment 1.
    T_KYL_Mantissa_Model();
    void Reset() { Model->Reset(); }

    std::unique_ptr<T_KYL_Model> Model;

protected:
    explicit T_KYL_Mantissa_Model(std::unique_ptr<T_KYL_Model> model) : Model(std::move(model)) {}
};

// Mantissas of exponent class 1: 2 symbols, increment 100.
class T_KYL_Mantissa_Model_1 : public T_KYL_Mantissa_Model {
public:
    T_KYL_Mantissa_Model_1();
};

// Mantissas of exponent class 2: 4 symbols, increment 40.
class T_KYL_Mantissa_Model_2 : public T_KYL_Mantissa_Model {
public:
    T_KYL_Mantissa_Model_2();
};

// Three-bit mantissa heads: a context model of 8 symbols, increments 40, 20,
// 10, three history bits per symbol and a long context of three symbols.
class T_KYL_Mantissa_Model_3 : public T_KYL_Mantissa_Model {
public:
    T_KYL_Mantissa_Model_3();
};
