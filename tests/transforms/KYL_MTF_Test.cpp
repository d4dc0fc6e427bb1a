// SPDX-License-Identifier: MIT
#include "transforms/KYL_MTF_Unit.h"

#include <numeric>

#include "tests/transforms/KYL_Transforms_Test_Support.h"

namespace {

class T_MTF_Test : public T_Block_Test {
protected:
    T_KYL_MTF MTF;

    T_Bytes Encode(const T_Bytes& block) {
        Set_Source(block);
        MTF.Encode(Data);
        return Target_Bytes();
    }
    T_Bytes Decode(const T_Bytes& ranks) {
        Set_Source(ranks);
        MTF.Decode(Data);
        return Target_Bytes();
    }
};

// The list update one symbol at a time, on the lists a T_KYL_MTF shows: the
// reference the block loops are held against.
void Move_To_Front(T_KYL_MTF& mtf, std::int32_t v) {
    const std::int32_t r = mtf.Rank_Of[v];
    for (std::int32_t i = r; i >= 1; --i) {
        const std::int32_t u = mtf.Symbol_At[i - 1];
        mtf.Symbol_At[i] = u;
        mtf.Rank_Of[u] = i;
    }
    mtf.Symbol_At[0] = v;
    mtf.Rank_Of[v] = 0;
}
// Returns the rank of v, then moves v to the front.
std::int32_t Encode_Symbol(T_KYL_MTF& mtf, std::int32_t v) {
    const std::int32_t r = mtf.Rank_Of[v];
    Move_To_Front(mtf, v);
    return r;
}
// Returns the value at rank r, then moves it to the front.
std::int32_t Decode_Symbol(T_KYL_MTF& mtf, std::int32_t r) {
    const std::int32_t v = mtf.Symbol_At[r];
    Move_To_Front(mtf, v);
    return v;
}

bool Is_Consistent(const T_KYL_MTF& mtf) {
    for (int r = 0; r < 256; ++r)
        if (mtf.Symbol_At[r] < 0 || mtf.Symbol_At[r] > 255 || mtf.Rank_Of[mtf.Symbol_At[r]] != r) return false;
    return true;
}

TEST_F(T_MTF_Test, Golden_Examples) {
    EXPECT_EQ(Encode({1, 1, 0}), (T_Bytes{1, 0, 1}));
    EXPECT_EQ(Decode({1, 0, 1}), (T_Bytes{1, 1, 0}));
    T_Bytes ascending(256);
    std::iota(ascending.begin(), ascending.end(), 0);
    EXPECT_EQ(Encode(ascending), ascending);
    EXPECT_EQ(Decode(ascending), ascending);
    T_Bytes run(50, 200);
    T_Bytes ranks(50, 0);
    ranks[0] = 200;
    EXPECT_EQ(Encode(run), ranks);
    EXPECT_EQ(Decode(ranks), run);
}

TEST_F(T_MTF_Test, Symbol_Operations_Keep_The_List_A_Permutation) {
    MTF.Reset_List();
    EXPECT_EQ(Encode_Symbol(MTF, 5), 5);
    EXPECT_EQ(Encode_Symbol(MTF, 5), 0);
    EXPECT_EQ(Encode_Symbol(MTF, 0), 1);
    EXPECT_EQ(MTF.Symbol_At[0], 0);
    EXPECT_EQ(MTF.Symbol_At[1], 5);
    EXPECT_EQ(MTF.Symbol_At[6], 6);  // values behind the moved one keep their ranks
    EXPECT_EQ(Decode_Symbol(MTF, 255), 255);
    EXPECT_EQ(MTF.Rank_Of[255], 0);
    EXPECT_TRUE(Is_Consistent(MTF));
    MTF.Spare[1] = 9;
    MTF.Reset_List();
    EXPECT_EQ(MTF.Rank_Of[255], 255);
    EXPECT_EQ(MTF.Spare[1], 0);
}

// The block loops keep their own byte list; they must match the named
// operations symbol by symbol and leave the same list behind.
TEST_F(T_MTF_Test, Block_Loops_Match_Symbol_Operations) {
    std::mt19937 random(17);
    for (int round = 0; round < 20; ++round) {
        T_Bytes block(3000);
        for (auto& b : block) b = std::uint8_t(round % 2 ? random() % 4 * 60 : random() % 256);
        T_KYL_MTF reference;
        reference.Reset_List();
        T_Bytes expected;
        for (std::uint8_t b : block) expected.push_back(std::uint8_t(Encode_Symbol(reference, b)));
        ASSERT_EQ(Encode(block), expected);
        EXPECT_TRUE(std::equal(std::begin(MTF.Symbol_At), std::end(MTF.Symbol_At), std::begin(reference.Symbol_At)));
        EXPECT_TRUE(Is_Consistent(MTF));
        ASSERT_EQ(Decode(expected), block);
    }
}

// A long block encoded in parts on lent threads, each part starting from
// the list the bytes before it leave: the ranks and the list of one thread.
// Some values occur only near the start and some never, so that the lists
// of the later parts reach far back.
TEST_F(T_MTF_Test, Encodes_In_Parts_On_Threads) {
    std::mt19937 random(23);
    T_Bytes block(1 << 20);
    for (auto& b : block) b = std::uint8_t(random() % 16 == 0 ? random() % 200 : random() % 8);
    block[10] = 250;
    block[11] = 251;
    const T_Bytes alone = Encode(block);
    const T_KYL_MTF reference = MTF;
    T_Lent_Threads one(1);
    MTF.Helpers = &one;
    const T_Bytes in_parts = Encode(block);
    MTF.Helpers = nullptr;
    EXPECT_EQ(in_parts, alone);
    EXPECT_TRUE(std::equal(std::begin(MTF.Symbol_At), std::end(MTF.Symbol_At), std::begin(reference.Symbol_At)));
    EXPECT_TRUE(Is_Consistent(MTF));
}

TEST_F(T_MTF_Test, Every_Block_Starts_From_The_Identity_List) {
    const T_Bytes block = {9, 9, 3, 250, 3, 0, 9};
    const T_Bytes first = Encode(block);
    EXPECT_EQ(Encode(block), first);
    EXPECT_EQ(Decode(first), block);
    EXPECT_EQ(Decode(first), block);
}

TEST_F(T_MTF_Test, Empty_Source_Gives_Empty_Target) {
    Data.Target->Len = 12;
    EXPECT_TRUE(Encode({}).empty());
    EXPECT_EQ(Data.Target->Len, 0);
    Data.Target->Len = 12;
    EXPECT_TRUE(Decode({}).empty());
    EXPECT_EQ(Data.Target->Len, 0);
}

}  // namespace
