#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "KYL_Test_Support.h"
#include "platform/KYL_Platform.h"

namespace {

using namespace kyl_test;

// Sizes and positions are 64-bit: a sparse file of 5 GiB reports its size
// and can be read at its far end.
TEST(KYL_Platform, Sizes_And_Positions_Beyond_Four_GiB) {
    T_Temp_Dir dir;
    const std::string name = dir / "sparse";
    const std::int64_t size = std::int64_t(5) << 30;
    const int handle = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(handle, 0);
    const bool sized = ::ftruncate(handle, off_t(size)) == 0;
    ::close(handle);
    if (!sized) GTEST_SKIP() << "this file system cannot hold a sparse 5 GiB file";
    EXPECT_EQ(KYL_File_Size(name), size);
    T_KYL_Input_File input(name);
    input.Seek(size - 3);
    std::uint8_t bytes[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(input.Read(bytes, sizeof bytes), 3u);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(KYL_File_Size(dir / "missing"), -1);
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
