#include <gtest/gtest.h>

#include "codec/KYL_MCP_Unit.h"

namespace {

TEST(T_KYL_MCP, Carves_The_Arena_Into_Adjacent_Regions) {
    T_KYL_MCP controller;
    const T_Block_Data& data = controller.Block_Data;
    const std::uint8_t* source_region = data.Source->Data - Block_Buffer_Offset;
    const std::uint8_t* target_region = data.Target->Data - Block_Buffer_Offset;
    EXPECT_EQ(target_region - source_region, Block_Region_Size);
    EXPECT_EQ(data.Header->Data - target_region, Block_Region_Size);
    EXPECT_EQ(data.Tables->Byte_Area - data.Header->Data, Header_Capacity);
    const auto* integer_area = reinterpret_cast<const std::uint8_t*>(data.Tables->Integer_Area);
    const auto* run_array = reinterpret_cast<const std::uint8_t*>(data.Tables->Run_Array);
    const auto* index_array = reinterpret_cast<const std::uint8_t*>(data.Index_Array);
    const auto* work_array = reinterpret_cast<const std::uint8_t*>(data.Work_Array);
    EXPECT_EQ(integer_area - data.Tables->Byte_Area, Area_Entries);
    EXPECT_EQ(run_array - integer_area, 4 * Area_Entries);
    EXPECT_EQ(index_array - run_array, 4 * Area_Entries);
    EXPECT_EQ(work_array - index_array, 4 * Area_Entries);
    EXPECT_EQ(work_array + 4 * std::int64_t(Area_Entries) - source_region, Arena_Size);
    // A full block plus the transform's end row and 257 zero bytes fits.
    EXPECT_GE(Block_Buffer_Capacity, Block_Size + 1 + 257);
}

TEST(T_KYL_MCP, Swap_Buffers_Exchanges_Descriptors_Not_Bytes) {
    T_KYL_MCP controller;
    T_Block_Data& data = controller.Block_Data;
    T_Buffer* source = data.Source;
    T_Buffer* target = data.Target;
    source->Len = 11;
    target->Len = 22;
    controller.Swap_Buffers(data);
    EXPECT_EQ(data.Source, target);
    EXPECT_EQ(data.Source->Len, 22);
    EXPECT_EQ(data.Target->Len, 11);
    controller.Swap_Buffers(data);
    EXPECT_EQ(data.Source, source);
    EXPECT_EQ(data.Target, target);
}

TEST(T_KYL_MCP, Get_Block_Data_Copies_The_Flags_Of_The_Block_In_Work) {
    T_KYL_MCP controller;
    controller.Block_Data.Transform_Flag = 1;
    controller.Block_Data.Variant_Flag = 1;
    controller.Block_Data.Stored_CRC = 0x12345678;
    T_Block_Data copy;
    controller.Get_Block_Data(copy);
    EXPECT_EQ(copy.Transform_Flag, 1);
    EXPECT_EQ(copy.Variant_Flag, 1);
    EXPECT_EQ(copy.Stored_CRC, 0x12345678u);
    EXPECT_EQ(copy.Source, controller.Block_Data.Source);
    EXPECT_EQ(controller.Variant_Flag(), 1);
}

TEST(T_KYL_MCP, Log2_Floor_Is_The_Highest_Set_Bit_Of_X_Plus_One) {
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(0), 0);
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(1), 1);
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(2), 1);
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(3), 2);
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(6), 2);
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(7), 3);
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(98), 6);
    EXPECT_EQ(T_KYL_MCP::Log2_Floor(2147483647), 31);
}

TEST(T_Block_Tables, Slot_Numbers_Reach_The_Named_Run_Tables) {
    T_Block_Tables tables;
    tables.Slot(52) = 7;
    tables.Slot(53 + 4) = 9;
    tables.Slot(77 + 23) = 5;
    EXPECT_EQ(tables.Run_Count, 7);
    EXPECT_EQ(tables.Run_Class_Count[4], 9);
    EXPECT_EQ(tables.Run_Class_Start[23], 5);
    tables.Slot(168) = 1;
    EXPECT_EQ(tables.Reserved_101_168[67], 1);
    EXPECT_THROW(tables.Slot(25), std::out_of_range);
    EXPECT_THROW(tables.Slot(51), std::out_of_range);
    EXPECT_THROW(tables.Slot(169), std::out_of_range);
}

TEST(T_Current_Controller_Scope, Sets_And_Clears_The_Live_Controller) {
    T_KYL_MCP controller;
    {
        const T_Current_Controller_Scope scope(controller);
        EXPECT_EQ(Current_Controller, &controller);
    }
    EXPECT_EQ(Current_Controller, nullptr);
}

}  // namespace
