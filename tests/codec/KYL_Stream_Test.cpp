// SPDX-License-Identifier: MIT
// The contract every stream keeps, whichever implementation the factory
// picks for a thread count: the bytes of one thread for input and output in
// pieces of any size, input refused only while output waits, the end seen
// only once all is out, the blocks counted, damage after the intact blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "KYL_Test_Support.h"
#include "codec/KYL_MCP_Unit.h"
#include "codec/KYL_Stream_Unit.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;

// Runs `input` through `stream` in random pieces, fed and committed by turns,
// and takes the output in random pieces; checks the contract at every step.
T_Bytes Through(T_KYL_Stream& stream, const T_Bytes& input, std::uint32_t seed) {
    std::mt19937 random(seed);
    T_Bytes output;
    std::size_t at = 0;
    for (int step = 0;; ++step) {
        // The output in pieces of up to 100,000 bytes.
        std::size_t room = 1 + random() % 100000;
        for (std::span<const std::uint8_t> piece = stream.Output(); !piece.empty(); piece = stream.Output()) {
            const std::size_t count = std::min(piece.size(), room);
            output.insert(output.end(), piece.begin(), piece.begin() + long(count));
            stream.Take_Output(count);
            room = 1 + random() % 100000;
        }
        if (stream.Finished()) break;
        EXPECT_LT(step, 1 << 20) << "the stream makes no progress";
        if (step >= 1 << 20) break;
        // With its output taken, a stream that is not finished takes input
        // until the input ends.
        if (at == input.size()) {
            stream.Finish_Input();
            EXPECT_TRUE(stream.Input_Space().empty());
            continue;
        }
        const std::span<std::uint8_t> space = stream.Input_Space();
        EXPECT_FALSE(space.empty());
        const std::size_t count = std::min({space.size(), input.size() - at, std::size_t(1 + random() % 300000)});
        if (step % 2 == 0) {
            std::copy_n(input.begin() + long(at), count, space.begin());
            stream.Commit_Input(count);
        } else {
            EXPECT_EQ(stream.Feed({input.data() + at, count}), count);
        }
        at += count;
    }
    EXPECT_TRUE(stream.Output().empty());
    return output;
}

class Stream_Threads : public ::testing::TestWithParam<unsigned> {};

// Two blocks and a short third of three kinds (a period of seven bytes, text
// and noise), compressed, then expanded, against the records one block codec
// makes of them.
TEST_P(Stream_Threads, Keep_The_Contract_And_Give_The_Bytes_Of_One_Block_Codec) {
    T_Bytes input;
    for (std::size_t i = 0; i < std::size_t(Block_Size); ++i) input.push_back(std::uint8_t("periodic"[i % 7]));
    const T_Bytes text = Text_Like_Bytes(std::size_t(Block_Size), 1), noise = Random_Bytes(70000, 2);
    input.insert(input.end(), text.begin(), text.end());
    input.insert(input.end(), noise.begin(), noise.end());
    T_Bytes records;
    {
        T_KYL_MCP codec;
        for (std::size_t at = 0; at < input.size(); at += std::size_t(Block_Size)) {
            const T_KYL_Record record =
                codec.Compress_Block({input.data() + at, std::min(input.size() - at, std::size_t(Block_Size))});
            records.insert(records.end(), record.Header.begin(), record.Header.end());
            records.insert(records.end(), record.Payload.begin(), record.Payload.end());
        }
    }
    T_KYL_Stream_Factory factory(GetParam());
    {
        const std::unique_ptr<T_KYL_Stream> stream = factory.Compress_Stream();
        EXPECT_EQ(Through(*stream, input, 1), records);
        EXPECT_EQ(stream->Blocks_Out(), 3u);
    }
    {
        const std::unique_ptr<T_KYL_Stream> stream = factory.Expand_Stream();
        EXPECT_EQ(Through(*stream, records, 2), input);
        EXPECT_EQ(stream->Blocks_Out(), 3u);
    }
    // The second record damaged: the first block comes out whole, then the
    // damage, with the index of the block it hit.
    T_Bytes damaged = records;
    const std::size_t second = 12 + (records[9] | records[10] << 8 | records[11] << 16);
    damaged[second + 20] ^= 0x10;
    const std::unique_ptr<T_KYL_Stream> stream = factory.Expand_Stream();
    try {
        Through(*stream, damaged, 3);
        ADD_FAILURE() << "the damage went unseen";
    } catch (const T_KYL_Damaged_Block& damage) {
        EXPECT_EQ(damage.Block_Index(), 1);
    }
    EXPECT_EQ(stream->Blocks_Out(), 1u);
}

INSTANTIATE_TEST_SUITE_P(One_And_More, Stream_Threads, ::testing::Values(1u, 2u, 3u));

}  // namespace
