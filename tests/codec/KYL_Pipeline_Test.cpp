// SPDX-License-Identifier: MIT
// Files on several threads: the bytes of one thread for every size and thread
// count, and the end of one thread when a block is damaged or a file fails.
#include <gtest/gtest.h>

#include <filesystem>

#include <sched.h>

#include "KYL_Test_Seam.h"
#include "KYL_Test_Support.h"
#include "codec/KYL_File_Unit.h"
#include "codec/KYL_Pipeline_Unit.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;

T_Bytes Prefix(const T_Bytes& bytes, std::size_t length) { return T_Bytes(bytes.begin(), bytes.begin() + long(length)); }

class Parallel_Files : public ::testing::Test {
protected:
    T_Bytes Compress(T_KYL_File_Codec& controller, const T_Bytes& original, std::uint8_t transform = 1) {
        Write_File(Dir / "in.txt", original);
        controller.Compress_File(Dir / "in.txt", Dir / "in.kyl", transform);
        return Read_File(Dir / "in.kyl");
    }
    T_Bytes Expand(T_KYL_File_Codec& controller, const T_Bytes& compressed) {
        Write_File(Dir / "in.kyl", compressed);
        controller.Expand_File(Dir / "in.kyl", Dir / "in.exp");
        return Read_File(Dir / "in.exp");
    }

    T_Temp_Dir Dir;
};

// The machine's memory as a test sets it, until the end of the scope.
class T_Available_Memory {
public:
    explicit T_Available_Memory(std::uint64_t bytes) { T_KYL_Test_Seam::Set_Available_Memory(bytes); }
    ~T_Available_Memory() { T_KYL_Test_Seam::Set_Available_Memory(0); }
    T_Available_Memory(const T_Available_Memory&) = delete;
    T_Available_Memory& operator=(const T_Available_Memory&) = delete;
};

// Sizes at and around the block boundary and three blocks of other kinds (a
// period of seven bytes, which sorts fast, text and noise), coded and stored.
// Each controller runs all files of its thread count, as a pass of kyl does.
TEST_F(Parallel_Files, Give_The_Bytes_Of_One_Thread_For_Every_Size_And_Thread_Count) {
    T_Bytes blocks;
    for (std::size_t i = 0; i < std::size_t(Block_Size); ++i) blocks.push_back(std::uint8_t("periodic"[i % 7]));
    const T_Bytes text = Text_Like_Bytes(std::size_t(Block_Size), 1), noise = Random_Bytes(100000, 2);
    blocks.insert(blocks.end(), text.begin(), text.end());
    blocks.insert(blocks.end(), noise.begin(), noise.end());
    const std::size_t full = std::size_t(Block_Size);
    const T_Bytes inputs[] = {{}, {'a'}, Prefix(blocks, full - 1), Prefix(blocks, full), Prefix(blocks, full + 1), blocks};

    T_KYL_File_Codec one_thread;
    std::vector<T_Bytes> expected;
    for (const T_Bytes& input : inputs) expected.push_back(Compress(one_thread, input));
    const T_Bytes stored = Compress(one_thread, blocks, 0);
    for (const unsigned threads : {2u, 3u, 8u}) {
        T_KYL_File_Codec controller(threads);
        for (std::size_t i = 0; i < std::size(inputs); ++i) {
            EXPECT_EQ(Compress(controller, inputs[i]), expected[i]) << threads << " threads, input " << i;
            EXPECT_EQ(Expand(controller, expected[i]), inputs[i]) << threads << " threads, input " << i;
        }
        EXPECT_EQ(Compress(controller, blocks, 0), stored) << threads << " threads";
        EXPECT_EQ(Expand(controller, stored), blocks) << threads << " threads";
    }
}

// A read that fails in the second block, or a write that fails on the first
// record while the next blocks are in work, ends the call with the platform
// error and no output; the controller's next file is whole.
TEST_F(Parallel_Files, A_Failing_File_Stops_The_Workers_And_The_Next_File_Is_Whole) {
    Write_File(Dir / "in.txt", Random_Bytes(2 * std::size_t(Block_Size) + 3000, 4));
    const std::string output = Dir / "out.kyl";
    T_KYL_File_Codec controller(3);
    T_KYL_Fault_Plan faults;
    T_KYL_Test_Seam::Install_Faults(controller, &faults);
    faults.Read_Fails_After = std::int64_t(Block_Size) + 10;
    EXPECT_THROW(controller.Compress_File(Dir / "in.txt", output, 1), T_KYL_Platform_Error);
    EXPECT_FALSE(std::filesystem::exists(output));
    faults = T_KYL_Fault_Plan{};
    faults.Write_Fails_After = 100;  // records of noise are written straight through
    EXPECT_THROW(controller.Compress_File(Dir / "in.txt", output, 1), T_KYL_Platform_Error);
    EXPECT_FALSE(std::filesystem::exists(output));
    faults = T_KYL_Fault_Plan{};
    const T_Bytes next = Text_Like_Bytes(3000, 5);
    EXPECT_EQ(Expand(controller, Compress(controller, next)), next);
}

// A CRC-32 mismatch in the second of three blocks: the first block is kept, the
// message and status are those of one thread, and no summary follows.
TEST_F(Parallel_Files, A_Damaged_Middle_Block_Keeps_The_Blocks_Before_It) {
    const T_Bytes original = Text_Like_Bytes(2 * std::size_t(Block_Size) + 5000, 3);
    T_KYL_File_Codec controller;
    T_Bytes damaged = Compress(controller, original);
    const std::size_t second = 12 + (damaged[9] | damaged[10] << 8 | damaged[11] << 16);
    damaged[second + 2] ^= 0x40;  // its CRC-32
    Write_File(Dir / "d.kyl", damaged);
    const T_Run_Result run = Run_KYL(Dir.Path(), {"--threads=3", "-e", "d.kyl"});
    EXPECT_EQ(run.Exit_Status, 2);
    EXPECT_NE(run.Output.find("\r\nCRC is not valid. Program execution terminated!\r\n"), std::string::npos);
    EXPECT_EQ(run.Output.find("Number of files"), std::string::npos);
    EXPECT_EQ(Read_File(Dir / "d.exp"), Prefix(original, std::size_t(Block_Size)));
}

// Asked for 64 threads with 400 MB available, the budget of 200 MB holds
// three workers of 60 MB, however many blocks wait; with less than one
// worker's memory, the calling thread codes alone.
TEST_F(Parallel_Files, Start_No_More_Workers_Than_Half_The_Available_Memory_Holds) {
    const T_Bytes zeros(std::size_t(Block_Size), 0);
    T_KYL_File_Codec one_thread;
    const T_Bytes record = Compress(one_thread, zeros);
    T_Bytes records, expected;
    for (int block = 0; block < 6; ++block) {
        records.insert(records.end(), record.begin(), record.end());
        expected.insert(expected.end(), zeros.begin(), zeros.end());
    }
    const T_Available_Memory available(400'000'000);
    EXPECT_EQ(T_KYL_Pipeline::Thread_Count(64), 3u);
    T_KYL_File_Codec controller(64);
    EXPECT_EQ(Expand(controller, records), expected);
    EXPECT_GE(T_KYL_Test_Seam::Workers_Started(controller), 1u);
    EXPECT_LE(T_KYL_Test_Seam::Workers_Started(controller), 3u);
    T_KYL_Test_Seam::Set_Available_Memory(100'000'000);
    EXPECT_EQ(T_KYL_Pipeline::Thread_Count(64), 1u);
}

// By default, one thread per core of the affinity mask, not of the machine.
TEST(Pipeline_Threads, Default_To_The_Cores_Of_The_Affinity_Mask) {
    const T_Available_Memory available(std::uint64_t(1) << 50);
    cpu_set_t all;
    ASSERT_EQ(::sched_getaffinity(0, sizeof all, &all), 0);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int core = 0; core < CPU_SETSIZE; ++core)
        if (CPU_ISSET(core, &all)) {
            CPU_SET(core, &one);
            break;
        }
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    const unsigned under_one_core = T_KYL_Pipeline::Thread_Count(0);
    ASSERT_EQ(::sched_setaffinity(0, sizeof all, &all), 0);
    EXPECT_EQ(under_one_core, 1u);
    EXPECT_EQ(T_KYL_Pipeline::Thread_Count(0), unsigned(CPU_COUNT(&all)));
}

}  // namespace
