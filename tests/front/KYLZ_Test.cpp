// kylz run for real, through the shell, the way people use it: tar, pipes,
// several files, tests, listings, signals and a full disk.
#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

#include "KYL_Test_Support.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::size_t Block = 5242880;

// A small tree: text, binary, an empty file and a nested folder.
void Make_Tree(const T_Temp_Dir& dir) {
    fs::create_directories(dir / "tree/sub/deeper");
    Write_File(dir / "tree/a.txt", Text_Like_Bytes(30000, 1));
    Write_File(dir / "tree/sub/b.bin", Random_Bytes(20000, 2));
    Write_File(dir / "tree/sub/deeper/empty", "");
}

TEST(KYLZ, Tar_Packs_And_Unpacks_Through_It) {
    T_Temp_Dir dir;
    Make_Tree(dir);
    const T_Run_Result run = Run_Shell(dir.Path(), "tar -I kylz -cf x.tar.kyl tree && mkdir out && "
                                                   "tar -I kylz -xf x.tar.kyl -C out && diff -r tree out/tree && "
                                                   "kylz -dc x.tar.kyl | tar t | sort");
    ASSERT_EQ(run.Exit_Status, 0) << run.Output;
    EXPECT_NE(run.Output.find("tree/sub/deeper/empty\n"), std::string::npos) << run.Output;
}

// The same bytes as kyl -c, whatever the thread count, through files and
// pipes alike; concatenated streams expand to the concatenation.
TEST(KYLZ, Writes_The_Bytes_Of_kyl_Through_Files_And_Pipes) {
    T_Temp_Dir dir;
    Write_File(dir / "big.txt", Text_Like_Bytes(Block + 1000, 3));
    Write_File(dir / "small.txt", "small");
    const T_Run_Result run = Run_Shell(
        dir.Path(),
        "kyl -c big.txt >/dev/null && kylz -T1 -c big.txt > t1.kyl && kylz -T2 < big.txt > t2.kyl && "
        "kylz -k big.txt && cmp big.kyl t1.kyl && cmp big.kyl t2.kyl && cmp big.kyl big.txt.kyl && "
        "kylz -c small.txt > small.kyl && cat big.kyl small.kyl | kylz -d > joined && "
        "cat big.txt small.txt | cmp - joined && test -f big.txt");
    EXPECT_EQ(run.Exit_Status, 0) << run.Output;
}

TEST(KYLZ, Damage_Is_Status_2_And_Leaves_Nothing_Behind) {
    T_Temp_Dir dir;
    Write_File(dir / "d.txt", Text_Like_Bytes(50000, 4));
    ASSERT_EQ(Run_Shell(dir.Path(), "kylz d.txt && rm d.txt").Exit_Status, 0);
    T_Bytes compressed = Read_File(dir / "d.txt.kyl");
    compressed[compressed.size() / 2] ^= 0x04;
    Write_File(dir / "d.txt.kyl", compressed);
    for (const char* command : {"kylz -t d.txt.kyl", "kylz -d --rm d.txt.kyl", "kylz -l d.txt.kyl"}) {
        const T_Run_Result run = Run_Shell(dir.Path(), command);
        EXPECT_EQ(run.Exit_Status, 2) << command;
        EXPECT_NE(run.Output.find("kylz: d.txt.kyl: damaged compressed data"), std::string::npos) << run.Output;
        EXPECT_EQ(Names_In(dir.Path()), std::vector<std::string>{"d.txt.kyl"}) << command;
    }
}

// An existing output (a link included) is skipped unless forced; forcing
// replaces the entry and never writes through it.  --rm waits for success.
TEST(KYLZ, Existing_Outputs_Are_Kept_Unless_Forced) {
    T_Temp_Dir dir;
    Write_File(dir / "victim", "keep me");
    Write_File(dir / "a", Text_Like_Bytes(10000, 5));
    fs::create_symlink("victim", dir / "a.kyl");
    T_Run_Result run = Run_Shell(dir.Path(), "kylz --rm a");
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("kylz: a.kyl already exists"), std::string::npos) << run.Output;
    EXPECT_TRUE(fs::is_symlink(dir / "a.kyl"));
    EXPECT_TRUE(fs::exists(dir / "a"));
    run = Run_Shell(dir.Path(), "kylz -f --rm a && test ! -e a && kylz -d a.kyl");
    EXPECT_EQ(run.Exit_Status, 0) << run.Output;
    EXPECT_EQ(Read_File(dir / "victim"), T_Bytes({'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_FALSE(fs::is_symlink(dir / "a.kyl"));
    EXPECT_EQ(Read_File(dir / "a"), Text_Like_Bytes(10000, 5));
}

TEST(KYLZ, Outputs_Keep_Mode_And_Time) {
    T_Temp_Dir dir;
    Write_File(dir / "p", Text_Like_Bytes(1000, 6));
    const T_Run_Result run =
        Run_Shell(dir.Path(), "chmod 640 p && touch -d '2001-02-03 04:05:06' p && kylz p && mv p orig && "
                              "kylz -d p.kyl && stat -c '%a %Y' p.kyl p orig");
    ASSERT_EQ(run.Exit_Status, 0) << run.Output;
    EXPECT_EQ(run.Output, "640 981173106\n640 981173106\n640 981173106\n");
}

TEST(KYLZ, An_Interrupt_Leaves_Neither_Output_Nor_Temporary_File) {
    T_Temp_Dir dir;
    Write_File(dir / "big.bin", Random_Bytes(3 * Block, 7));
    const T_Run_Result run = Run_Shell(
        dir.Path(), "kylz -T1 big.bin & pid=$!; "
                    "while [ $(ls -A | wc -l) -lt 2 ]; do sleep 0.01; done; kill -TERM $pid; wait $pid; echo status=$?");
    EXPECT_NE(run.Output.find("status=" + std::to_string(128 + 15) + "\n"), std::string::npos) << run.Output;
    EXPECT_EQ(Names_In(dir.Path()), std::vector<std::string>{"big.bin"});
}

TEST(KYLZ, A_Full_Disk_Is_An_Error_That_Leaves_No_Output) {
    T_Temp_Dir dir;
    const std::string mount = "mount -t tmpfs -o size=64k kylz-test '" + dir.Path().string() + "' 2>/dev/null";
    if (::geteuid() != 0 || std::system(mount.c_str()) != 0) GTEST_SKIP() << "cannot mount a small tmpfs here";
    Write_File(dir / "r.bin", Random_Bytes(40000, 8));
    const T_Run_Result run = Run_Shell(dir.Path(), "kylz --rm r.bin");
    const std::vector<std::string> names = Names_In(dir.Path());
    std::system(("umount '" + dir.Path().string() + "'").c_str());
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("No space left on device"), std::string::npos) << run.Output;
    EXPECT_EQ(names, std::vector<std::string>{"r.bin"});
}

TEST(KYLZ, Walks_A_Tree_And_Lists_What_It_Made) {
    T_Temp_Dir dir;
    Make_Tree(dir);
    Write_File(dir / "two", Text_Like_Bytes(Block + 1, 9));
    const T_Run_Result run = Run_Shell(dir.Path(), "cp -r tree copy && kylz -r --rm tree && find tree -type f | sort && "
                                                   "kylz two && kylz -l two.kyl tree/a.txt.kyl && "
                                                   "kylz -dr --rm tree && diff -r tree copy");
    ASSERT_EQ(run.Exit_Status, 0) << run.Output;
    EXPECT_NE(run.Output.find("tree/a.txt.kyl\ntree/sub/b.bin.kyl\ntree/sub/deeper/empty.kyl\n"), std::string::npos)
        << run.Output;
    // Two blocks of the larger file; the total line sums both files.
    EXPECT_NE(run.Output.find("       2 "), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find(std::to_string(Block + 1 + 30000) + " "), std::string::npos) << run.Output;
}

TEST(KYLZ, Refuses_What_It_Cannot_Do_Safely) {
    T_Temp_Dir dir;
    Write_File(dir / "plain", "x");
    const std::vector<std::pair<std::string, int>> runs = {
        {"kylz -d plain", 1},                        // no .kyl suffix
        {"kylz missing", 1},                         // no such file
        {"kylz --bogus plain", 1},                   // unknown option
        {"kylz -T plain", 1},                        // -T needs a number
        {"kylz missing plain", 1}};                  // the rest is still processed
    for (const auto& [command, status] : runs) {
        const T_Run_Result run = Run_Shell(dir.Path(), command);
        EXPECT_EQ(run.Exit_Status, status) << command << "\n" << run.Output;
        EXPECT_NE(run.Output.find("kylz: "), std::string::npos) << command;
    }
    EXPECT_EQ(Names_In(dir.Path()), (std::vector<std::string>{"plain", "plain.kyl"}));
}

// Threads that the memory budget (or the most the library runs) does not
// hold are noted under -v, and the run goes on with those that fit.
TEST(KYLZ, Threads_Beyond_The_Budget_Are_Noted_Under_Verbose) {
    T_Temp_Dir dir;
    Write_File(dir / "a", Text_Like_Bytes(3000, 7));
    const T_Run_Result run = Run_Shell(dir.Path(), "kylz -v -T5000 a && kylz -t -T5000 a.kyl");
    EXPECT_EQ(run.Exit_Status, 0) << run.Output;
    EXPECT_NE(run.Output.find(" of the 5000 threads asked fit in memory (about 60 MB each) -- using "),
              std::string::npos)
        << run.Output;
    EXPECT_EQ(run.Output.find("threads asked", run.Output.find("threads asked") + 1), std::string::npos) << run.Output;
}

}  // namespace
