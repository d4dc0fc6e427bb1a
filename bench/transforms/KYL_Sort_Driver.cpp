// SPDX-License-Identifier: MIT
// Runs the suffix sort once on one block of a file, for instruction counts
// under callgrind and for quick checks that the output did not change:
//
//   kyl_sort_driver FILE [OFFSET] [auto|ascending|descending|whole] [RUNS] [parts|thread]
//   valgrind --tool=callgrind --toggle-collect='T_KYL_BWT::Encode*' kyl_sort_driver FILE
//
// Takes Block_Size bytes from OFFSET (fewer at the end of the file) and prints
// the block length, the mode used, whether the whole-block sort finished it,
// the primary index and an FNV-1a digest of the transformed bytes, and on
// the error stream the least processor time of RUNS Encodes (default 1; the first
// also pays for touching the block memory).  With `parts`, the sort hands out
// its parts as to lent threads, but runs them here one after the other and
// times them: the time two threads would take, each part on the first free
// one, is printed beside the total (processor times on a shared machine say
// more than wall times of two threads would).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
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

// Runs every part on the calling thread and keeps the schedule two threads
// would have followed: part k on whichever thread is free first.
class T_Timed_Parts final : public T_KYL_Helpers {
public:
    void Run_Parts(int count, const std::function<void(int)>& part) override {
        double free_at[2] = {0, 0};
        const double begin = Thread_Milliseconds();
        for (int k = 0; k < count; ++k) {
            const double start = Thread_Milliseconds();
            part(k);
            const double took = Thread_Milliseconds() - start;
            double& first_free = free_at[0] <= free_at[1] ? free_at[0] : free_at[1];
            first_free += took;
        }
        In_Parts += Thread_Milliseconds() - begin;
        On_Two_Threads += std::max(free_at[0], free_at[1]);
    }
    double In_Parts = 0;
    double On_Two_Threads = 0;
};

// One more thread for the parts, started for each call: both take the next
// part that neither has begun.
class T_Second_Thread final : public T_KYL_Helpers {
public:
    void Run_Parts(int count, const std::function<void(int)>& part) override {
        std::atomic<int> next = 0;
        auto take_parts = [&] {
            for (int k = next++; k < count; k = next++) part(k);
        };
        std::thread other(take_parts);
        take_parts();
        other.join();
    }
};

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
    T_Timed_Parts timed_parts;
    T_Second_Thread second_thread;
    if (argc > 5 && std::string(argv[5]) == "parts") bwt.Helpers = &timed_parts;
    if (argc > 5 && std::string(argv[5]) == "thread") bwt.Helpers = &second_thread;
    double fastest = 0, fastest_on_two = 0, fastest_wall = 0;
    for (int run = 0; run < runs; ++run) {
        // Encode changes only the guard byte and the zeros around the block.
        data.Header->Len = 0;
        timed_parts.In_Parts = timed_parts.On_Two_Threads = 0;
        const double start = Thread_Milliseconds();
        const auto wall_start = std::chrono::steady_clock::now();
        bwt.Encode(data);
        const double took = Thread_Milliseconds() - start;
        const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - wall_start;
        if (run == 0 || wall.count() < fastest_wall) fastest_wall = wall.count();
        const double on_two = took - timed_parts.In_Parts + timed_parts.On_Two_Threads;
        if (run == 0 || took < fastest) fastest = took;
        if (run == 0 || on_two < fastest_on_two) fastest_on_two = on_two;
    }

    std::uint64_t digest = 14695981039346656037u;
    for (std::int32_t k = 0; k < data.Target->Len; ++k) digest = (digest ^ data.Target->Data[k]) * 1099511628211u;
    std::printf("length %zu mode %s whole %d primary %d digest %016llx\n", length,
                T_KYL_Test_Seam::Used_Mode(bwt) == T_KYL_BWT::T_Sort_Mode::Ascending ? "ascending" : "descending",
                int(T_KYL_Test_Seam::Used_Whole_Block_Sort(bwt)), bwt.Primary_Index, static_cast<unsigned long long>(digest));
    std::fprintf(stderr, "%.1f ms\n", fastest);
    if (bwt.Helpers == &timed_parts) std::fprintf(stderr, "%.1f ms on two threads\n", fastest_on_two);
    if (bwt.Helpers == &second_thread) std::fprintf(stderr, "%.1f ms wall time\n", fastest_wall);
    return 0;
}
