// SPDX-License-Identifier: MIT
// The block core: the record services the stages call, the side-table slots,
// the header byte order, and the per-thread Current_Controller.
#include <gtest/gtest.h>

#include <thread>

#include "KYL_Block_Harness.h"
#include "block/KYL_Block_Unit.h"

namespace {

TEST(T_KYL_Block_Controller, Swap_Buffers_Exchanges_Descriptors_Not_Bytes) {
    T_KYL_Block_Harness controller;
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

TEST(T_KYL_Block_Controller, Get_Block_Data_Copies_The_Flags_Of_The_Block_In_Work) {
    T_KYL_Block_Harness controller;
    controller.Block_Data.Transform_Flag = 1;
    controller.Block_Data.Variant_Flag = 1;
    controller.Block_Data.Stored_CRC = 0x12345678;
    T_Block_Data copy;
    controller.Get_Block_Data(copy);
    EXPECT_EQ(copy.Transform_Flag, 1);
    EXPECT_EQ(copy.Variant_Flag, 1);
    EXPECT_EQ(copy.Stored_CRC, 0x12345678u);
    EXPECT_EQ(copy.Source, controller.Block_Data.Source);
}

TEST(T_KYL_Block_Controller, Log2_Floor_Is_The_Highest_Set_Bit_Of_X_Plus_One) {
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(0), 0);
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(1), 1);
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(2), 1);
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(3), 2);
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(6), 2);
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(7), 3);
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(98), 6);
    EXPECT_EQ(T_KYL_Block_Controller::Log2_Floor(2147483647), 31);
}

// The integer slot with number `slot` (0..168, not 25 or 51), by the fields'
// places in the tables.
std::int32_t& Slot(T_Block_Tables& tables, int slot) {
    if (slot >= 0 && slot <= 24) return tables.Reserved_0_24[slot];
    if (slot >= 26 && slot <= 50) return tables.Reserved_26_50[slot - 26];
    if (slot == 52) return tables.Run_Count;
    if (slot >= 53 && slot <= 76) return tables.Run_Class_Count[slot - 53];
    if (slot >= 77 && slot <= 100) return tables.Run_Class_Start[slot - 77];
    if (slot >= 101 && slot <= 168) return tables.Reserved_101_168[slot - 101];
    throw std::out_of_range("T_Block_Tables has no integer slot " + std::to_string(slot));
}

TEST(T_Block_Tables, Slot_Numbers_Reach_The_Named_Run_Tables) {
    T_Block_Tables tables;
    Slot(tables, 52) = 7;
    Slot(tables, 53 + 4) = 9;
    Slot(tables, 77 + 23) = 5;
    EXPECT_EQ(tables.Run_Count, 7);
    EXPECT_EQ(tables.Run_Class_Count[4], 9);
    EXPECT_EQ(tables.Run_Class_Start[23], 5);
    Slot(tables, 168) = 1;
    EXPECT_EQ(tables.Reserved_101_168[67], 1);
    EXPECT_THROW(Slot(tables, 25), std::out_of_range);
    EXPECT_THROW(Slot(tables, 51), std::out_of_range);
    EXPECT_THROW(Slot(tables, 169), std::out_of_range);
}

TEST(KYL_Block_Header, Numbers_Go_Low_Byte_First_And_Come_Back_Last_In_First_Out) {
    std::uint8_t bytes[8] = {};
    T_Buffer header{bytes, 0};
    Push_LE(header, 0x0A0B0C, 3);
    Push_LE(header, 0xE8B7BE43, 4);
    EXPECT_EQ(bytes[0], 0x0C);
    EXPECT_EQ(bytes[3], 0x43);
    EXPECT_EQ(Get_LE(bytes, 3), 0x0A0B0Cu);
    EXPECT_EQ(Pop_LE(header, 4), 0xE8B7BE43u);
    EXPECT_EQ(Pop_LE(header, 3), 0x0A0B0Cu);
    EXPECT_EQ(header.Len, 0);
}

TEST(T_Current_Controller_Scope, Nests_And_Belongs_To_One_Thread) {
    T_KYL_Block_Harness outer;  // its own scope sets it
    EXPECT_EQ(Current_Controller, &outer);
    {
        T_KYL_Block_Harness inner;
        EXPECT_EQ(Current_Controller, &inner);
        T_KYL_Block_Controller* seen_elsewhere = &inner;
        std::thread([&] { seen_elsewhere = Current_Controller; }).join();
        EXPECT_EQ(seen_elsewhere, nullptr);
    }
    EXPECT_EQ(Current_Controller, &outer);
}

}  // namespace
