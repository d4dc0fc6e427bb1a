// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "KYL_Test_Seam.h"
#include "tests/entropy/KYL_Entropy_Test_Support.h"

namespace {

// A fixed set of models of different shapes, coded through in one section.
struct T_Model_Set {
    T_KYL_Model Small{4, 450};
    T_KYL_Model Binary{2, 1};
    T_KYL_Model Wide{107, 8};
    T_KYL_Model Full{259, 1};
    T_KYL_Context_Model Context{8, 40, 20, 10, 3, 3};

    T_KYL_Model& Pick(int i) {
        T_KYL_Model* models[] = {&Small, &Binary, &Wide, &Full, &Context};
        return *models[i];
    }
    void Reset() {
        for (int i = 0; i < 5; ++i) Pick(i).Reset();
    }
};

struct T_Step {
    int Model;
    std::int32_t Symbol;
};

// Skewed symbols, the way ranks arrive: small ones much more often.
std::vector<T_Step> Random_Steps(std::mt19937& random, int count, T_Model_Set& models) {
    std::geometric_distribution<int> skew(0.3);
    std::vector<T_Step> steps;
    for (int i = 0; i < count; ++i) {
        const int m = int(random() % 5);
        steps.push_back({m, std::min(skew(random), models.Pick(m).Symbol_Count - 1)});
    }
    return steps;
}

T_Bytes Encode_Steps(const std::vector<T_Step>& steps, T_Model_Set& models, std::int32_t* margin = nullptr) {
    T_Bytes out(steps.size() * 3 + 16);
    T_KYL_Range_Coder coder;
    models.Reset();
    coder.Start_Encoding(out.data(), 0, std::int32_t(out.size()));
    for (const T_Step& step : steps) coder.Encode_Model_Symbol(models.Pick(step.Model), step.Symbol);
    out.resize(std::size_t(coder.Finish_Encoding()));
    if (margin) *margin = T_KYL_Test_Seam::Tail_Margin(coder);
    return out;
}

}  // namespace

// ------------------------------------------------------ byte-exact sections

TEST(T_KYL_Range_Coder, Plain_Model_Sections_Are_Byte_Exact) {
    T_KYL_Model model(4, 450);
    EXPECT_EQ(Encode_Section(model, {0, 1, 2, 3}), (T_Bytes{0x00, 0xB7, 0xDB}));
    EXPECT_EQ(Encode_Section(model, {3, 3, 3, 3, 3, 3, 3, 3}), (T_Bytes{0x00, 0x01, 0x93}));
    EXPECT_EQ(Encode_Section(model, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), (T_Bytes{0x00, 0xFF, 0x35}));
    T_KYL_Model binary(2, 1);
    EXPECT_EQ(Encode_Section(binary, {1, 1, 1, 0}), (T_Bytes{0x00, 0x12}));
    EXPECT_EQ(Encode_Section(binary, {}), (T_Bytes{0x00, 0x01}));
}

TEST(T_KYL_Range_Coder, Context_Model_Sections_Are_Byte_Exact) {
    T_Controller_Fixture fixture;
    T_KYL_Context_Model model(8, 40, 20, 10, 3, 3);
    EXPECT_EQ(Encode_Section(model, {0, 1, 2, 3, 4, 5, 6, 7}), (T_Bytes{0x00, 0xEC, 0x7B, 0xAF, 0x09}));
    EXPECT_EQ(Encode_Section(model, {7, 7, 7, 7, 7, 7, 7, 7}), (T_Bytes{0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Encode_Section(model, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              (T_Bytes{0x00, 0xFF, 0xFF, 0xFF, 0x7A}));
}

TEST(T_KYL_Range_Coder, Symbol_Model_Sections_Are_Byte_Exact) {
    auto encode = [](std::int32_t alphabet, std::initializer_list<std::int32_t> values) {
        T_KYL_Symbol_Model model(alphabet);
        model.Reset();
        T_Bytes out(64);
        T_KYL_Range_Coder coder;
        coder.Start_Encoding(out.data(), 0, 64);
        for (std::int32_t v : values) Encode_Value(coder, model, v);
        out.resize(std::size_t(coder.Finish_Encoding()));
        return out;
    };
    EXPECT_EQ(encode(256, {0, 3, 5, 149, 150, 255, 1, 2, 0, 0}),
              (T_Bytes{0x00, 0xA1, 0x0A, 0x0F, 0x44, 0x71, 0x6D, 0xAA, 0x03, 0x55}));
    EXPECT_EQ(encode(257, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 256}),
              (T_Bytes{0x00, 0xB8, 0x23, 0xDE, 0x73, 0xBE, 0xA8, 0x0E, 0xDB, 0x46}));
}

TEST(T_KYL_Range_Coder, Empty_Section_Ends_Two_Bytes_On_Both_Sides) {
    T_Bytes buffer(16, 0xAA);
    T_KYL_Range_Coder coder;
    coder.Start_Encoding(buffer.data(), 5, 16);
    EXPECT_EQ(coder.Finish_Encoding(), 7);
    EXPECT_EQ(buffer[5], 0x00);
    EXPECT_EQ(buffer[6], 0x01);
    std::fill(buffer.begin() + 7, buffer.end(), 0);
    coder.Start_Decoding(buffer.data(), 5, 16);
    EXPECT_EQ(coder.Finish_Decoding(), 7);
}

// ------------------------------------------------------------- carries

TEST(T_KYL_Range_Coder, Carries_Through_Held_Back_Bytes_Like_Unbounded_Arithmetic) {
    T_Controller_Fixture fixture;
    T_Model_Set models;
    std::mt19937 random(42);
    int longest_carry_run = 0;
    int carried_flushes = 0;
    int first_byte_nonzero = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const auto steps = Random_Steps(random, 1 + int(random() % 60), models);
        const T_Bytes coded = Encode_Steps(steps, models);
        T_Reference_Encoder reference;
        models.Reset();
        for (const T_Step& step : steps) reference.Encode(models.Pick(step.Model), step.Symbol);
        ASSERT_EQ(coded, reference.Finish()) << "trial " << trial;
        longest_carry_run = std::max(longest_carry_run, reference.Longest_Carry_Run);
        carried_flushes += reference.Flush_Carried;
        first_byte_nonzero += coded[0] != 0;
    }
    // The search must have met both rare states, or it proves nothing.
    EXPECT_GE(longest_carry_run, 1);
    EXPECT_GE(carried_flushes, 1);
    EXPECT_EQ(first_byte_nonzero, 0);
}

// ------------------------------------------------------------ round trips

TEST(T_KYL_Range_Coder, Long_Mixed_Stream_Round_Trips) {
    T_Controller_Fixture fixture;
    T_Model_Set encoder_models, decoder_models;
    std::mt19937 random(7);
    const auto steps = Random_Steps(random, 200000, encoder_models);
    T_Bytes coded = Encode_Steps(steps, encoder_models);
    const std::int32_t end = std::int32_t(coded.size());
    coded.resize(coded.size() + 3, 0);

    T_KYL_Range_Coder coder;
    decoder_models.Reset();
    coder.Start_Decoding(coded.data(), 0, std::int32_t(coded.size()));
    for (std::size_t i = 0; i < steps.size(); ++i)
        ASSERT_EQ(coder.Decode_Model_Symbol(decoder_models.Pick(steps[i].Model)), steps[i].Symbol) << i;
    EXPECT_EQ(coder.Finish_Decoding(), end);
}

TEST(T_KYL_Range_Coder, Back_To_Back_Sections_End_Where_Encoder_Ended) {
    T_Controller_Fixture fixture;
    T_Model_Set models;
    std::mt19937 random(99);
    std::vector<std::vector<T_Step>> sections;
    for (int count : {0, 1, 500, 3, 2000, 0}) sections.push_back(Random_Steps(random, count, models));

    T_Bytes buffer(20000, 0);
    T_KYL_Range_Coder coder;
    std::vector<std::int32_t> ends;
    std::int32_t position = 0;
    for (const auto& steps : sections) {
        models.Reset();
        coder.Start_Encoding(buffer.data(), position, std::int32_t(buffer.size()));
        for (const T_Step& step : steps) coder.Encode_Model_Symbol(models.Pick(step.Model), step.Symbol);
        position = coder.Finish_Encoding();
        ends.push_back(position);
    }
    // Bytes after the last section are what a reader may hold there.
    std::fill(buffer.begin() + position, buffer.end(), 0x5C);
    buffer[position] = buffer[position + 1] = buffer[position + 2] = 0;

    position = 0;
    for (std::size_t k = 0; k < sections.size(); ++k) {
        models.Reset();
        coder.Start_Decoding(buffer.data(), position, std::int32_t(buffer.size()));
        for (const T_Step& step : sections[k])
            ASSERT_EQ(coder.Decode_Model_Symbol(models.Pick(step.Model)), step.Symbol) << "section " << k;
        position = coder.Finish_Decoding();
        EXPECT_EQ(position, ends[k]) << "section " << k;
    }
}

// The margin reported by Finish_Encoding tells exactly which bytes after a
// section still let it decode as it was encoded.
TEST(T_KYL_Range_Coder, Tail_Margin_Predicts_Exact_Decoding) {
    T_Controller_Fixture fixture;
    T_Model_Set models;
    std::mt19937 random(2024);
    int exact = 0, spoiled = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        const auto steps = Random_Steps(random, 1 + int(random() % 20), models);
        std::int32_t margin = 0;
        T_Bytes coded = Encode_Steps(steps, models, &margin);
        const std::int32_t end = std::int32_t(coded.size());
        for (int i = 0; i < 3; ++i) coded.push_back(std::uint8_t(random()));
        const std::int32_t tail = (coded[end] << 15) | (coded[end + 1] << 7) | (coded[end + 2] >> 1);

        T_KYL_Range_Coder coder;
        models.Reset();
        coder.Start_Decoding(coded.data(), 0, std::int32_t(coded.size()));
        bool same = true;
        for (const T_Step& step : steps) same &= coder.Decode_Model_Symbol(models.Pick(step.Model)) == step.Symbol;
        ASSERT_EQ(same, tail <= margin) << "trial " << trial;
        (same ? exact : spoiled)++;
    }
    EXPECT_GT(exact, 0);
    EXPECT_GT(spoiled, 0);
}

// ------------------------------------------------------------- bounds

TEST(T_KYL_Range_Coder, Decoder_Never_Reads_Past_Its_Limit) {
    T_Controller_Fixture fixture;
    T_Model_Set models;
    std::mt19937 random(5);
    for (int trial = 0; trial < 300; ++trial) {
        // An exact-size heap block: a sanitizer build reports any read beyond.
        const std::size_t size = random() % 40;
        auto input = std::make_unique<std::uint8_t[]>(size + 1);
        for (std::size_t i = 0; i < size; ++i) input[i] = std::uint8_t(random());
        T_KYL_Range_Coder coder;
        models.Reset();
        coder.Start_Decoding(input.get(), 0, std::int32_t(size));
        for (int i = 0; i < 200; ++i) {
            T_KYL_Model& model = models.Pick(int(random() % 5));
            const std::int32_t symbol = coder.Decode_Model_Symbol(model);
            ASSERT_GE(symbol, 0);
            ASSERT_LT(symbol, model.Symbol_Count);
        }
        EXPECT_GE(coder.Finish_Decoding(), 0);
    }
}

TEST(T_KYL_Range_Coder, Encoder_Reports_A_Section_That_Does_Not_Fit) {
    T_KYL_Model model(259, 1);
    T_Bytes buffer(64, 0xAA);
    T_KYL_Range_Coder coder;
    model.Reset();
    coder.Start_Encoding(buffer.data(), 0, 48);
    for (std::int32_t i = 0; i < 200; ++i) coder.Encode_Model_Symbol(model, (i * 97) % 259);
    EXPECT_GT(coder.Finish_Encoding(), 48);
    for (std::size_t i = 48; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xAA) << i;
}
