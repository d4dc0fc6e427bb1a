// SPDX-License-Identifier: MIT
// Files the program writes, byte for byte, and round trips of many kinds.
#include <gtest/gtest.h>

#include <filesystem>

#include "KYL_Test_Support.h"
#include "codec/KYL_MCP_Unit.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;

T_Bytes Compressed_With_The_Program(const T_Bytes& original) {
    T_Temp_Dir dir;
    Write_File(dir / "in.txt", original);
    EXPECT_EQ(Run_KYL(dir.Path(), {"-c", "in.txt"}).Exit_Status, 0);
    return Read_File(dir / "in.kyl");
}

TEST(KYL_Format, One_Byte_File) {
    EXPECT_EQ(Compressed_With_The_Program({'a'}),
              T_Bytes({0x0C, 0x01, 0x43, 0xBE, 0xB7, 0xE8, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0xF4, 0x00,
                       0x01, 0x00, 0x01, 0x52, 0xF5, 0x54, 0x61}));
}

TEST(KYL_Format, Banana) {
    EXPECT_EQ(Compressed_With_The_Program({'b', 'a', 'n', 'a', 'n', 'a'}),
              T_Bytes({0x0C, 0x01, 0xCF, 0x67, 0x8B, 0x03, 0x04, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00,
                       0xF4, 0x00, 0x01, 0x00, 0x01, 0x50, 0xD8, 0x5E, 0xC7, 0x51, 0x65, 0xAB, 0xB5}));
}

TEST(KYL_Format, A_Run_Of_One_Hundred_Bytes) {
    EXPECT_EQ(Compressed_With_The_Program(T_Bytes(100, 'a')),
              T_Bytes({0x0C, 0x01, 0x64, 0x7A, 0x70, 0xAF, 0x64, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00,
                       0x0E, 0xEE, 0xC7, 0xD3, 0x00, 0x35, 0x00, 0x01, 0x56, 0xB7, 0xB8, 0xEA, 0xB5}));
}

TEST(KYL_Format, Every_Block_Header_Carries_Length_Flags_And_CRC) {
    const T_Bytes original = Text_Like_Bytes(std::size_t(Block_Size) + 1000, 21);
    const T_Bytes compressed = Compressed_With_The_Program(original);
    std::size_t at = 0;
    int blocks = 0;
    while (at < compressed.size()) {
        ASSERT_EQ(compressed[at], 12);
        ASSERT_EQ(compressed[at + 1], 0x01);
        at += 12 + std::size_t(compressed[at + 9] | compressed[at + 10] << 8 | compressed[at + 11] << 16);
        ++blocks;
    }
    EXPECT_EQ(at, compressed.size());
    EXPECT_EQ(blocks, 2);
}

TEST(KYL_Format, Compressing_Twice_Gives_The_Same_Bytes) {
    const T_Bytes original = Text_Like_Bytes(50000, 22);
    EXPECT_EQ(Compressed_With_The_Program(original), Compressed_With_The_Program(original));
}

// Round trips through the program of data of many shapes and sizes.
TEST(KYL_Format, Files_Of_Many_Kinds_Round_Trip) {
    T_Temp_Dir dir;
    std::vector<std::pair<std::string, T_Bytes>> files = {
        {"zeros.bin", T_Bytes(70000, 0)},
        {"ones.bin", T_Bytes(12345, 0xFF)},
        {"random.bin", Random_Bytes(300000, 1)},
        {"text.txt", Text_Like_Bytes(400000, 2)},
        {"two.bin", {0x00, 0xFF}},
    };
    T_Bytes periodic;
    for (int i = 0; i < 100000; ++i) periodic.push_back(std::uint8_t("abcab"[i % 5]));
    files.emplace_back("periodic.bin", periodic);
    T_Bytes runs;
    for (int i = 0; i < 3000; ++i) runs.insert(runs.end(), std::size_t(1 + (i * 7919) % 700), std::uint8_t(i * 13));
    files.emplace_back("runs.bin", runs);
    for (const auto& [name, bytes] : files) Write_File(dir / name, bytes);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "*.*"}).Exit_Status, 0);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-e", "*.kyl", "out"}).Exit_Status, 0);
    for (const auto& [name, bytes] : files) {
        const std::string out = (dir.Path() / std::filesystem::path(name).replace_extension(".out")).string();
        EXPECT_EQ(Read_File(out), bytes) << name;
    }
}

TEST(KYL_Format, A_File_Of_Three_Blocks_Round_Trips) {
    T_Temp_Dir dir;
    T_Bytes original = Text_Like_Bytes(12000000, 23);
    for (std::size_t i = 6000000; i < 6500000; ++i) original[i] = std::uint8_t(i * 2654435761u >> 24);
    Write_File(dir / "big.txt", original);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "big.txt"}).Exit_Status, 0);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-e", "big.kyl"}).Exit_Status, 0);
    EXPECT_EQ(Read_File(dir / "big.exp"), original);
}

}  // namespace
