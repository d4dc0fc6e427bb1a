// Speed of the block coder on a block-sized rank stream.
//
// The stream imitates the move-to-front output of a block-sorted text: about
// half the ranks are 0, the rest fall off roughly as 1/rank up to 255, and
// one rank in fifty stands for a long run whose value goes to Run_Array.  It
// is generated from a fixed seed, so every run codes the same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "codec/KYL_MCP_Unit.h"
#include "entropy/KYL_Coder_Unit.h"

namespace {

struct T_Rank_Block {
    std::vector<std::uint8_t> Ranks;
    std::vector<std::int32_t> Runs;
};

T_Rank_Block Make_Text_Like_Ranks(std::int32_t length) {
    std::mt19937 random(20240601);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::geometric_distribution<int> run_class(0.35);
    T_Rank_Block block;
    block.Ranks.resize(std::size_t(length));
    for (auto& rank : block.Ranks) {
        const double u = unit(random);
        rank = u < 0.5 ? 0 : std::uint8_t(std::min(255.0, std::floor(std::exp(unit(random) * std::log(256.0)))));
        if (unit(random) < 0.02) {
            const int e = std::min(1 + run_class(random), 20);
            block.Runs.push_back((1 << e) - 1 + std::int32_t(random() % (1u << e)));
        }
    }
    return block;
}

struct T_Bench_Block {
    T_KYL_MCP Controller;
    T_Current_Controller_Scope Scope{Controller};
    T_KYL_Coder Coder;
    T_Rank_Block Input = Make_Text_Like_Ranks(Block_Size);

    // Puts the ranks and run values where the run-length and list-update
    // stages leave them.
    void Load_Input() {
        T_Block_Data& data = Controller.Block_Data;
        std::copy(Input.Ranks.begin(), Input.Ranks.end(), data.Source->Data);
        data.Source->Len = std::int32_t(Input.Ranks.size());
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
