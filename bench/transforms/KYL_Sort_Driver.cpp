// Runs the suffix sort once on one block of a file, for instruction counts
// under callgrind and for quick checks that the output did not change:
//
//   kyl_sort_driver FILE [OFFSET] [auto|ascending|descending|whole] [RUNS]
//   valgrind --tool=callgrind --toggle-collect='T_KYL_BWT::Encode*' kyl_sort_driver FILE
//
// Takes Block_Size bytes from OFFSET (fewer at the end of the file) and prints
// the block length, the mode used, whether the whole-block sort finished it,
// the primary index and an FNV-1a digest of the transformed bytes, and on
// the error stream the least processor time of RUNS Encodes (default 1; the first
// also pays for touching the block memory).

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "KYL_Block_Harness.h"
#include "KYL_Test_Seam.h"
#include "transforms/KYL_BWT_Unit.h"

// The calling thread's processor time: on a shared machine it leaves out
// the time the thread waits for a core.
static double Thread_Milliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [OFFSET] [auto|ascending|descending|whole] [RUNS]\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const std::size_t offset = argc > 2 ? std::min<std::size_t>(std::strtoull(argv[2], nullptr, 10), bytes.size()) : 0;
    const std::size_t length = std::min<std::size_t>(bytes.size() - offset, Block_Size);

    T_KYL_Block_Harness controller;
    T_Block_Data& data = controller.Block_Data;
    T_KYL_BWT bwt;
    if (argc > 3) {
        const std::string mode = argv[3];
        if (mode == "ascending") T_KYL_Test_Seam::Forced_Mode(bwt) = T_KYL_BWT::T_Sort_Mode::Ascending;
        if (mode == "descending") T_KYL_Test_Seam::Forced_Mode(bwt) = T_KYL_BWT::T_Sort_Mode::Descending;
        if (mode == "whole") T_KYL_Test_Seam::Force_Whole_Block_Sort(bwt) = true;
    }
    if (length > 0) std::memcpy(data.Source->Data, bytes.data() + offset, length);
    data.Source->Len = std::int32_t(length);
    data.Header->Len = 0;
    const int runs = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    double fastest = 0;
    for (int run = 0; run < runs; ++run) {
        // Encode changes only the guard byte and the zeros around the block.
        data.Header->Len = 0;
        const double start = Thread_Milliseconds();
        bwt.Encode(data);
        const double took = Thread_Milliseconds() - start;
        if (run == 0 || took < fastest) fastest = took;
    }

    std::uint64_t digest = 14695981039346656037u;
    for (std::int32_t k = 0; k < data.Target->Len; ++k) digest = (digest ^ data.Target->Data[k]) * 1099511628211u;
    std::printf("length %zu mode %s whole %d primary %d digest %016llx\n", length,
                T_KYL_Test_Seam::Used_Mode(bwt) == T_KYL_BWT::T_Sort_Mode::Ascending ? "ascending" : "descending",
                int(T_KYL_Test_Seam::Used_Whole_Block_Sort(bwt)), bwt.Primary_Index, static_cast<unsigned long long>(digest));
    std::fprintf(stderr, "%.1f ms\n", fastest);
    return 0;
}
