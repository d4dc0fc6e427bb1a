// SPDX-License-Identifier: MIT
// The block coder's symbol loops and the range coder's position search take
// shortcuts of their own; these tests hold them against the plain steps
// (T_Reference_Encoder, T_Reference_Decoder) on long streams, so that a
// shortcut that drifts from the plain rule shows at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "KYL_Test_Seam.h"
#include "tests/entropy/KYL_Entropy_Test_Support.h"

namespace {

// Rank streams of the shapes a block can have.
enum class T_Shape { Text_Like, Skewed, Uniform, Zero_Runs, Escapes_Only };

T_Bytes Random_Ranks(std::mt19937& random, T_Shape shape, std::size_t length) {
    std::geometric_distribution<int> skew(0.45);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    T_Bytes ranks(length);
    for (auto& r : ranks) {
        switch (shape) {
            case T_Shape::Text_Like:
                // Half zeros, the rest falling off as 1/rank.
                r = unit(random) < 0.5 ? 0 : std::uint8_t(std::min(255.0, std::exp(unit(random) * std::log(256.0))));
                break;
            case T_Shape::Skewed: r = std::uint8_t(std::min(skew(random), 255)); break;
            case T_Shape::Uniform: r = std::uint8_t(random()); break;
            case T_Shape::Zero_Runs: r = random() % 64 == 0 ? std::uint8_t(1 + random() % 4) : 0; break;
            case T_Shape::Escapes_Only: r = std::uint8_t(3 + random() % 253); break;
        }
    }
    return ranks;
}

}  // namespace

// The decoder's search compares products with Low instead of dividing; on any
// bytes, damaged ones included, it must land on the plain rule's positions.
TEST(T_KYL_Range_Coder, Decoder_Follows_The_Plain_Rule_On_Random_Bytes) {
    T_Controller_Fixture fixture;
    std::mt19937 random(31);
    for (int trial = 0; trial < 20; ++trial) {
        T_Bytes bytes(20000);
        for (auto& b : bytes) b = std::uint8_t(random());
        // Some trials with long stretches of 0xFF or 0x00, which drive Low
        // to the edges of the window and past the total.
        if (trial % 4 == 1) std::fill(bytes.begin() + 100, bytes.begin() + 5000, 0xFF);
        if (trial % 4 == 2) std::fill(bytes.begin() + 100, bytes.begin() + 5000, 0x00);
        bytes[0] = 0;

        T_KYL_Model small_a(4, 450), small_b(4, 450), wide_a(107, 8), wide_b(107, 8), full_a(259, 1), full_b(259, 1);
        T_KYL_Context_Model context_a(8, 40, 20, 10, 3, 3), context_b(8, 40, 20, 10, 3, 3);
        T_KYL_Model* coded[] = {&small_a, &wide_a, &full_a, &context_a};
        T_KYL_Model* plain[] = {&small_b, &wide_b, &full_b, &context_b};
        for (int m = 0; m < 4; ++m) {
            coded[m]->Reset();
            plain[m]->Reset();
        }
        T_KYL_Range_Coder coder;
        coder.Start_Decoding(bytes.data(), 0, std::int32_t(bytes.size()));
        T_Reference_Decoder reference(bytes);
        for (int i = 0; i < 40000; ++i) {
            const int m = int(random() % 4);
            // The plain models also go through the path without the virtual update.
            const std::int32_t symbol = m < 3 && (i & 1) ? coder.Decode_Plain_Symbol(*coded[m])
                                                         : coder.Decode_Model_Symbol(*coded[m]);
            ASSERT_EQ(symbol, reference.Decode(*plain[m])) << "trial " << trial << " step " << i;
        }
        EXPECT_EQ(coder.Read_Position(), reference.Position());
        for (int m = 0; m < 4; ++m) EXPECT_EQ(coded[m]->Cum_Freq, plain[m]->Cum_Freq) << m;
    }
}

// The symbol loop's value steps against the plain rule, on random bytes.
TEST(T_KYL_Coder, Value_Steps_Follow_The_Plain_Rule_On_Random_Bytes) {
    std::mt19937 random(8);
    for (int trial = 0; trial < 10; ++trial) {
        T_Bytes bytes(50000);
        for (auto& b : bytes) b = std::uint8_t(trial % 2 ? random() : random() & random() & random());
        bytes[0] = 0;
        T_KYL_Symbol_Model fast(257), plain(257);
        fast.Reset();
        plain.Reset();
        T_KYL_Range_Coder coder;
        coder.Start_Decoding(bytes.data(), 0, std::int32_t(bytes.size()));
        T_KYL_Range_Coder::T_Decoder decoder = coder.Take_Decoder();
        T_Reference_Decoder reference(bytes);
        for (int i = 0; i < 100000; ++i)
            ASSERT_EQ(T_KYL_Test_Seam::Get_Value(decoder, fast), reference.Decode_Value(plain)) << "trial " << trial << " value " << i;
        EXPECT_EQ(decoder.Pos, reference.Position());
    }
}

// Encode's symbol section is exactly what the plain steps write for the same
// ranks, and Decode gives the ranks back, for every shape of stream.
TEST(T_KYL_Coder, Symbol_Section_Matches_The_Plain_Steps) {
    T_Controller_Fixture fixture;
    T_Block_Data& data = fixture.Controller.Block_Data;
    T_KYL_Coder coder;
    std::mt19937 random(12);
    for (T_Shape shape : {T_Shape::Text_Like, T_Shape::Skewed, T_Shape::Uniform, T_Shape::Zero_Runs, T_Shape::Escapes_Only}) {
        const T_Bytes ranks = Random_Ranks(random, shape, 200000);
        std::copy(ranks.begin(), ranks.end(), data.Source->Data);
        data.Source->Len = std::int32_t(ranks.size());
        data.Tables->Run_Count = 0;
        data.Header->Len = 0;
        ASSERT_TRUE(coder.Encode(data));
        const T_Bytes payload(data.Target->Data, data.Target->Data + data.Target->Len);

        // Without runs the count section is the bytes 0, 0, 0, 0 and the
        // mantissa section is empty (00 01); the symbol section follows.
        T_Reference_Encoder counts;
        T_KYL_Symbol_Model byte_model(256);
        byte_model.Reset();
        for (int i = 0; i < 4; ++i) counts.Encode_Value(byte_model, 0);
        T_Bytes expected = counts.Finish();
        expected.insert(expected.end(), {0x00, 0x01});
        T_Reference_Encoder symbols;
        T_KYL_Symbol_Model block_model(257);
        block_model.Reset();
        for (std::uint8_t r : ranks) symbols.Encode_Value(block_model, r);
        symbols.Encode_Value(block_model, 256);
        const T_Bytes section = symbols.Finish();
        expected.insert(expected.end(), section.begin(), section.end());
        ASSERT_EQ(payload.size(), expected.size()) << int(shape);
        EXPECT_TRUE(payload == expected) << int(shape);

        std::copy(payload.begin(), payload.end(), data.Source->Data);
        std::fill(data.Source->Data + payload.size(), data.Source->Data + payload.size() + 16, 0xE7);
        data.Source->Len = std::int32_t(payload.size()) + 16;
        data.Header->Len = 3;
        coder.Decode(data);
        ASSERT_EQ(data.Target->Len, std::int32_t(ranks.size())) << int(shape);
        EXPECT_TRUE(std::equal(ranks.begin(), ranks.end(), data.Target->Data)) << int(shape);
    }
}
