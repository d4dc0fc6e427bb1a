// SPDX-License-Identifier: MIT
#include "transforms/KYL_RLE_EXP_Unit.h"

#include "tests/transforms/KYL_Transforms_Test_Support.h"

namespace {

class T_RLE_EXP_Test : public T_Block_Test {
protected:
    T_KYL_RLE_EXP RLE;

    T_Bytes Encode(const T_Bytes& block) {
        Set_Source(block);
        RLE.Encode(Data);
        return Target_Bytes();
    }
    std::vector<std::int32_t> Run_Values() const {
        return {Data.Tables->Run_Array, Data.Tables->Run_Array + Data.Tables->Run_Count};
    }

    // Lays the run values out as the block decoder does: mantissas grouped by
    // class in rising order, counts per class, each start one past its group.
    void Group_Mantissas(const std::vector<std::int32_t>& values) {
        T_Block_Tables& t = *Data.Tables;
        std::fill(std::begin(t.Run_Class_Count), std::end(t.Run_Class_Count), 0);
        for (std::int32_t x : values) ++t.Run_Class_Count[T_KYL_Block_Controller::Log2_Floor(x)];
        std::int32_t next = 0;
        t.Run_Class_Start[0] = 0;
        for (int e = 1; e < Class_Count; ++e) {
            next += t.Run_Class_Count[e - 1];
            for (std::int32_t x : values)
                if (T_KYL_Block_Controller::Log2_Floor(x) == e) t.Run_Array[next++] = x + 1 - (1 << e);
            next -= t.Run_Class_Count[e];
            t.Run_Class_Start[e] = next + t.Run_Class_Count[e];
        }
    }

    T_Bytes Decode(const T_Bytes& shortened) {
        Set_Source(shortened);
        RLE.Decode(Data);
        return Target_Bytes();
    }

    void Expect_Round_Trip(const T_Bytes& block) {
        Data.Tables->Run_Count = 0;
        const T_Bytes shortened = Encode(block);
        const std::vector<std::int32_t> values = Run_Values();
        Group_Mantissas(values);
        const std::vector<std::int32_t> ends(std::begin(Data.Tables->Run_Class_Start),
                                             std::end(Data.Tables->Run_Class_Start));
        ASSERT_EQ(Decode(shortened), block);
        // Every class position is back at the end of its group.
        EXPECT_EQ(std::vector<std::int32_t>(std::begin(Data.Tables->Run_Class_Start),
                                            std::end(Data.Tables->Run_Class_Start)),
                  ends);
    }
};

T_Bytes Runs(std::initializer_list<std::pair<std::uint8_t, std::int32_t>> runs) {
    T_Bytes block;
    for (const auto& [b, length] : runs) block.insert(block.end(), std::size_t(length), b);
    return block;
}

TEST_F(T_RLE_EXP_Test, Encodes_The_Worked_Example) {
    Data.Tables->Run_Count = 0;
    EXPECT_EQ(Encode(Runs({{'a', 11}, {'b', 1}, {'c', 4}})), Runs({{'a', 5}, {'b', 1}, {'c', 3}}));
    EXPECT_EQ(Run_Values(), (std::vector<std::int32_t>{9, 2}));
}

TEST_F(T_RLE_EXP_Test, Run_Lengths_Map_To_Their_Classes) {
    // L: bytes written, value stored (0 = none).
    const struct {
        std::int32_t Length, Written, Value;
    } cases[] = {{1, 1, 0}, {2, 2, 0}, {3, 3, 1}, {4, 3, 2}, {5, 4, 3}, {8, 4, 6}, {9, 5, 7}, {16, 5, 14}, {17, 6, 15}};
    for (const auto& c : cases) {
        Data.Tables->Run_Count = 0;
        EXPECT_EQ(Encode(Runs({{'r', c.Length}, {'s', 1}})), Runs({{'r', c.Written}, {'s', 1}})) << c.Length;
        EXPECT_EQ(Run_Values(), c.Value ? std::vector<std::int32_t>{c.Value} : std::vector<std::int32_t>{});
    }
}

TEST_F(T_RLE_EXP_Test, Leaves_Short_Runs_And_Counts_Untouched) {
    Data.Tables->Run_Count = 5;
    EXPECT_EQ(Encode({'q'}), T_Bytes{'q'});
    const T_Bytes no_long_runs = {1, 1, 2, 3, 3, 1, 0, 0};
    EXPECT_EQ(Encode(no_long_runs), no_long_runs);
    EXPECT_EQ(Data.Tables->Run_Count, 5);
}

TEST_F(T_RLE_EXP_Test, Appends_Values_After_Earlier_Ones) {
    Data.Tables->Run_Array[0] = -7;
    Data.Tables->Run_Count = 1;
    Encode(Runs({{'a', 3}, {'b', 6}}));
    EXPECT_EQ(Run_Values(), (std::vector<std::int32_t>{-7, 1, 4}));
}

TEST_F(T_RLE_EXP_Test, Full_Block_Run_Is_Class_22) {
    T_Bytes block(Block_Size, 'z');
    block.push_back('y');
    Data.Tables->Run_Count = 0;
    const T_Bytes shortened = Encode(block);
    EXPECT_EQ(shortened, Runs({{'z', 24}, {'y', 1}}));
    EXPECT_EQ(Data.Target->Len, 25);
    EXPECT_EQ(Run_Values(), std::vector<std::int32_t>{Block_Size - 2});
    Expect_Round_Trip(block);
}

TEST_F(T_RLE_EXP_Test, Decodes_The_Worked_Example) {
    T_Block_Tables& t = *Data.Tables;
    std::fill(std::begin(t.Run_Class_Count), std::end(t.Run_Class_Count), 0);
    // Class 1 holds mantissa 1 (run value 2), class 3 mantissa 2 (value 9).
    t.Run_Class_Count[1] = 1;
    t.Run_Class_Count[3] = 1;
    t.Run_Array[0] = 1;
    t.Run_Array[1] = 2;
    t.Run_Class_Start[0] = 0;
    t.Run_Class_Start[1] = 1;
    t.Run_Class_Start[2] = 1;
    t.Run_Class_Start[3] = 2;
    for (int e = 4; e < Class_Count; ++e) t.Run_Class_Start[e] = 2;
    EXPECT_EQ(Decode(Runs({{'a', 5}, {'b', 1}, {'c', 3}})), Runs({{'a', 11}, {'b', 1}, {'c', 4}}));
    EXPECT_EQ(Data.Target->Len, 16);
    EXPECT_EQ(t.Run_Class_Start[1], 1);
    EXPECT_EQ(t.Run_Class_Start[3], 2);
}

TEST_F(T_RLE_EXP_Test, Round_Trips_Many_Run_Shapes) {
    Expect_Round_Trip(Runs({{'x', 7}, {'y', 2}}));  // a trailing run of exactly 2
    Expect_Round_Trip(Runs({{0, 2}}));
    Expect_Round_Trip(Runs({{'a', 3}, {'b', 3}, {'a', 3}, {'c', 300}, {'a', 4}, {'d', 1}, {'a', 65536}}));
    std::mt19937 random(3);
    for (int round = 0; round < 20; ++round) {
        T_Bytes block;
        while (block.size() < 20000) {
            const int kind = int(random() % 4);
            const std::int32_t length = kind == 0 ? 1 : kind == 1 ? 2 : std::int32_t(kind == 2 ? 3 + random() % 30 : random() % 5000 + 1);
            block.insert(block.end(), std::size_t(length), std::uint8_t(random() % 3));
        }
        Expect_Round_Trip(block);
    }
}

// Decode skips stretches of one- and two-byte runs eight bytes at a time;
// a long run must be found wherever it starts, near the end too.
TEST_F(T_RLE_EXP_Test, Finds_Long_Runs_At_Every_Offset) {
    for (std::int32_t length = 3; length <= 40; ++length) {
        for (std::int32_t start = 0; start + 3 <= length; ++start) {
            for (std::int32_t run : {3, 4, 6}) {
                // Pairs and singles around the run: a a b c c d ...
                T_Bytes block;
                for (std::int32_t i = 0; std::int32_t(block.size()) < start; ++i)
                    block.insert(block.end(), std::size_t(i % 2 ? 1 : 2), std::uint8_t(10 + i % 7));
                block.resize(std::size_t(start));
                block.insert(block.end(), std::size_t(run), 'z');
                for (std::int32_t i = 0; std::int32_t(block.size()) < length; ++i) block.push_back(std::uint8_t(i % 2 ? 'p' : 'q'));
                Expect_Round_Trip(block);
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST_F(T_RLE_EXP_Test, Empty_Source_Is_Swapped_Through) {
    T_Buffer* const source = Data.Source;
    T_Buffer* const target = Data.Target;
    source->Len = 0;
    target->Len = 9;
    Data.Tables->Run_Count = 4;
    RLE.Encode(Data);
    EXPECT_EQ(Data.Source, target);
    EXPECT_EQ(Data.Tables->Run_Count, 4);
    Data.Source->Len = 0;
    RLE.Decode(Data);
    EXPECT_EQ(Data.Source, source);
    EXPECT_EQ(Data.Target->Len, 0);
}

// ----------------------------------------------------------- damaged input

TEST_F(T_RLE_EXP_Test, Decode_Rejects_A_Class_Above_23) {
    Group_Mantissas({});
    EXPECT_THROW(Decode(Runs({{'a', 26}})), T_KYL_Damaged_Block);
}

TEST_F(T_RLE_EXP_Test, Decode_Rejects_More_Runs_Than_Mantissas) {
    Group_Mantissas({1, 5});  // one mantissa of class 1, one of class 2
    // Three class-1 runs, and class 2's group just above it must not lend one.
    Paint(*Data.Target, 0x3C);
    EXPECT_THROW(Decode(Runs({{'a', 3}, {'b', 3}, {'c', 4}})), T_KYL_Damaged_Block);
    EXPECT_THROW(Decode(Runs({{'a', 3}, {'b', 3}})), T_KYL_Damaged_Block);
    EXPECT_TRUE(Painted_From(*Data.Target, 0, 0x3C)) << "nothing written before the check";
    Group_Mantissas({1, 5});
    EXPECT_EQ(Decode(Runs({{'a', 3}, {'b', 4}})), Runs({{'a', 3}, {'b', 7}}));
}

TEST_F(T_RLE_EXP_Test, Decode_Rejects_Inconsistent_Class_Tables) {
    Group_Mantissas({1});
    Data.Tables->Run_Class_Count[1] = 5;  // a group reaching below Run_Array
    EXPECT_THROW(Decode(Runs({{'a', 3}})), T_KYL_Damaged_Block);
    Group_Mantissas({1});
    Data.Tables->Run_Class_Start[7] = Area_Entries + 1;
    EXPECT_THROW(Decode(Runs({{'a', 3}})), T_KYL_Damaged_Block);
    Group_Mantissas({1});
    Data.Tables->Run_Array[0] = 2;  // a class-1 mantissa has one bit
    EXPECT_THROW(Decode(Runs({{'a', 3}})), T_KYL_Damaged_Block);
}

TEST_F(T_RLE_EXP_Test, Decode_Never_Writes_Past_A_Transformed_Block) {
    // Two class-22 runs ask for up to 2 * 8,388,608 bytes.
    Group_Mantissas({(1 << 23) - 2, (1 << 23) - 2});
    Paint(*Data.Target, 0x77);
    EXPECT_THROW(Decode(Runs({{'a', 24}, {'b', 24}})), T_KYL_Damaged_Block);
    EXPECT_TRUE(Painted_From(*Data.Target, Max_Transformed_Length, 0x77));
    // One class-23 run alone is too long.
    Group_Mantissas({(1 << 23) - 1});
    EXPECT_THROW(Decode(Runs({{'a', 25}})), T_KYL_Damaged_Block);
    EXPECT_TRUE(Painted_From(*Data.Target, 0, 0x77));
}

}  // namespace
