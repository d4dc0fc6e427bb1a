// SPDX-License-Identifier: MIT
// Damaged copies of valid compressed data, expanded through the library:
// every single-bit flip near the start, a sample elsewhere, and every
// truncation.  Each must expand to exactly the original or give KYL_DAMAGED
// (KYL_TRUNCATED for a cut); nothing else.
#include <gtest/gtest.h>

#include <random>

#include "KYL_Test_Support.h"
#include "block/KYL_Block_Unit.h"
#include "kyl.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;

class Torture : public ::testing::Test {
protected:
    static T_Bytes Compress(const T_Bytes& original) {
        T_Bytes compressed(kyl_compress_bound(original.size()));
        std::size_t size = 0;
        EXPECT_EQ(kyl_compress(original.data(), original.size(), compressed.data(), compressed.size(), &size, 1), KYL_OK);
        compressed.resize(size);
        return compressed;
    }

    // Expands `damaged`; true when it came back as `original`, false when it
    // was reported damaged or cut short.  Any other outcome fails the test.  The room for
    // one more block lets a wrong expansion show as one.
    static bool Expands_Intact(const T_Bytes& damaged, const T_Bytes& original) {
        T_Bytes expanded(original.size() + std::size_t(Block_Size));
        std::size_t size = 0;
        const int status = kyl_expand(damaged.data(), damaged.size(), expanded.data(), expanded.size(), &size, 1);
        if (status == KYL_DAMAGED || status == KYL_TRUNCATED) return false;
        EXPECT_EQ(status, KYL_OK) << kyl_status_text(status);
        expanded.resize(size);
        EXPECT_EQ(expanded, original) << "a wrong expansion was reported as success";
        return true;
    }

    void Flip_And_Cut(const T_Bytes& original, std::size_t sampled_flips, std::uint32_t seed) {
        const T_Bytes compressed = Compress(original);
        const std::size_t bits = compressed.size() * 8;
        std::vector<std::size_t> flips;
        for (std::size_t bit = 0; bit < std::min<std::size_t>(bits, 64 * 8); ++bit) flips.push_back(bit);
        std::mt19937 generator(seed);
        for (std::size_t i = 0; i < sampled_flips && bits > 64 * 8; ++i)
            flips.push_back(64 * 8 + generator() % (bits - 64 * 8));
        for (const std::size_t bit : flips) {
            T_Bytes damaged = compressed;
            damaged[bit / 8] ^= std::uint8_t(1u << (bit % 8));
            Expands_Intact(damaged, original);
        }
        for (std::size_t length = 1; length < compressed.size(); ++length) {
            const T_Bytes cut(compressed.begin(), compressed.begin() + long(length));
            EXPECT_FALSE(Expands_Intact(cut, original)) << "cut at " << length << " went unnoticed";
        }
        EXPECT_TRUE(Expands_Intact(compressed, original));
    }

};

TEST_F(Torture, Small_Files_Survive_Flips_And_Cuts) {
    Flip_And_Cut({'a'}, 0, 1);
    Flip_And_Cut({'b', 'a', 'n', 'a', 'n', 'a'}, 0, 2);
    Flip_And_Cut(T_Bytes(100, 'a'), 0, 3);
    Flip_And_Cut(Text_Like_Bytes(3000, 4), 400, 4);
    Flip_And_Cut(Random_Bytes(700, 5), 400, 5);
    T_Bytes runs;
    for (int i = 0; i < 40; ++i) runs.insert(runs.end(), std::size_t(1 + (i * 37) % 300), std::uint8_t(i % 3));
    Flip_And_Cut(runs, 400, 6);
}

TEST_F(Torture, A_Two_Block_File_Survives_Flips_In_Both_Headers) {
    T_Bytes original(std::size_t(Block_Size) + 1, 'x');
    original.back() = 'y';
    const T_Bytes compressed = Compress(original);
    const std::size_t second = std::size_t(compressed[0]) + (compressed[9] | compressed[10] << 8 | compressed[11] << 16);
    ASSERT_LT(second + 12, compressed.size());
    for (const std::size_t start : {std::size_t(0), second}) {
        for (std::size_t bit = 0; bit < 12 * 8; bit += 3) {
            T_Bytes damaged = compressed;
            damaged[start + bit / 8] ^= std::uint8_t(1u << (bit % 8));
            Expands_Intact(damaged, original);
        }
    }
    for (const std::size_t length : {second - 1, second + 1, second + 11, compressed.size() - 1})
        EXPECT_FALSE(Expands_Intact(T_Bytes(compressed.begin(), compressed.begin() + long(length)), original));
}

}  // namespace
