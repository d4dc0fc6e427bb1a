// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <type_traits>

#include "KYL_Test_Seam.h"
#include "tests/entropy/KYL_Entropy_Test_Support.h"

namespace {

// The frequency of position p (1..n) as the coder sees it.
std::int32_t Frequency(const T_KYL_Model& model, std::int32_t p) { return model.Cum_Freq[p - 1] - model.Cum_Freq[p]; }

std::vector<std::int32_t> Frequencies(const T_KYL_Model& model) {
    std::vector<std::int32_t> result;
    for (std::int32_t p = 1; p <= model.Symbol_Count; ++p) result.push_back(Frequency(model, p));
    return result;
}

std::vector<std::int32_t> Cum_Table(const T_KYL_Model& model) {
    return {model.Cum_Freq.begin(), model.Cum_Freq.begin() + model.Symbol_Count + 1};
}

}  // namespace

// ----------------------------------------------------------- T_KYL_Model

TEST(T_KYL_Model, Reset_Gives_Falling_Frequencies_In_Identity_Order) {
    T_KYL_Model model(4, 450);
    model.Reset();
    EXPECT_EQ(Frequencies(model), (std::vector<std::int32_t>{1800, 1350, 900, 450}));
    EXPECT_EQ(Cum_Table(model), (std::vector<std::int32_t>{4500, 2700, 1350, 450, 0}));
    for (std::int32_t s = 0; s < 4; ++s) {
        EXPECT_EQ(model.Symbol_To_Pos[s], s + 1);
        EXPECT_EQ(model.Pos_To_Symbol[s + 1], s);
    }
    T_KYL_Model two(2, 1);
    two.Reset();
    EXPECT_EQ(Frequencies(two), (std::vector<std::int32_t>{2, 1}));
}

TEST(T_KYL_Model, Update_Moves_To_Head_Of_Equal_Run) {
    T_KYL_Model model(4, 450);
    model.Reset();
    model.Update(3);  // no equal neighbour: counts in place
    EXPECT_EQ(Cum_Table(model), (std::vector<std::int32_t>{4950, 3150, 1800, 450, 0}));
    EXPECT_EQ(model.Pos_To_Symbol[3], 2);
    model.Update(3);  // 1350 at positions 2 and 3: symbol 2 moves to position 2
    EXPECT_EQ(model.Pos_To_Symbol[2], 2);
    EXPECT_EQ(model.Pos_To_Symbol[3], 1);
    EXPECT_EQ(model.Symbol_To_Pos[2], 2);
    EXPECT_EQ(model.Symbol_To_Pos[1], 3);
    EXPECT_EQ(Frequencies(model), (std::vector<std::int32_t>{1800, 1800, 1350, 450}));
    EXPECT_EQ(model.Cum_Freq[0], 5400);
    EXPECT_EQ(model.Cum_Freq[1], 3600);
}

TEST(T_KYL_Model, Halving_Rounds_Up_And_Runs_When_Total_Reaches_Limit) {
    // 4,3,2,1; position 1 is counted until the total reaches 32768, then the
    // halving maps 32762 -> 16381, 3 -> 2, 2 -> 1, 1 -> 1.
    T_KYL_Model model(4, 1);
    model.Reset();
    for (int i = 0; i < 32757; ++i) model.Update(1);
    EXPECT_EQ(model.Cum_Freq[0], 32767);
    model.Update(1);
    EXPECT_EQ(Frequencies(model), (std::vector<std::int32_t>{16381, 2, 1, 1}));
    EXPECT_EQ(model.Cum_Freq[0], 16385);

    T_KYL_Model exact(1, 16384);  // 16384 + 16384 = 32768 exactly: halved at once
    exact.Reset();
    exact.Update(1);
    EXPECT_EQ(exact.Cum_Freq[0], 16384);
    T_KYL_Model below(1, 16383);
    below.Reset();
    below.Update(1);
    EXPECT_EQ(below.Cum_Freq[0], 32766);
}

TEST(T_KYL_Model, Start_Total_Above_Limit_Is_Halved_Once_Per_Update) {
    T_KYL_Model model(107, 8);
    model.Reset();
    EXPECT_EQ(model.Cum_Freq[0], 46224);
    model.Update(107);  // 8 + 8 at the last position, then every entry halved
    EXPECT_EQ(Frequency(model, 1), 428);
    EXPECT_EQ(Frequency(model, 107), 8);
    EXPECT_EQ(model.Cum_Freq[0], 23116);

    T_KYL_Model far_above(2, 30000);  // 90000: one halving per update, no more
    far_above.Reset();
    far_above.Update(1);
    EXPECT_EQ(Frequencies(far_above), (std::vector<std::int32_t>{45000, 15000}));
}

// ------------------------------------------------------ mantissa models

// The decoder divides by the total through a multiplication: exact for
// every total the coder admits (1..2^23) and every range up to 2^31.  A
// one-symbol model's total is its increment.
TEST(T_KYL_Model, Divide_Matches_The_Division_For_Every_Total) {
    std::mt19937 random(9);
    std::vector<std::uint32_t> totals = {1, 2, 3, 7, 255, 256, 257, 32767, 32768, 46224, 65535, 65536,
                                         (1u << 23) - 1, 1u << 23};
    for (int k = 0; k < 200; ++k) totals.push_back(1 + random() % (1u << 23));
    for (const std::uint32_t total : totals) {
        T_KYL_Model model(1, std::int32_t(total));
        model.Reset();
        for (std::uint32_t x : {0u, 1u, total - 1, total, 0x7FFFFFFFu, 0x80000000u, 0x80000000u / total * total - 1})
            ASSERT_EQ(model.Divide(x), x / total) << x << " / " << total;
        for (int k = 0; k < 50; ++k) {
            const std::uint32_t x = std::uint32_t(random() % 0x80000001u);
            ASSERT_EQ(model.Divide(x), x / total) << x << " / " << total;
        }
    }
}

TEST(T_KYL_Mantissa_Model, Start_Statistics_And_Slow_Adaptation) {
    T_Controller_Fixture fixture;
    T_KYL_Mantissa_Model bit;
    T_KYL_Mantissa_Model_1 one;
    T_KYL_Mantissa_Model_2 two;
    T_KYL_Mantissa_Model_3 three;
    bit.Reset();
    one.Reset();
    two.Reset();
    three.Reset();
    EXPECT_EQ(Frequencies(*bit.Model), (std::vector<std::int32_t>{2, 1}));
    EXPECT_EQ(Frequencies(*one.Model), (std::vector<std::int32_t>{200, 100}));
    EXPECT_EQ(Frequencies(*two.Model), (std::vector<std::int32_t>{160, 120, 80, 40}));
    EXPECT_EQ(Frequencies(*three.Model), (std::vector<std::int32_t>{161, 141, 121, 101, 81, 61, 41, 21}));

    bit.Model->Update(2);
    EXPECT_EQ(Frequencies(*bit.Model), (std::vector<std::int32_t>{2, 2}));
    bit.Model->Update(2);
    EXPECT_EQ(bit.Model->Symbol_To_Pos[1], 1);
    EXPECT_EQ(Frequencies(*bit.Model), (std::vector<std::int32_t>{3, 2}));

    // Resetting one model leaves the others as they were.
    one.Model->Update(1);
    bit.Reset();
    EXPECT_EQ(Frequencies(*one.Model), (std::vector<std::int32_t>{300, 100}));
}

// --------------------------------------------------- T_KYL_Context_Model

namespace {

// A straightforward model of the three frequency sets, rows kept by context,
// to check the table block against.
struct T_Reference_Context {
    static constexpr int N = 8;
    std::array<std::int32_t, N + 1> F0{};
    std::array<std::array<std::uint16_t, N + 1>, 8> F1{};
    std::array<std::array<std::uint16_t, N + 1>, 512> F2{};
    std::int32_t History = 0;
    bool Variant = false;

    T_Reference_Context() {
        for (int p = 1; p <= N; ++p) F0[p] = (N + 1 - p) * 40;
        for (auto& row : F1)
            for (int p = 1; p <= N; ++p) row[p] = std::uint16_t((N + 1 - p) * 20);
        for (auto& row : F2)
            for (int p = 1; p <= N; ++p) row[p] = std::uint16_t((N + 1 - p) * 10);
    }
    template <class Row>
    static void Count(Row& row, int p, int increment) {
        row[p] = std::remove_reference_t<decltype(row[p])>(row[p] + increment);
        long total = 0;
        for (int q = 1; q <= N; ++q) total += row[q];
        if (std::uint16_t(total) >= 32768 || (sizeof(row[0]) == 4 && total >= 32768))
            for (int q = 1; q <= N; ++q) row[q] = std::remove_reference_t<decltype(row[q])>((row[q] + 1) >> 1);
    }
    void Code(int symbol) {
        const int p = symbol + 1;
        Count(F0, p, 40);
        Count(F1[History & 7], p, 20);
        Count(F2[History & 511], p, 10);
        History = (History << 3) | symbol;
    }
    std::vector<std::int32_t> Blend() const {
        std::vector<std::int32_t> result;
        const auto& r1 = F1[History & 7];
        const auto& r2 = F2[History & 511];
        for (int p = 1; p <= N; ++p)
            result.push_back(Variant ? (((r1[p] >> 1) + F0[p] + r2[p]) >> 2) + 1
                                     : ((r1[p] + F0[p] + 2 * r2[p]) >> 2) + 1);
        return result;
    }
};

}  // namespace

TEST(T_KYL_Context_Model, Masks_And_Start_Blend) {
    T_Controller_Fixture fixture;
    T_KYL_Context_Model model(8, 40, 20, 10, 3, 3);
    EXPECT_EQ(T_KYL_Test_Seam::Short_Mask(model), 7);
    EXPECT_EQ(T_KYL_Test_Seam::Long_Mask(model), 511);
    model.Reset();
    EXPECT_EQ(Frequencies(model), (std::vector<std::int32_t>{161, 141, 121, 101, 81, 61, 41, 21}));
    EXPECT_EQ(model.Cum_Freq[0], 728);

    fixture.Controller.Block_Data.Variant_Flag = 1;
    model.Reset();
    EXPECT_EQ(Frequencies(model), (std::vector<std::int32_t>{121, 106, 91, 76, 61, 46, 31, 16}));
    EXPECT_EQ(model.Cum_Freq[0], 548);
}

TEST(T_KYL_Context_Model, Counts_Under_Old_Context_Then_Shifts) {
    T_Controller_Fixture fixture;
    T_KYL_Context_Model model(8, 40, 20, 10, 3, 3);
    model.Reset();
    model.Update(1);  // symbol 0: history stays 0
    EXPECT_EQ(Frequency(model, 1), 181);
    EXPECT_EQ(model.Cum_Freq[0], 748);
    EXPECT_EQ(T_KYL_Test_Seam::Long_Context(model), 0);
    // Symbol 5 selects rows 5, still at their start values; only the
    // context-free counts of symbols 0 and 5 show.
    model.Update(6);
    EXPECT_EQ(T_KYL_Test_Seam::Short_Context(model), 5);
    EXPECT_EQ(T_KYL_Test_Seam::Long_Context(model), 5);
    EXPECT_EQ(Frequencies(model), (std::vector<std::int32_t>{171, 141, 121, 101, 81, 71, 41, 21}));
    for (std::int32_t s : {1, 2, 3, 4}) model.Update(s + 1);
    EXPECT_EQ(T_KYL_Test_Seam::Short_Context(model), 4);
    EXPECT_EQ(T_KYL_Test_Seam::Long_Context(model), 2 * 64 + 3 * 8 + 4);
}

TEST(T_KYL_Context_Model, Matches_Reference_Rows_Through_Halvings) {
    // Skewed streams make rows 0 and the frequent contexts reach the limit
    // many times while others never do.
    T_Controller_Fixture fixture;
    T_KYL_Context_Model model(8, 40, 20, 10, 3, 3);
    for (int variant = 0; variant < 2; ++variant) {
        fixture.Controller.Block_Data.Variant_Flag = std::uint8_t(variant);
        model.Reset();
        T_Reference_Context reference;
        reference.Variant = variant == 1;
        std::mt19937 random(1234 + variant);
        std::geometric_distribution<int> skew(0.6);
        for (int i = 0; i < 20000; ++i) {
            const int symbol = std::min(skew(random), 7);
            model.Update(symbol + 1);
            reference.Code(symbol);
            ASSERT_EQ(Frequencies(model), reference.Blend()) << "after symbol " << i;
        }
    }
}

// ---------------------------------------------------- T_KYL_Symbol_Model

TEST(T_KYL_Symbol_Model, Builds_Groups_For_Both_Alphabets) {
    T_KYL_Symbol_Model model(257);
    model.Reset();
    EXPECT_EQ(model.Group_Count, 8);
    const std::array<std::int32_t, 8> sizes{1, 2, 4, 6, 16, 38, 80, 107};
    for (std::int32_t g = 0; g < 8; ++g) EXPECT_EQ(model.Sub_Model(g).Symbol_Count, sizes[g]);
    EXPECT_EQ(T_KYL_Symbol_Model(256).Sub_Model(7).Symbol_Count, 106);
    EXPECT_EQ(Frequencies(*model.First_Model), (std::vector<std::int32_t>{1800, 1350, 900, 450}));
    EXPECT_EQ(Frequencies(*model.Group_Model),
              (std::vector<std::int32_t>{2664, 2331, 1998, 1665, 1332, 999, 666, 333}));
}

TEST(T_KYL_Symbol_Model, Splits_Values_Into_Steps) {
    T_KYL_Symbol_Model model(257);
    struct T_Case {
        std::int32_t Value, First, Group, Offset;
        bool Has_Group, Has_Sub;
    };
    for (const T_Case& c : {T_Case{0, 0, 0, 0, false, false}, T_Case{2, 2, 0, 0, false, false},
                            T_Case{3, 3, 0, 0, true, false}, T_Case{5, 3, 1, 1, true, true},
                            T_Case{149, 3, 6, 79, true, true}, T_Case{150, 3, 7, 0, true, true},
                            T_Case{256, 3, 7, 106, true, true}}) {
        const auto split = model.Split_Symbol(c.Value);
        EXPECT_EQ(split.First_Model, model.First_Model.get());
        EXPECT_EQ(split.First_Symbol, c.First) << c.Value;
        EXPECT_EQ(split.Group_Model != nullptr, c.Has_Group) << c.Value;
        EXPECT_EQ(split.Sub_Model != nullptr, c.Has_Sub) << c.Value;
        if (c.Has_Group) {
            EXPECT_EQ(split.Group, c.Group) << c.Value;
        }
        if (c.Has_Sub) {
            EXPECT_EQ(split.Sub_Model, &model.Sub_Model(c.Group));
            EXPECT_EQ(split.Offset, c.Offset) << c.Value;
            EXPECT_EQ(T_KYL_Symbol_Model::Join_Symbol(split.Group, split.Offset), c.Value);
        }
    }
}
