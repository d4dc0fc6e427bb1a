// SPDX-License-Identifier: MIT
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

// The memory figures read from the kernel's texts: MemAvailable in bytes,
// and the limit files of the memory cgroup and those above it, for a v1
// hierarchy beside an empty v2 tree and for a container's v2 tree mounted
// from its own cgroup (at a mount point with an escaped space).
TEST(KYL_Platform, Memory_Figures_From_The_Kernel_Texts) {
    EXPECT_EQ(KYL_Parse_Mem_Available("MemTotal:       24 kB\nMemAvailable:   2300 kB\nBuffers: 1 kB\n"),
              std::optional<std::uint64_t>(2300 * 1024));
    EXPECT_EQ(KYL_Parse_Mem_Available("MemTotal:       24 kB\n"), std::nullopt);

    const std::string hybrid_mounts =
        "30 25 0:26 / /sys/fs/cgroup/unified rw,nosuid - cgroup2 cgroup2 rw\n"
        "34 25 0:30 / /sys/fs/cgroup/cpu rw shared:9 - cgroup cgroup rw,cpu\n"
        "33 25 0:29 / /sys/fs/cgroup/memory rw shared:12 - cgroup cgroup rw,memory\n";
    EXPECT_EQ(KYL_Memory_Limit_Files("5:cpu:/a\n4:memory:/jobs/j1\n0::/\n", hybrid_mounts),
              (std::vector<std::string>{"/sys/fs/cgroup/memory/jobs/j1/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/memory/memory.limit_in_bytes",
                                        "/sys/fs/cgroup/unified/memory.max"}));
    const std::string container_mounts = "40 30 0:35 /box /sys/fs/my\\040cg rw - cgroup2 cgroup2 rw,nsdelegate\n";
    EXPECT_EQ(KYL_Memory_Limit_Files("0::/box/app\n", container_mounts),
              (std::vector<std::string>{"/sys/fs/my cg/app/memory.max", "/sys/fs/my cg/memory.max"}));
    EXPECT_TRUE(KYL_Memory_Limit_Files("0::/boxes/app\n", container_mounts).empty());
    EXPECT_TRUE(KYL_Memory_Limit_Files("0::/box/app\n", hybrid_mounts.substr(hybrid_mounts.find('\n') + 1)).empty());
}

}  // namespace
