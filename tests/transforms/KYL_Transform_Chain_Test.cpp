// The three transforms in the controller's order, exchanging buffers between
// stages and sharing the Header stack, with the run values regrouped by class
// as the block decoder hands them back.
#include "transforms/KYL_BWT_Unit.h"
#include "transforms/KYL_MTF_Unit.h"
#include "transforms/KYL_RLE_EXP_Unit.h"

#include "tests/transforms/KYL_Transforms_Test_Support.h"

namespace {

class T_Transform_Chain_Test : public T_Block_Test {
protected:
    T_KYL_BWT BWT;
    T_KYL_RLE_EXP RLE;
    T_KYL_MTF MTF;

    // Mantissas grouped by class, each class start one past its group.
    void Regroup_Run_Values() {
        T_Block_Tables& t = *Data.Tables;
        const std::vector<std::int32_t> values(t.Run_Array, t.Run_Array + t.Run_Count);
        std::fill(std::begin(t.Run_Class_Count), std::end(t.Run_Class_Count), 0);
        for (std::int32_t x : values) ++t.Run_Class_Count[T_KYL_MCP::Log2_Floor(x)];
        t.Run_Class_Start[0] = 0;
        for (int e = 1; e < Class_Count; ++e) t.Run_Class_Start[e] = t.Run_Class_Start[e - 1] + t.Run_Class_Count[e - 1];
        for (std::int32_t x : values) {
            const std::int32_t e = T_KYL_MCP::Log2_Floor(x);
            t.Run_Array[t.Run_Class_Start[e]++] = x + 1 - (1 << e);
        }
    }

    void Expect_Chain_Restores(const T_Bytes& block) {
        Fill(*Data.Header, {12, 1, 0xDE, 0xAD, 0xBE, 0xEF});
        Data.Tables->Run_Count = 0;
        Set_Source(block);
        BWT.Encode(Data);
        Controller.Swap_Buffers(Data);
        RLE.Encode(Data);
        Controller.Swap_Buffers(Data);
        MTF.Encode(Data);
        Controller.Swap_Buffers(Data);
        ASSERT_EQ(Data.Header->Len, block.empty() ? 6 : 9);

        Regroup_Run_Values();
        MTF.Decode(Data);
        Controller.Swap_Buffers(Data);
        RLE.Decode(Data);
        Controller.Swap_Buffers(Data);
        BWT.Decode(Data);
        Controller.Swap_Buffers(Data);
        EXPECT_EQ(Contents(*Data.Source), block);
        EXPECT_EQ(Header_Bytes(), (T_Bytes{12, 1, 0xDE, 0xAD, 0xBE, 0xEF}));
    }
};

TEST_F(T_Transform_Chain_Test, Restores_Blocks_Of_Every_Shape) {
    Expect_Chain_Restores(Bytes_Of("banana"));
    Expect_Chain_Restores(T_Bytes{0});
    Expect_Chain_Restores(T_Bytes(100000, 'q'));
    Expect_Chain_Restores(Repeated_Block(Bytes_Of("abc"), 50000));
    Expect_Chain_Restores(Random_Block(60000, 256, 41));
    Expect_Chain_Restores(Random_Block(60000, 2, 42));
    T_Bytes runs;
    for (int k = 1; k < 3000; k += 7) runs.insert(runs.end(), std::size_t(k), std::uint8_t(k));
    Expect_Chain_Restores(runs);
}

TEST_F(T_Transform_Chain_Test, Passes_An_Empty_Block_Through) {
    Data.Target->Len = 0;
    Expect_Chain_Restores({});
}

}  // namespace
