// SPDX-License-Identifier: MIT
// Arbitrary bytes compressed on N threads and expanded on M: the compressed
// bytes are those of one thread, and the expansion gives the original back
// and fits a buffer of its size.  In the fuzz build blocks are small, so an
// input holds many of them and several are in flight at once.
//
// The first byte picks the way; the rest is the data.
//   bits 0-2  N - 1
//   bits 3-5  M - 1
//   bit 6     the blocks go through the chain (otherwise they are stored,
//             which costs next to nothing, so that inputs of many blocks
//             stay fast and the pipeline is what is fuzzed)
//   bit 7     the library's one-shot calls (blocks always through the
//             chain); otherwise the codec's streams, fed and drained in
//             pieces of random sizes, on pipelines kept from one input to the
//             next as a program keeps them from one file to the next.
#include <array>
#include <exception>
#include <optional>

#include "KYL_Fuzz_Support.h"
#include "codec/KYL_MCP_Unit.h"
#include "codec/KYL_Pipeline_Unit.h"
#include "codec/KYL_Stream_Unit.h"

namespace {

using kyl_fuzz::T_Bytes;

constexpr unsigned Most_Threads = 8;

T_KYL_MCP& Controller() {
    static T_KYL_MCP controller;
    return controller;
}

// Final, so that it is destroyed as what it is.
struct T_Kept_Pipeline final : T_KYL_Pipeline {
    using T_KYL_Pipeline::T_KYL_Pipeline;
};

T_KYL_Pipeline& Pipeline(unsigned threads) {
    static std::array<std::optional<T_Kept_Pipeline>, Most_Threads + 1> pipelines;
    if (!pipelines[threads]) pipelines[threads].emplace(threads);
    return *pipelines[threads];
}

// The records of one thread, block after block.
void Compress_On_One_Thread(std::span<const std::uint8_t> data, std::uint8_t transform, T_Bytes& out) {
    out.clear();
    for (std::size_t at = 0; at < data.size(); at += std::size_t(Block_Size)) {
        const T_KYL_Record record = Controller().Compress_Block(
            data.subspan(at, std::min(data.size() - at, std::size_t(Block_Size))), transform);
        out.insert(out.end(), record.Header.begin(), record.Header.end());
        out.insert(out.end(), record.Payload.begin(), record.Payload.end());
    }
}

// Takes what the stream offers, in pieces of up to 4 KiB.
template <class T_Stream>
void Drain(T_Stream& stream, T_Bytes& out, std::mt19937& random) {
    for (auto piece = stream.Output(); !piece.empty(); piece = stream.Output()) {
        const std::size_t count = std::min<std::size_t>(piece.size(), 1 + random() % 4096);
        out.insert(out.end(), piece.begin(), piece.begin() + std::ptrdiff_t(count));
        stream.Take_Output(count);
    }
}

// `data` through `stream` in pieces of up to 2 KiB, the output drained after
// every piece, into `out`.
template <class T_Stream>
void Through(T_Stream& stream, std::span<const std::uint8_t> data, std::mt19937& random, T_Bytes& out) {
    out.clear();
    while (!data.empty()) {
        const std::size_t piece = std::min<std::size_t>(data.size(), 1 + random() % 2048);
        data = data.subspan(stream.Feed(data.first(piece)));
        Drain(stream, out, random);
    }
    stream.Finish_Input();
    while (!stream.Finished()) Drain(stream, out, random);
}

void Compress_By_Streams(std::span<const std::uint8_t> data, unsigned threads, std::uint8_t transform,
                         std::mt19937& random, T_Bytes& out) {
    if (threads == 1) {
        T_KYL_Compress_Stream stream(Controller(), transform);
        Through(stream, data, random, out);
    } else {
        T_KYL_Parallel_Compress_Stream stream(Pipeline(threads), transform);
        Through(stream, data, random, out);
    }
}

void Expand_By_Streams(std::span<const std::uint8_t> data, unsigned threads, std::mt19937& random, T_Bytes& out) {
    if (threads == 1) {
        T_KYL_Expand_Stream stream(Controller());
        Through(stream, data, random, out);
    } else {
        T_KYL_Parallel_Expand_Stream stream(Pipeline(threads));
        Through(stream, data, random, out);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const unsigned choice = bytes[0];
    const unsigned compress_threads = 1 + (choice & 7);
    const unsigned expand_threads = 1 + (choice >> 3 & 7);
    const std::uint8_t transform = (choice & 0x40) != 0 ? 1 : 0;
    const bool through_library = (choice & 0x80) != 0;
    const std::span<const std::uint8_t> data(bytes + 1, size - 1);
    std::mt19937 random(kyl_fuzz::Seed_Of(bytes, size));

    // The library's buffers, which it writes only so far as it is told, and
    // the streams' outputs.
    static T_Bytes reference, library_compressed, library_expanded, stream_compressed, stream_expanded;
    std::span<const std::uint8_t> compressed, expanded;
    try {
        Compress_On_One_Thread(data, through_library ? 1 : transform, reference);
        if (through_library) {
            const kyl_fuzz::T_Result result =
                kyl_fuzz::Compress(data.data(), data.size(), library_compressed, compress_threads);
            if (result.Status != KYL_OK) kyl_fuzz::Fail("compression on several threads failed");
            compressed = result.Bytes;
        } else {
            Compress_By_Streams(data, compress_threads, transform, random, stream_compressed);
            compressed = stream_compressed;
        }
        if (!kyl_fuzz::Same(compressed, reference)) kyl_fuzz::Fail("threads gave other compressed bytes");

        if (through_library) {
            const kyl_fuzz::T_Result result =
                kyl_fuzz::Expand(compressed.data(), compressed.size(), library_expanded, expand_threads, data.size());
            if (result.Status != KYL_OK) kyl_fuzz::Fail("expansion on several threads failed");
            expanded = result.Bytes;
        } else {
            Expand_By_Streams(compressed, expand_threads, random, stream_expanded);
            expanded = stream_expanded;
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        kyl_fuzz::Fail("the codec threw on its own output");
    }
    if (!kyl_fuzz::Same(expanded, data)) kyl_fuzz::Fail("the expansion differs from the original");
    return 0;
}
