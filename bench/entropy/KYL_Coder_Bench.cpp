// SPDX-License-Identifier: MIT
// Speed of the block coder on the rank stream of a block-sorted text block:
// the corpus text (every text file of both corpora, then the same text with
// its letters rotated by 13 places until the block is full) is run through
// the forward transform, the run-length stage and move-to-front, exactly as
// the compressor's chain does.  Items are ranks, so items_per_second is the
// coding loop's symbols per second.
//
//   kyl_entropy_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "KYL_Block_Harness.h"
#include "KYL_Test_Seam.h"
#include "codec/KYL_MCP_Unit.h"
#include "entropy/KYL_Coder_Unit.h"

namespace {

using T_Bytes = std::vector<std::uint8_t>;

const char* const Text_Files[] = {
    "calgary/bib",           "calgary/book1",          "calgary/book2",       "calgary/news",
    "calgary/paper1",        "calgary/paper2",         "calgary/paper3",      "calgary/paper4",
    "calgary/paper5",        "calgary/paper6",         "calgary/progc",       "calgary/progl",
    "calgary/progp",         "calgary/trans",          "canterbury/alice29.txt", "canterbury/asyoulik.txt",
    "canterbury/cp.html",    "canterbury/fields.c",    "canterbury/grammar.lsp", "canterbury/lcet10.txt",
    "canterbury/plrabn12.txt", "canterbury/xargs.1",
};

std::uint8_t Rotate_13(std::uint8_t b) {
    if (b >= 'a' && b <= 'z') return std::uint8_t('a' + (b - 'a' + 13) % 26);
    if (b >= 'A' && b <= 'Z') return std::uint8_t('A' + (b - 'A' + 13) % 26);
    return b;
}

T_Bytes Text_Block() {
    T_Bytes text;
    for (const char* name : Text_Files) {
        std::ifstream file(std::string(KYL_BENCH_CORPUS) + "/" + name, std::ios::binary);
        if (!file) {
            std::cerr << "cannot read " << KYL_BENCH_CORPUS << "/" << name << "\n";
            std::exit(1);
        }
        text.insert(text.end(), std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    T_Bytes block(text.begin(), text.begin() + std::min<std::size_t>(text.size(), Block_Size));
    for (std::size_t i = 0; block.size() < std::size_t(Block_Size); ++i) block.push_back(Rotate_13(text[i % text.size()]));
    return block;
}

// The ranks and run values that the coder receives for the text block.
struct T_Rank_Block {
    T_Bytes Ranks;
    std::vector<std::int32_t> Runs;
};

void Load(T_Buffer& buffer, const T_Bytes& bytes) {
    std::memcpy(buffer.Data, bytes.data(), bytes.size());
    buffer.Len = std::int32_t(bytes.size());
}

// What the block codec hands its coder for the text block, still in place
// after Compress_Block: the ranks in Source, the run values in Run_Array.
T_Rank_Block Text_Ranks() {
    T_KYL_MCP controller;
    const T_Bytes text = Text_Block();
    controller.Compress_Block(text);
    const T_Block_Data& data = T_KYL_Test_Seam::Block_Data(controller);
    T_Rank_Block block;
    block.Ranks.assign(data.Source->Data, data.Source->Data + data.Source->Len);
    block.Runs.assign(data.Tables->Run_Array, data.Tables->Run_Array + data.Tables->Run_Count);
    return block;
}

struct T_Bench_Block {
    T_KYL_Block_Harness Controller;
    T_KYL_Coder Coder;
    T_Rank_Block Input = Text_Ranks();

    // Puts the ranks and run values where the run-length and list-update
    // stages leave them.
    void Load_Input() {
        T_Block_Data& data = Controller.Block_Data;
        Load(*data.Source, Input.Ranks);
        std::copy(Input.Runs.begin(), Input.Runs.end(), data.Tables->Run_Array);
        data.Tables->Run_Count = std::int32_t(Input.Runs.size());
        data.Header->Len = 0;
    }
};

void BM_Block_Encode(benchmark::State& state) {
    T_Bench_Block bench;
    bench.Load_Input();
    T_Block_Data& data = bench.Controller.Block_Data;
    for (auto _ : state) {
        data.Header->Len = 0;
        if (!bench.Coder.Encode(data)) state.SkipWithError("payload did not fit");
        benchmark::DoNotOptimize(data.Target->Data);
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(bench.Input.Ranks.size()));
    state.counters["payload_bytes"] = double(data.Target->Len);
    state.counters["bits_per_rank"] = 8.0 * data.Target->Len / double(bench.Input.Ranks.size());
    state.counters["run_values"] = double(bench.Input.Runs.size());
}

void BM_Block_Decode(benchmark::State& state) {
    T_Bench_Block bench;
    bench.Load_Input();
    T_Block_Data& data = bench.Controller.Block_Data;
    if (!bench.Coder.Encode(data)) {
        state.SkipWithError("payload did not fit");
        return;
    }
    bench.Controller.Swap_Buffers(data);
    const std::int32_t payload_length = data.Source->Len;
    for (auto _ : state) {
        // Decode takes its length bytes off the header and leaves the
        // payload itself in place (apart from the zeros after it).
        data.Header->Len = 3;
        data.Source->Len = payload_length;
        bench.Coder.Decode(data);
        benchmark::DoNotOptimize(data.Target->Data);
    }
    if (data.Target->Len != std::int32_t(bench.Input.Ranks.size()) ||
        !std::equal(bench.Input.Ranks.begin(), bench.Input.Ranks.end(), data.Target->Data))
        state.SkipWithError("decoded ranks differ");
    state.SetItemsProcessed(state.iterations() * std::int64_t(bench.Input.Ranks.size()));
}

}  // namespace

BENCHMARK(BM_Block_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Block_Decode)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
