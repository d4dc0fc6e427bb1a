// SPDX-License-Identifier: MIT
// Speed of the block transforms on full 5 MB blocks.  The suffix sort is
// timed on text and on the periodic shapes that defeat direct comparison;
// the inverse walk and the two byte stages on the text block's own chain.
//
//   kyl_bench_transforms --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// The text block is every text file of both corpora, in a fixed order, then
// the same text again with its letters rotated by 13 places until the block
// is full: a plain repeat would make a third of the block a long-range copy
// of the rest, which is periodic data, not text.  "text_repeated" shows that
// case too.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KYL_Block_Harness.h"
#include "KYL_Test_Seam.h"
#include "transforms/KYL_BWT_Unit.h"
#include "transforms/KYL_MTF_Unit.h"
#include "transforms/KYL_RLE_EXP_Unit.h"

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

T_Bytes Corpus_Text() {
    T_Bytes text;
    for (const char* name : Text_Files) {
        std::ifstream file(std::string(KYL_BENCH_CORPUS) + "/" + name, std::ios::binary);
        if (!file) {
            std::cerr << "cannot read " << KYL_BENCH_CORPUS << "/" << name << "\n";
            std::exit(1);
        }
        text.insert(text.end(), std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return text;
}

std::uint8_t Rotate_13(std::uint8_t b) {
    if (b >= 'a' && b <= 'z') return std::uint8_t('a' + (b - 'a' + 13) % 26);
    if (b >= 'A' && b <= 'Z') return std::uint8_t('A' + (b - 'A' + 13) % 26);
    return b;
}

T_Bytes Text_Block(bool rotate_fill) {
    const T_Bytes text = Corpus_Text();
    T_Bytes block(text.begin(), text.begin() + std::min<std::size_t>(text.size(), Block_Size));
    for (std::size_t i = 0; block.size() < std::size_t(Block_Size); ++i) {
        const std::uint8_t b = text[i % text.size()];
        block.push_back(rotate_fill ? Rotate_13(b) : b);
    }
    return block;
}

T_Bytes Random_Bytes(std::size_t length, std::uint32_t seed) {
    std::mt19937 random(seed);
    T_Bytes bytes(length);
    for (auto& b : bytes) b = std::uint8_t(random());
    return bytes;
}

T_Bytes Repeat(const T_Bytes& unit) {
    T_Bytes block(Block_Size);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = unit[i % unit.size()];
    return block;
}

// Random bytes with copies of one 2,000-byte piece laid over `percent` of
// the block: repeats too few to show in the pair counts, enough to send the
// bucket sort's comparisons deep.
T_Bytes Random_With_Copies(int percent) {
    T_Bytes block = Random_Bytes(Block_Size, 5);
    const T_Bytes piece = Random_Bytes(2000, 6);
    std::mt19937 random(7);
    const std::size_t copies = std::size_t(Block_Size) * std::size_t(percent) / 100 / piece.size();
    for (std::size_t k = 0; k < copies; ++k) {
        const std::size_t at = random() % (block.size() - piece.size());
        std::copy(piece.begin(), piece.end(), block.begin() + std::ptrdiff_t(at));
    }
    return block;
}

T_Bytes Sparse_Block() {
    T_Bytes block(Block_Size, 0);
    std::mt19937 random(4);
    for (std::size_t i = 0; i < block.size(); i += 65536) block[i] = std::uint8_t(1 + random() % 255);
    return block;
}

// One controller for the whole run: its arena is the stages' memory.
T_KYL_Block_Harness& Controller() {
    static T_KYL_Block_Harness controller;
    return controller;
}

void Load(T_Buffer& buffer, const T_Bytes& bytes) {
    std::memcpy(buffer.Data, bytes.data(), bytes.size());
    buffer.Len = std::int32_t(bytes.size());
}

void Sort_Block(benchmark::State& state, const T_Bytes* block) {
    T_Current_Controller_Scope scope(Controller());
    T_Block_Data& data = Controller().Block_Data;
    T_KYL_BWT bwt;
    Load(*data.Source, *block);
    for (auto _ : state) {
        // Encode changes only the guard byte and the zeros around the block.
        data.Header->Len = 0;
        bwt.Encode(data);
        benchmark::DoNotOptimize(data.Target->Data[0]);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(block->size()));
    state.counters["whole_block_sort"] = T_KYL_Test_Seam::Used_Whole_Block_Sort(bwt) ? 1 : 0;
    state.counters["ascending"] = T_KYL_Test_Seam::Used_Mode(bwt) == T_KYL_BWT::T_Sort_Mode::Ascending ? 1 : 0;
}

// The later stages on the text block's own chain, each timed alone.
struct T_Text_Chain {
    T_Bytes Transformed, Shortened, Ranks;
    T_Bytes Header;
    std::vector<std::int32_t> Run_Values;
};

const T_Text_Chain& Text_Chain(const T_Bytes& text) {
    static const T_Text_Chain chain = [&text] {
        T_Current_Controller_Scope scope(Controller());
        T_Block_Data& data = Controller().Block_Data;
        T_Text_Chain c;
        T_KYL_BWT bwt;
        T_KYL_RLE_EXP rle;
        T_KYL_MTF mtf;
        data.Header->Len = 0;
        data.Tables->Run_Count = 0;
        Load(*data.Source, text);
        bwt.Encode(data);
        c.Transformed.assign(data.Target->Data, data.Target->Data + data.Target->Len);
        c.Header.assign(data.Header->Data, data.Header->Data + data.Header->Len);
        Load(*data.Source, c.Transformed);
        rle.Encode(data);
        c.Shortened.assign(data.Target->Data, data.Target->Data + data.Target->Len);
        c.Run_Values.assign(data.Tables->Run_Array, data.Tables->Run_Array + data.Tables->Run_Count);
        Load(*data.Source, c.Shortened);
        mtf.Encode(data);
        c.Ranks.assign(data.Target->Data, data.Target->Data + data.Target->Len);
        return c;
    }();
    return chain;
}

void Inverse_Walk(benchmark::State& state, const T_Bytes* text) {
    const T_Text_Chain& chain = Text_Chain(*text);
    T_Current_Controller_Scope scope(Controller());
    T_Block_Data& data = Controller().Block_Data;
    T_KYL_BWT bwt;
    Load(*data.Source, chain.Transformed);
    for (auto _ : state) {
        std::memcpy(data.Header->Data, chain.Header.data(), chain.Header.size());
        data.Header->Len = std::int32_t(chain.Header.size());
        bwt.Decode(data);
        benchmark::DoNotOptimize(data.Target->Data[0]);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text->size()));
}

void Run_Length_Encode(benchmark::State& state, const T_Bytes* text) {
    const T_Text_Chain& chain = Text_Chain(*text);
    T_Current_Controller_Scope scope(Controller());
    T_Block_Data& data = Controller().Block_Data;
    T_KYL_RLE_EXP rle;
    Load(*data.Source, chain.Transformed);
    for (auto _ : state) {
        data.Tables->Run_Count = 0;
        rle.Encode(data);
        benchmark::DoNotOptimize(data.Target->Data[0]);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(chain.Transformed.size()));
}

void Move_To_Front_Encode(benchmark::State& state, const T_Bytes* text) {
    const T_Text_Chain& chain = Text_Chain(*text);
    T_Current_Controller_Scope scope(Controller());
    T_Block_Data& data = Controller().Block_Data;
    T_KYL_MTF mtf;
    Load(*data.Source, chain.Shortened);
    for (auto _ : state) {
        mtf.Encode(data);
        benchmark::DoNotOptimize(data.Target->Data[0]);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(chain.Shortened.size()));
}

void Move_To_Front_Decode(benchmark::State& state, const T_Bytes* text) {
    const T_Text_Chain& chain = Text_Chain(*text);
    T_Current_Controller_Scope scope(Controller());
    T_Block_Data& data = Controller().Block_Data;
    T_KYL_MTF mtf;
    Load(*data.Source, chain.Ranks);
    for (auto _ : state) {
        mtf.Decode(data);
        benchmark::DoNotOptimize(data.Target->Data[0]);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(chain.Ranks.size()));
}

}  // namespace

int main(int argc, char** argv) {
    static const T_Bytes text = Text_Block(true);
    static const T_Bytes blocks[] = {
        text,
        Text_Block(false),
        Repeat({'a', 'b'}),
        Repeat(Random_Bytes(1000, 1)),
        Repeat(Random_Bytes(100000, 2)),
        T_Bytes(Block_Size, 0),
        Sparse_Block(),
        Random_Bytes(Block_Size, 3),
        Random_With_Copies(2),
        Random_With_Copies(5),
    };
    const char* const names[] = {"text",      "text_repeated", "period_2_abab", "random_1000_repeated",
                                 "random_100000_repeated", "zeros", "zeros_one_byte_per_64KiB", "random",
                                 "random_2_percent_copies", "random_5_percent_copies"};
    for (std::size_t k = 0; k < std::size(blocks); ++k)
        benchmark::RegisterBenchmark((std::string("Sort/") + names[k]).c_str(), Sort_Block, &blocks[k])
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    benchmark::RegisterBenchmark("Inverse_Walk/text", Inverse_Walk, &text)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("RLE_Encode/text", Run_Length_Encode, &text)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("MTF_Encode/text", Move_To_Front_Encode, &text)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("MTF_Decode/text", Move_To_Front_Decode, &text)->Unit(benchmark::kMillisecond)->UseRealTime();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
