// SPDX-License-Identifier: MIT
// The controller's arena and the framing of records in memory.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "codec/KYL_MCP_Unit.h"

namespace {

using T_Bytes = std::vector<std::uint8_t>;

TEST(T_KYL_MCP, Carves_The_Arena_Into_Adjacent_Regions) {
    T_KYL_MCP controller;
    T_Block_Data data;
    controller.Get_Block_Data(data);
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
    // The areas lent for gathering input are the two no stage touches.
    EXPECT_EQ(controller.Block_Gathering_Area().data(), data.Tables->Byte_Area);
    EXPECT_EQ(controller.Record_Window_Area().data(), integer_area);
}

// A record is whole once its header and stored payload length are in; a
// stored record only at Block_Size bytes or at the end of the input.  Short of
// that, more input is asked for, or at the end the record is damaged.
TEST(T_KYL_MCP, Record_Length_Frames_Records_Or_Asks_For_More) {
    const T_Bytes coded = {0x0C, 0x01, 0x43, 0xBE, 0xB7, 0xE8, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x00,
                           0x00, 0xF4, 0x00, 0x01, 0x00, 0x01, 0x52, 0xF5, 0x54, 0x61};
    const std::span<const std::uint8_t> whole(coded);
    for (std::size_t cut = 0; cut < coded.size(); ++cut) {
        EXPECT_EQ(T_KYL_MCP::Record_Length(whole.first(cut), false), 0u) << cut;
        if (cut > 0) {
            EXPECT_THROW(T_KYL_MCP::Record_Length(whole.first(cut), true), T_KYL_Damaged_Block) << cut;
        }
    }
    EXPECT_EQ(T_KYL_MCP::Record_Length(whole, true), coded.size());
    T_Bytes followed = coded;
    followed.insert(followed.end(), coded.begin(), coded.end());
    EXPECT_EQ(T_KYL_MCP::Record_Length(followed, false), coded.size());

    const T_Bytes stored = {0x06, 0x00, 0x43, 0xBE, 0xB7, 0xE8, 'a'};
    EXPECT_EQ(T_KYL_MCP::Record_Length(stored, false), 0u);
    EXPECT_EQ(T_KYL_MCP::Record_Length(stored, true), stored.size());
    T_Bytes long_stored(6 + std::size_t(Block_Size) + 9, 0);
    long_stored[0] = 6;
    EXPECT_EQ(T_KYL_MCP::Record_Length(long_stored, false), 6 + std::size_t(Block_Size));

    T_Bytes huge_payload = coded;
    huge_payload[11] = 0x60;  // a payload length past Read_Ahead
    EXPECT_THROW(T_KYL_MCP::Record_Length(huge_payload, false), T_KYL_Damaged_Block);
}

// The block codec on blocks of every shape: the record it writes is one the
// format allows, and it expands, all of it consumed, to the block again.
TEST(T_KYL_MCP, Block_Codec_Restores_Blocks_Of_Every_Shape) {
    std::mt19937 random(41);
    auto random_block = [&](std::size_t length, unsigned alphabet) {
        T_Bytes block(length);
        for (auto& b : block) b = std::uint8_t(random() % alphabet);
        return block;
    };
    T_Bytes periodic, runs;
    for (int i = 0; i < 150000; ++i) periodic.push_back(std::uint8_t("abc"[i % 3]));
    for (int k = 1; k < 3000; k += 7) runs.insert(runs.end(), std::size_t(k), std::uint8_t(k));
    const T_Bytes blocks[] = {{0}, {'b', 'a', 'n', 'a', 'n', 'a'}, T_Bytes(100000, 'q'), periodic,
                              random_block(60000, 256), random_block(60000, 2), runs};
    T_KYL_MCP controller;
    for (const T_Bytes& block : blocks) {
        for (const std::uint8_t transform : {std::uint8_t(1), std::uint8_t(0)}) {
            const T_KYL_Record record = controller.Compress_Block(block, transform);
            T_Bytes bytes(record.Header.begin(), record.Header.end());
            bytes.insert(bytes.end(), record.Payload.begin(), record.Payload.end());
            ASSERT_EQ(bytes[0], transform == 1 ? 12 : 6);
            EXPECT_EQ(bytes[1], transform);
            const T_KYL_Expanded_Record expanded = controller.Expand_Record(bytes, true);
            EXPECT_EQ(expanded.Consumed, bytes.size());
            EXPECT_EQ(T_Bytes(expanded.Block.begin(), expanded.Block.end()), block) << block.size();
        }
    }
}

}  // namespace
