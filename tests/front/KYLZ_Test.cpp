// SPDX-License-Identifier: MIT
// kylz run for real, through the shell, the way people use it: tar, pipes,
// several files, tests, listings, signals and a full disk.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "KYL_Test_Seam.h"
#include "KYL_Test_Support.h"
#include "front/kylz/KYLZ_Job_Unit.h"

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
    // Input that ends inside a block is damage too, and says so.
    compressed[compressed.size() / 2] ^= 0x04;
    compressed.pop_back();
    Write_File(dir / "d.txt.kyl", compressed);
    const T_Run_Result cut = Run_Shell(dir.Path(), "kylz -t d.txt.kyl");
    EXPECT_EQ(cut.Exit_Status, 2);
    EXPECT_NE(cut.Output.find("kylz: d.txt.kyl: unexpected end of input"), std::string::npos) << cut.Output;
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

// A hang-up that was ignored when the program started (nohup, trap '' HUP)
// stays ignored, in kylz and in kyl alike: sent while the workers
// compress, it changes neither the status nor the output.
TEST(KYLZ, An_Ignored_Hang_Up_Lets_kylz_And_kyl_Finish) {
    T_Temp_Dir dir;
    Write_File(dir / "big.bin", Text_Like_Bytes(2 * Block, 10));
    const T_Run_Result run = Run_Shell(
        dir.Path(), "trap '' HUP; hang_up() { \"$@\" >/dev/null & pid=$!; "
                    "until ls -A | grep -q '^\\.big\\.'; do sleep 0.01; done; kill -HUP $pid; wait $pid; "
                    "echo \"$1 status=$?\"; }; "
                    "hang_up kylz -T2 big.bin; hang_up kyl -c big.bin --threads=2; "
                    "cmp big.kyl big.bin.kyl && kylz -dc big.kyl | cmp - big.bin && echo whole");
    EXPECT_EQ(run.Output, "kylz status=0\nkyl status=0\nwhole\n");
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

// The forms scripts pass to every compressor: a value as the next argument,
// abbreviations, and the levels, which change nothing.
TEST(KYLZ, Takes_Options_As_Scripts_Pass_Them) {
    T_Temp_Dir dir;
    Write_File(dir / "f", Text_Like_Bytes(20000, 11));
    const T_Run_Result run =
        Run_Shell(dir.Path(), "kylz -c f > plain && for o in '--threads 2' --thr=2 -9 --best; do "
                              "kylz $o -c f | cmp - plain || echo \"$o differs\"; done; "
                              "rm plain; kylz --ver f; echo status=$?");
    EXPECT_EQ(run.Output, "kylz: option --ver is ambiguous (--verbose, --version)\n"
                          "Try 'kylz --help' for more information.\nstatus=1\n");
    EXPECT_EQ(Names_In(dir.Path()), std::vector<std::string>{"f"});
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

// ------------------------------------------------------------------------
// The guards around the user's files, standard output and the terminal.

// Runs `command` with /bin/sh in `directory` as Run_Shell does, but on a
// pseudo-terminal `columns` wide that is standard input, output and error;
// `typed` is typed at it first.  A raw terminal passes the bytes written as
// they are; a cooked one ends input at Ctrl-D.
T_Run_Result Run_In_Terminal(const std::string& directory, const std::string& command, unsigned short columns,
                             bool raw, const std::string& typed = "") {
    const std::string programs = fs::path(KYL_BINARY).parent_path().string();
    const std::string line = "cd '" + directory + "' && PATH='" + programs + "':\"$PATH\" LC_ALL=C; export PATH LC_ALL; " +
                             command;
    struct winsize size {};
    size.ws_row = 24;
    size.ws_col = columns;
    struct termios modes {};
    cfmakeraw(&modes);
    int terminal = -1;
    const pid_t child = ::forkpty(&terminal, nullptr, raw ? &modes : nullptr, &size);
    if (child < 0) throw std::runtime_error("forkpty");
    if (child == 0) {
        ::alarm(300);
        ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (!typed.empty() && ::write(terminal, typed.data(), typed.size()) != ssize_t(typed.size()))
        throw std::runtime_error("write to the terminal");
    T_Run_Result result;
    char chunk[4096];
    for (ssize_t got; (got = ::read(terminal, chunk, sizeof chunk)) != 0;) {
        if (got > 0) result.Output.append(chunk, std::size_t(got));
        else if (errno != EINTR) break;  // EIO: every writer has closed the terminal
    }
    ::close(terminal);
    result.Exit_Status = Wait_KYL(child);
    return result;
}

// The name is replaced by another file, or the file is written to, after
// its output is in place and before it is removed: it stays, with a warning.
TEST(KYLZ_Guards, Rm_Keeps_An_Input_That_Changed_Before_Its_Removal) {
    T_Temp_Dir dir;
    const T_Bytes original = Text_Like_Bytes(20000, 10);
    const T_Bytes newer = Text_Like_Bytes(30000, 11);
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> changes = {
        {"replaced", [&](const std::string& name) {
             Write_File(dir / "new", newer);
             fs::rename(dir / "new", name);
         }},
        {"appended", [&](const std::string& name) { std::ofstream(name, std::ios::app) << "more"; }}};
    for (const auto& [change, apply] : changes) {
        Write_File(dir / change, original);
        T_KYLZ_Options options;
        options.Remove_Inputs = true;
        options.Threads = 1;
        T_KYLZ_Jobs jobs(options);
        T_KYL_Test_Seam::Before_Removal(jobs) = apply;
        testing::internal::CaptureStderr();
        jobs.Process(dir / change);
        const int status = jobs.Finish();
        const std::string messages = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 1) << change;
        EXPECT_EQ(messages, "kylz: " + (dir / change) + ": file changed while it was compressed, not removed\n");
        ASSERT_TRUE(fs::exists(dir / change)) << change;
        EXPECT_NE(Read_File(dir / change), original) << change;
        Write_File(dir / "orig", original);
        EXPECT_EQ(Run_Shell(dir.Path(), "kylz -dc " + change + ".kyl | cmp - orig").Exit_Status, 0) << change;
    }
}

// Without -f: a link named as input (its output would stand beside the
// link) and, with --rm, a file with other names.  Reading one to standard
// output is harmless and goes ahead.
TEST(KYLZ_Guards, Refuses_Links_And_Linked_Files_Unless_Forced) {
    T_Temp_Dir dir;
    Write_File(dir / "a", Text_Like_Bytes(5000, 12));
    fs::create_symlink("a", dir / "l");
    fs::create_hard_link(dir / "a", dir / "h");
    T_Run_Result run = Run_Shell(dir.Path(), "kylz l; echo status=$?; kylz --rm h; echo status=$?");
    EXPECT_EQ(run.Output, "kylz: l: is a symbolic link -- skipped\nstatus=1\n"
                          "kylz: h has 1 other link -- skipped\nstatus=1\n");
    EXPECT_EQ(Names_In(dir.Path()), (std::vector<std::string>{"a", "h", "l"}));
    run = Run_Shell(dir.Path(), "kylz -c l | kylz -d | cmp - a && kylz -f l && kylz -f --rm h && test ! -e h");
    EXPECT_EQ(run.Exit_Status, 0) << run.Output;
}

TEST(KYLZ_Guards, A_Failed_Write_To_Standard_Output_Is_Status_1) {
    T_Temp_Dir dir;
    Write_File(dir / "x", "data");
    ASSERT_EQ(Run_Shell(dir.Path(), "kylz x").Exit_Status, 0);
    for (const char* command : {"kylz -l x.kyl > /dev/full", "kylz -V >&-", "kylz -h > /dev/full"}) {
        const T_Run_Result run = Run_Shell(dir.Path(), command);
        EXPECT_EQ(run.Exit_Status, 1) << command;
        EXPECT_NE(run.Output.find("kylz: cannot write \"(stdout)\": "), std::string::npos) << command << run.Output;
    }
}

// A MiB of zeros compresses over 10,000 to 1: its ratio still stands in
// its column, under its heading.
TEST(KYLZ_Guards, Listing_Columns_Hold_Every_Value) {
    T_Temp_Dir dir;
    Write_File(dir / "zeros", T_Bytes(1 << 20, 0));
    const T_Run_Result run = Run_Shell(dir.Path(), "kylz zeros && kylz -l zeros.kyl");
    ASSERT_EQ(run.Exit_Status, 0) << run.Output;
    const std::size_t second_line = run.Output.find('\n') + 1;
    ASSERT_NE(run.Output.find("x ", second_line), std::string::npos) << run.Output;
    EXPECT_EQ(run.Output.find("o ") + 1, run.Output.find("x ", second_line) + 1 - second_line) << run.Output;
    EXPECT_EQ(run.Output.find("e  name"), run.Output.find("  zeros.kyl") - 1 - second_line) << run.Output;
}

// No message and the status of SIGPIPE, as for any program the pipe's
// reader leaves behind.
TEST(KYLZ_Guards, A_Reader_That_Leaves_Ends_It_As_SIGPIPE_Would) {
    T_Temp_Dir dir;
    Write_File(dir / "big", Text_Like_Bytes(3 * 1000 * 1000, 13));
    ASSERT_EQ(Run_Shell(dir.Path(), "kylz --rm big").Exit_Status, 0);
    const T_Run_Result run = Run_Shell(
        dir.Path(), "{ kylz -dc big.kyl 2>err; echo $? > status; } | head -c 10 > /dev/null; cat status err");
    EXPECT_EQ(run.Output, std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_EQ(Names_In(dir.Path()), (std::vector<std::string>{"big.kyl", "err", "status"}));
}

// Any name reads to standard output, into a test or a listing, from a file
// or a pipe; an output beside the input needs the suffix to make its name.
TEST(KYLZ_Guards, Only_An_Output_Beside_The_Input_Needs_The_Suffix) {
    T_Temp_Dir dir;
    Write_File(dir / "a", Text_Like_Bytes(5000, 14));
    fs::create_directory(dir / "d");
    const T_Run_Result run = Run_Shell(
        dir.Path(), "kylz -c a > packed && cp packed d/.kyl && kylz -dc packed | cmp - a && kylzcat packed | cmp - a && "
                    "kylz -t packed && kylz -l packed > /dev/null && "
                    "bash -c 'kylz -dc <(cat packed) | cmp - a && kylz -t <(cat packed)' && "
                    "{ kylz -d packed; kylz -d d/.kyl; echo status=$?; }");
    EXPECT_EQ(run.Output, "kylz: packed: unknown suffix -- ignored\nkylz: d/.kyl: unknown suffix -- ignored\nstatus=1\n");
    EXPECT_EQ(Names_In(dir.Path()), (std::vector<std::string>{"a", "d", "packed"}));
}

TEST(KYLZ_Guards, Refuses_Compressed_Input_From_A_Terminal) {
    T_Temp_Dir dir;
    for (const char* command : {"kylz -d > out", "kylz -t"}) {
        const T_Run_Result run = Run_In_Terminal(dir.Path(), command, 80, false, "\x04");
        EXPECT_EQ(run.Exit_Status, 1) << command;
        EXPECT_NE(run.Output.find("kylz: compressed data not read from a terminal. Use -f to force."),
                  std::string::npos)
            << run.Output;
    }
}

// A FIFO fed in two parts a second apart: the progress line is drawn, in
// fewer than 40 columns with the name cut in its middle, and erased before
// the report.
TEST(KYLZ_Guards, The_Progress_Line_Fits_The_Terminal_And_Makes_Way_For_Reports) {
    T_Temp_Dir dir;
    const std::string name = "a_fifo_with_a_name_far_longer_than_the_terminal";
    Write_File(dir / "data", Text_Like_Bytes(3 * 1000 * 1000, 15));
    ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0);
    const T_Run_Result run =
        Run_In_Terminal(dir.Path(), "(head -c 1500000 data; sleep 1; cat data) > " + name + " & kylz -cv " + name + " > out",
                        40, true);
    ASSERT_EQ(run.Exit_Status, 0) << run.Output;
    std::istringstream lines(run.Output);
    bool drawn = false, reported = false;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> parts;
        std::istringstream pieces(line);
        for (std::string part; std::getline(pieces, part, '\r');) parts.push_back(part);
        if (!line.empty() && line.back() == '\r') parts.emplace_back();
        // Every part but the last was overwritten at a carriage return: a
        // progress line or its erasure.
        for (std::size_t at = 0; at + 1 < parts.size(); ++at) {
            EXPECT_LT(parts[at].size(), 40u) << parts[at];
            drawn |= parts[at].find("...") != std::string::npos;
        }
        reported |= !parts.empty() && parts.back().rfind("kylz: " + name + ": ", 0) == 0;
    }
    EXPECT_TRUE(drawn) << run.Output;
    EXPECT_TRUE(reported) << run.Output;
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
