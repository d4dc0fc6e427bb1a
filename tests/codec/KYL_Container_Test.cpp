// SPDX-License-Identifier: MIT
// The block container as expansion meets it: stored blocks, block boundaries,
// damaged and truncated files, and platform failures at chosen points.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include <unistd.h>

#include "KYL_Test_Seam.h"
#include "KYL_Test_Support.h"
#include "codec/KYL_CRC_Unit.h"
#include "codec/KYL_File_Unit.h"
#include "platform/KYL_Platform.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;

const std::string CRC_Message = "\r\nCRC is not valid. Program execution terminated!\r\n";

std::uint32_t CRC_Of(const T_Bytes& bytes) {
    return T_KYL_CRC32().Compute(bytes.data(), std::int32_t(bytes.size()));
}

// A block written raw behind a 6-byte header.
T_Bytes Stored_Block(const T_Bytes& raw, std::uint32_t crc, std::uint8_t flags = 0x00) {
    T_Bytes block = {6, flags, std::uint8_t(crc), std::uint8_t(crc >> 8), std::uint8_t(crc >> 16),
                     std::uint8_t(crc >> 24)};
    block.insert(block.end(), raw.begin(), raw.end());
    return block;
}

T_Bytes Join(T_Bytes first, const T_Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// The (header length, payload length) of every block of a compressed file.
std::vector<std::pair<int, int>> Block_Layout(const T_Bytes& file) {
    std::vector<std::pair<int, int>> blocks;
    std::size_t at = 0;
    while (at + 12 <= file.size()) {
        const int payload = file[at + 9] | file[at + 10] << 8 | file[at + 11] << 16;
        blocks.emplace_back(file[at], payload);
        at += std::size_t(file[at]) + std::size_t(payload);
    }
    EXPECT_EQ(at, file.size());
    return blocks;
}

class Container : public ::testing::Test {
protected:
    T_Run_Result Expand(const T_Bytes& compressed) {
        Write_File(Dir / "in.kyl", compressed);
        return Run_KYL(Dir.Path(), {"-e", "in.kyl"});
    }
    T_Temp_Dir Dir;
};

TEST_F(Container, Stored_Blocks_Expand_With_Their_CRC_Checked) {
    const T_Bytes raw = Text_Like_Bytes(1000, 3);
    ASSERT_EQ(Expand(Stored_Block(raw, CRC_Of(raw))).Exit_Status, 0);
    EXPECT_EQ(Read_File(Dir / "in.exp"), raw);
    // Flag bits 2 to 7 mean nothing and are ignored.
    ASSERT_EQ(Expand(Stored_Block(raw, CRC_Of(raw), 0xFC)).Exit_Status, 0);
    EXPECT_EQ(Read_File(Dir / "in.exp"), raw);
}

TEST_F(Container, A_CRC_Mismatch_Keeps_The_Blocks_Before_It_And_Stops_The_Batch) {
    const T_Bytes first(Block_Size, 0x55);
    const T_Bytes second = {'x', 'y', 'z'};
    Write_File(Dir / "a.kyl", Join(Stored_Block(first, CRC_Of(first)), Stored_Block(second, CRC_Of(second) ^ 1)));
    Write_File(Dir / "b.kyl", Stored_Block(second, CRC_Of(second)));
    const T_Run_Result run = Run_KYL(Dir.Path(), {"-e", "*.kyl"});
    EXPECT_EQ(run.Exit_Status, 2);
    EXPECT_NE(run.Output.find(CRC_Message), std::string::npos);
    EXPECT_EQ(run.Output.find("Number of files"), std::string::npos);
    EXPECT_EQ(Read_File(Dir / "a.exp"), first);
    EXPECT_FALSE(std::filesystem::exists(Dir / "b.exp"));
}

TEST_F(Container, Damaged_Headers_End_Like_A_CRC_Mismatch) {
    const T_Bytes raw = {'a', 'b', 'c'};
    const T_Bytes stored = Stored_Block(raw, CRC_Of(raw));
    const std::vector<T_Bytes> damaged = {
        {0x00, 0x01, 0x02},                                   // header length 0
        {0x0C, 0x01, 0x43, 0xBE},                             // header cut short
        {0x05, 0x01, 0x43, 0xBE, 0xB7, 0xE8, 0x01, 0x00},     // too short for a transformed block
        {0x03, 0x00, 0x43, 0x61, 0x62},                       // too short for a stored block
        {0x0C, 0x01, 0x43, 0xBE, 0xB7, 0xE8, 0x01, 0, 0, 0x0A, 0, 0},  // no payload at all
        {stored.begin(), stored.begin() + 6},                 // a stored block without its bytes
        Join(stored, {0x06}),                                 // a second block cut inside its header
    };
    for (const T_Bytes& file : damaged) {
        const T_Run_Result run = Expand(file);
        EXPECT_EQ(run.Exit_Status, 2) << "file of " << file.size() << " bytes";
        EXPECT_NE(run.Output.find(CRC_Message), std::string::npos);
    }
}

TEST_F(Container, Every_Truncation_Of_A_Compressed_File_Is_Reported) {
    const T_Bytes original = Text_Like_Bytes(1000, 5);
    Write_File(Dir / "t.txt", original);
    ASSERT_EQ(Run_KYL(Dir.Path(), {"-c", "t.txt"}).Exit_Status, 0);
    const T_Bytes compressed = Read_File(Dir / "t.kyl");
    for (std::size_t length = 1; length < compressed.size(); ++length) {
        const T_Run_Result run = Expand(T_Bytes(compressed.begin(), compressed.begin() + long(length)));
        ASSERT_EQ(run.Exit_Status, 2) << "cut at " << length;
    }
    ASSERT_EQ(Expand(compressed).Exit_Status, 0);
    EXPECT_EQ(Read_File(Dir / "in.exp"), original);
}

TEST_F(Container, Block_Boundaries_Fall_Every_Block_Size_Bytes) {
    const T_Bytes full = Text_Like_Bytes(std::size_t(Block_Size) + 1, 9);
    Write_File(Dir / "one.txt", T_Bytes(full.begin(), full.end() - 1));
    Write_File(Dir / "two.txt", full);
    ASSERT_EQ(Run_KYL(Dir.Path(), {"-c", "*.txt"}).Exit_Status, 0);
    EXPECT_EQ(Block_Layout(Read_File(Dir / "one.kyl")).size(), 1u);
    const auto two = Block_Layout(Read_File(Dir / "two.kyl"));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].first, 12);
    EXPECT_EQ(two[1].first, 12);
    ASSERT_EQ(Run_KYL(Dir.Path(), {"-e", "*.kyl"}).Exit_Status, 0);
    EXPECT_EQ(Read_File(Dir / "two.exp"), full);
    EXPECT_EQ(Read_File(Dir / "one.exp").size(), std::size_t(Block_Size));
}

// Platform failures injected at chosen points into the files a controller
// opens.
class Injected_Failure : public ::testing::Test {
protected:
    void SetUp() override {
        Original = Text_Like_Bytes(200000, 11);
        Write_File(Dir / "in.txt", Original);
        Controller.Compress_File(Dir / "in.txt", Dir / "in.kyl", 1);
        Compressed = Read_File(Dir / "in.kyl");
        T_KYL_Test_Seam::Install_Faults(Controller, &Faults);
    }

    // Runs `pass` with the fault plan armed and checks that it failed with a
    // platform error naming `file`, the inputs unharmed.
    template <class T_Pass>
    void Expect_Platform_Failure(T_Pass pass, const std::string& file) {
        try {
            pass();
            ADD_FAILURE() << "no failure reached the caller";
        } catch (const T_KYL_Platform_Error& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("cannot ", 0), 0u) << message;
            EXPECT_NE(message.find("\"" + file + "\""), std::string::npos) << message;
        }
        Faults = T_KYL_Fault_Plan{};
        EXPECT_EQ(Read_File(Dir / "in.txt"), Original);
        EXPECT_EQ(Read_File(Dir / "in.kyl"), Compressed);
    }
    void Compress_To(const std::string& output) { Controller.Compress_File(Dir / "in.txt", output, 1); }
    void Expand_To(const std::string& output) { Controller.Expand_File(Dir / "in.kyl", output); }

    T_Temp_Dir Dir;
    T_KYL_File_Codec Controller;
    T_KYL_Fault_Plan Faults;
    T_Bytes Original;
    T_Bytes Compressed;
};

TEST_F(Injected_Failure, A_Failed_Read_Is_Never_Taken_For_The_End_Of_File) {
    for (const std::int64_t after : {0, 1000, 150000}) {
        Faults.Read_Fails_After = after;
        Expect_Platform_Failure([&] { Compress_To(Dir / "in.out"); }, Dir / "in.txt");
        Faults.Read_Fails_After = after;
        Expect_Platform_Failure([&] { Expand_To(Dir / "in.exp"); }, Dir / "in.kyl");
    }
}

TEST_F(Injected_Failure, A_Failed_Or_Short_Write_Is_An_Error) {
    for (const std::int64_t after : {0, 5, 20000}) {
        Faults.Write_Fails_After = after;
        Expect_Platform_Failure([&] { Compress_To(Dir / "in.out"); }, Dir / "in.out");
        Faults.Write_Short_After = after;
        Expect_Platform_Failure([&] { Compress_To(Dir / "in.out"); }, Dir / "in.out");
        Faults.Write_Short_After = after;
        Expect_Platform_Failure([&] { Expand_To(Dir / "in.exp"); }, Dir / "in.exp");
    }
}

}  // namespace

namespace {

// Drives the controller in this process.
class Controller_Run : public ::testing::Test {
protected:
    T_Temp_Dir Dir;
    T_KYL_File_Codec Controller;
};

// A block whose coded payload would not fit its buffer is written as it came
// behind a 6-byte header, and expands like any other.
TEST_F(Controller_Run, A_Payload_That_Does_Not_Fit_Is_Stored_Raw) {
    T_Bytes original = Text_Like_Bytes(std::size_t(Block_Size) + 5000, 31);
    Write_File(Dir / "in.txt", original);
    T_KYL_Test_Seam::Payload_Capacity(T_KYL_Test_Seam::Coder(T_KYL_Test_Seam::Block_Codec(Controller))) =
        4000;  // the second block's payload fits, the first's does not
    Controller.Compress_File(Dir / "in.txt", Dir / "in.kyl", 1);
    T_KYL_Test_Seam::Payload_Capacity(T_KYL_Test_Seam::Coder(T_KYL_Test_Seam::Block_Codec(Controller))) = Read_Ahead;
    const T_Bytes compressed = Read_File(Dir / "in.kyl");
    ASSERT_GT(compressed.size(), std::size_t(Block_Size) + 6);
    EXPECT_EQ(compressed[0], 6);
    EXPECT_EQ(compressed[1], 0x00);
    const std::uint32_t crc = CRC_Of(T_Bytes(original.begin(), original.begin() + Block_Size));
    EXPECT_EQ(T_Bytes(compressed.begin() + 2, compressed.begin() + 6),
              T_Bytes({std::uint8_t(crc), std::uint8_t(crc >> 8), std::uint8_t(crc >> 16), std::uint8_t(crc >> 24)}));
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + Block_Size, compressed.begin() + 6));
    EXPECT_EQ(compressed[6 + std::size_t(Block_Size)], 12);
    EXPECT_EQ(compressed[7 + std::size_t(Block_Size)], 0x01);
    Controller.Expand_File(Dir / "in.kyl", Dir / "in.exp");
    EXPECT_EQ(Read_File(Dir / "in.exp"), original);
}

// Flag bit 1 selects the other blend of the mantissa context model: a block
// with long runs either still expands to its original or fails cleanly.
TEST_F(Controller_Run, The_Variant_Flag_Changes_The_Blend_And_Nothing_Breaks) {
    T_Bytes original;
    for (int i = 0; i < 400; ++i) original.insert(original.end(), std::size_t(20 + (i * 7919) % 3000), std::uint8_t(i % 7));
    Write_File(Dir / "runs.bin", original);
    Controller.Compress_File(Dir / "runs.bin", Dir / "runs.kyl", 1);
    T_Bytes flipped = Read_File(Dir / "runs.kyl");
    flipped[1] |= 0x02;
    Write_File(Dir / "variant.kyl", flipped);
    // These mantissas are many and long: the other blend cannot decode them
    // all alike, and the damage is reported for the file's only block.
    try {
        Controller.Expand_File(Dir / "variant.kyl", Dir / "variant.exp");
        ADD_FAILURE() << "the other blend expanded the block";
    } catch (const T_KYL_Damaged_Block& damage) {
        EXPECT_EQ(damage.Block_Index(), 0);
    }
}

// A real full file system, where one can be mounted (root, a tmpfs).
TEST(Full_Disk, Writing_To_A_Full_File_System_Is_An_Error) {
    T_Temp_Dir dir;
    const std::string mount = "mount -t tmpfs -o size=64k kyl-test '" + dir.Path().string() + "' 2>/dev/null";
    if (::geteuid() != 0 || std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount a small tmpfs here";
    const T_Bytes original = Random_Bytes(40000, 41);
    Write_File(dir / "r.bin", original);
    const T_Run_Result run = Run_KYL(dir.Path(), {"-c", "r.bin"});
    const T_Bytes input_after = Read_File(dir / "r.bin");
    std::system(("umount '" + dir.Path().string() + "'").c_str());
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("Error: cannot write \"r.kyl\": No space left on device"), std::string::npos) << run.Output;
    EXPECT_EQ(input_after, original);
}

}  // namespace
