#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "KYL_Test_Support.h"
#include "platform/KYL_Platform.h"

namespace {

using namespace kyl_test;

// Sizes are 64-bit: a sparse file of 5 GiB reports its size.
TEST(KYL_Platform, Sizes_Beyond_Four_GiB) {
    T_Temp_Dir dir;
    const std::string name = dir / "sparse";
    const std::int64_t size = std::int64_t(5) << 30;
    const int handle = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(handle, 0);
    const bool sized = ::ftruncate(handle, off_t(size)) == 0;
    ::close(handle);
    if (!sized) GTEST_SKIP() << "this file system cannot hold a sparse 5 GiB file";
    EXPECT_EQ(KYL_File_Size(name), size);
    EXPECT_EQ(KYL_File_Size(dir / "missing"), -1);
}

// Small writes are gathered; what reaches the file is every byte in order,
// once Close has run.
TEST(KYL_Platform, Gathered_Writes_Reach_The_File_In_Order) {
    T_Temp_Dir dir;
    std::vector<std::uint8_t> expected;
    {
        T_KYL_Output_File output(dir / "out");
        for (std::size_t size : {std::size_t(1), T_KYL_Output_File::Gather_Size - 1, std::size_t(3),
                                 T_KYL_Output_File::Gather_Size * 2, std::size_t(5)}) {
            std::vector<std::uint8_t> piece(size, std::uint8_t(expected.size() % 251));
            output.Write(piece.data(), piece.size());
            expected.insert(expected.end(), piece.begin(), piece.end());
        }
        output.Commit({});
    }
    EXPECT_EQ(Read_File(dir / "out"), expected);
}

TEST(KYL_Platform, Listing_Matches_Wildcards_Whatever_The_Case) {
    T_Temp_Dir dir;
    for (const char* name : {"a.txt", "B.TXT", "c.txt.bak", "d", "e.t"}) Write_File(dir / name, "x");
    const std::string folder = dir.Path().string() + "/";
    EXPECT_EQ(KYL_List_Files(folder + "*.txt"), (std::vector<std::string>{folder + "B.TXT", folder + "a.txt"}));
    EXPECT_EQ(KYL_List_Files(folder + "?.t*").size(), 4u);  // a.txt, B.TXT, c.txt.bak, e.t
    EXPECT_EQ(KYL_List_Files(folder + "*.*").size(), 5u);  // names without a dot too
    EXPECT_EQ(KYL_List_Files(folder + "D"), std::vector<std::string>{folder + "d"});
    EXPECT_TRUE(KYL_List_Files(folder + "*.none").empty());
    EXPECT_TRUE(KYL_List_Files(dir / "no such folder/*").empty());
}

}  // namespace
