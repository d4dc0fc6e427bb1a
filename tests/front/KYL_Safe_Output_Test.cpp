// SPDX-License-Identifier: MIT
// The real program never loses a user's file: outputs appear whole or not
// at all, links and collisions cannot redirect them, and the exit status
// tells a script what happened.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "KYL_Test_Support.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

TEST(KYL_Safe_Outputs, Links_At_The_Output_Name_Are_Replaced_Never_Written_Through) {
    T_Temp_Dir dir;
    const T_Bytes victim = {'k', 'e', 'e', 'p'};
    Write_File(dir / "victim.txt", victim);
    for (const char* name : {"s.txt", "h.txt", "d.txt"}) Write_File(dir / name, Text_Like_Bytes(3000, 1));
    fs::create_symlink("victim.txt", dir / "s.kyl");
    fs::create_hard_link(dir / "victim.txt", dir / "h.kyl");
    fs::create_symlink("sub/made.txt", dir / "d.kyl");  // dangling: its target must not appear
    fs::create_directory(dir / "sub");
    for (const char* name : {"s.txt", "h.txt", "d.txt"}) ASSERT_EQ(Run_KYL(dir.Path(), {"-c", name}).Exit_Status, 0);
    EXPECT_EQ(Read_File(dir / "victim.txt"), victim);
    EXPECT_FALSE(fs::exists(dir / "sub/made.txt"));
    for (const char* name : {"s.kyl", "h.kyl", "d.kyl"}) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / name))) << name;
        EXPECT_EQ(fs::hard_link_count(dir / name), 1u) << name;
    }
    ASSERT_EQ(Run_KYL(dir.Path(), {"-e", "h.kyl"}).Exit_Status, 0);
    EXPECT_EQ(Read_File(dir / "h.exp"), Read_File(dir / "h.txt"));
}

TEST(KYL_Safe_Outputs, A_Damaged_Input_Leaves_An_Existing_Output_As_It_Was) {
    T_Temp_Dir dir;
    const T_Bytes report = Text_Like_Bytes(20000, 2);
    Write_File(dir / "report.txt", report);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "report.txt"}).Exit_Status, 0);
    T_Bytes compressed = Read_File(dir / "report.kyl");
    compressed[compressed.size() / 2] ^= 0x10;
    Write_File(dir / "report.kyl", compressed);
    const T_Run_Result run = Run_KYL(dir.Path(), {"-e", "report.kyl", "txt"});
    EXPECT_EQ(run.Exit_Status, 2);
    EXPECT_NE(run.Output.find("\r\nCRC is not valid. Program execution terminated!\r\n"), std::string::npos);
    EXPECT_EQ(Read_File(dir / "report.txt"), report);
    EXPECT_EQ(Names_In(dir.Path()), (std::vector<std::string>{"report.kyl", "report.txt"}));
}

// Two inputs that share an output, or an output that is another input of the
// same pass: the run ends before any file is written.
TEST(KYL_Safe_Outputs, Colliding_Outputs_End_The_Run_Before_Anything_Is_Written) {
    T_Temp_Dir dir;
    Write_File(dir / "a.dat", "first");
    Write_File(dir / "a.txt", "second");
    T_Run_Result run = Run_KYL(dir.Path(), {"-c", "a.*"});
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("\r\nError: cannot create \"a.kyl\": "), std::string::npos) << run.Output;
    EXPECT_EQ(Names_In(dir.Path()), (std::vector<std::string>{"a.dat", "a.txt"}));

    T_Temp_Dir other;
    Write_File(other / "x.a", "input");
    Write_File(other / "x.kyl", "the user's own file");
    run = Run_KYL(other.Path(), {"-c", "*"});
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("Error: cannot create \"x.kyl\": "), std::string::npos) << run.Output;
    EXPECT_EQ(Names_In(other.Path()), (std::vector<std::string>{"x.a", "x.kyl"}));
    const std::string kept = "the user's own file";
    EXPECT_EQ(Read_File(other / "x.kyl"), T_Bytes(kept.begin(), kept.end()));
}

// On one thread, and on three, a moment later, while the workers compress.
TEST(KYL_Safe_Outputs, An_Interrupt_Leaves_Neither_Output_Nor_Temporary_File) {
    T_Temp_Dir dir;
    Write_File(dir / "big.bin", Random_Bytes(3 * 5242880, 3));
    for (const char* threads : {"--threads=1", "--threads=3"}) {
        const pid_t child = Start_KYL(dir.Path(), {"-c", "big.bin", threads});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Names_In(dir.Path()).size() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(Names_In(dir.Path()).size(), 2u) << "no temporary output appeared";
        if (std::string(threads) != "--threads=1") std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::kill(child, SIGTERM);
        EXPECT_EQ(Wait_KYL(child), 128 + SIGTERM) << threads;
        EXPECT_EQ(Names_In(dir.Path()), std::vector<std::string>{"big.bin"}) << threads;
    }
}

TEST(KYL_Safe_Outputs, A_FIFO_At_The_Output_Name_Is_An_Error_Not_A_Hang) {
    T_Temp_Dir dir;
    Write_File(dir / "p.txt", "data");
    ASSERT_EQ(::mkfifo((dir / "p.kyl").c_str(), 0600), 0);
    const T_Run_Result run = Run_KYL(dir.Path(), {"-c", "p.txt"});
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("Error: cannot create \"p.kyl\": "), std::string::npos) << run.Output;
    EXPECT_TRUE(fs::is_fifo(dir / "p.kyl"));
}

TEST(KYL_Safe_Outputs, Outputs_Take_The_Mode_And_Time_Of_Their_Input) {
    T_Temp_Dir dir;
    Write_File(dir / "private.txt", Text_Like_Bytes(5000, 4));
    fs::permissions(dir / "private.txt", fs::perms::owner_read | fs::perms::owner_write);
    const auto old_time = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(dir / "private.txt", old_time);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "private.txt"}).Exit_Status, 0);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-e", "private.kyl"}).Exit_Status, 0);
    for (const char* name : {"private.kyl", "private.exp"}) {
        EXPECT_EQ(fs::status(dir / name).permissions(), fs::perms::owner_read | fs::perms::owner_write) << name;
        EXPECT_EQ(fs::last_write_time(dir / name), old_time) << name;
    }
}

// A compressed or expanded copy of a program or a shared folder's file is
// data: it never runs as its owner or group, nor keeps the sticky bit (kylz
// writes through the same output).
TEST(KYL_Safe_Outputs, Outputs_Never_Carry_Set_Id_Or_Sticky_Bits) {
    T_Temp_Dir dir;
    Write_File(dir / "tool.txt", Text_Like_Bytes(3000, 6));
    ASSERT_EQ(::chmod((dir / "tool.txt").c_str(), 07755), 0);
    struct stat input {};
    ASSERT_EQ(::stat((dir / "tool.txt").c_str(), &input), 0);
    ASSERT_NE(input.st_mode & 07000, 0u) << "the system keeps no special bit for this user";
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "tool.txt"}).Exit_Status, 0);
    ASSERT_EQ(Run_Shell(dir.Path(), "kylz tool.txt").Exit_Status, 0);
    for (const char* name : {"tool.kyl", "tool.txt.kyl"}) {
        struct stat output {};
        ASSERT_EQ(::stat((dir / name).c_str(), &output), 0) << name;
        EXPECT_EQ(output.st_mode & 07777, 0755u) << name;
    }
}

TEST(KYL_Safe_Outputs, Statuses_Tell_Missing_Names_From_Empty_Matches) {
    T_Temp_Dir dir;
    const std::vector<std::pair<std::vector<std::string>, int>> runs = {
        {{"-c", "missing.txt"}, 1}, {{"-c", "nofolder/*.txt"}, 1}, {{"-e", "none.kyl"}, 1}, {{"-c", "*.none"}, 0}};
    for (const auto& [arguments, status] : runs) {
        const T_Run_Result run = Run_KYL(dir.Path(), arguments);
        EXPECT_EQ(run.Exit_Status, status) << arguments[1];
        EXPECT_NE(run.Output.find("Number of files           :             0\r\n"), std::string::npos);
    }
}

TEST(KYL_Safe_Outputs, An_Extension_That_Leaves_The_Folder_Is_Refused) {
    T_Temp_Dir dir;
    fs::create_directories(dir / "in/plain.x");
    Write_File(dir / "in/plain", "data");
    const T_Run_Result run = Run_KYL((dir.Path() / "in").string(), {"-c", "plain", "x/../../escaped"});
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("Error: "), std::string::npos);
    EXPECT_EQ(Names_In(dir.Path()), std::vector<std::string>{"in"});
    EXPECT_EQ(Names_In(dir.Path() / "in"), (std::vector<std::string>{"plain", "plain.x"}));
}

TEST(KYL_Safe_Outputs, A_Reader_That_Leaves_Early_Does_Not_Stop_The_Batch) {
    T_Temp_Dir dir;
    for (const char* name : {"1.txt", "2.txt", "3.txt"}) Write_File(dir / name, Text_Like_Bytes(100000, 5));
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);  // nobody reads the report
    const pid_t child = Start_KYL(dir.Path(), {"-cv", "*.txt"}, pipe_ends[1]);
    ::close(pipe_ends[1]);
    EXPECT_EQ(Wait_KYL(child), 0);
    for (const char* name : {"1.kyl", "2.kyl", "3.kyl"}) EXPECT_TRUE(fs::exists(dir / name)) << name;
}

TEST(KYL_Safe_Outputs, Names_Beyond_ASCII_Match_Whatever_Their_Case) {
    T_Temp_Dir dir;
    Write_File(dir / "\xC3\xA4" "bc.txt", "umlaut");  // äbc.txt
    const T_Run_Result run = Run_KYL(dir.Path(), {"-cv", "\xC3\x84" "BC.TXT"}, {{"LC_ALL", "C.UTF-8"}});  // ÄBC.TXT
    EXPECT_EQ(run.Exit_Status, 0) << run.Output;
    EXPECT_NE(run.Output.find("Compressing \xC3\xA4" "bc.txt to \xC3\xA4" "bc.kyl\r\n"), std::string::npos)
        << run.Output;
}

}  // namespace
