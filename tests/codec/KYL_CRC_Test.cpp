// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/KYL_CRC_Unit.h"

namespace {

std::uint32_t CRC_Of(const std::string& text) {
    return T_KYL_CRC32().Compute(reinterpret_cast<const std::uint8_t*>(text.data()), std::int32_t(text.size()));
}

TEST(T_KYL_CRC32, Matches_Published_Check_Values) {
    EXPECT_EQ(CRC_Of("123456789"), 0xCBF43926u);
    EXPECT_EQ(CRC_Of("xyz"), 0xEB8EBA67u);
    EXPECT_EQ(CRC_Of("a"), 0xE8B7BE43u);
    EXPECT_EQ(CRC_Of("banana"), 0x038B67CFu);
}

TEST(T_KYL_CRC32, Empty_Or_Negative_Length_Gives_Zero) {
    const std::uint8_t byte = 0x61;
    EXPECT_EQ(T_KYL_CRC32().Compute(&byte, 0), 0u);
    EXPECT_EQ(T_KYL_CRC32().Compute(&byte, -5), 0u);
}

// Long inputs take the widest route the processor offers; every length and
// start around its 16- and 64-byte steps must give the CRC of the definition,
// one bit at a time.
TEST(T_KYL_CRC32, Long_Inputs_Match_The_Bitwise_Definition) {
    const auto bitwise = [](const std::uint8_t* data, std::int32_t length) {
        std::uint32_t crc = 0xFFFFFFFFu;
        for (std::int32_t i = 0; i < length; ++i) {
            crc ^= data[i];
            for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0u);
        }
        return crc ^ 0xFFFFFFFFu;
    };
    std::mt19937 random(11);
    std::vector<std::uint8_t> bytes(70'000);
    for (std::uint8_t& b : bytes) b = std::uint8_t(random());
    for (std::int32_t start = 0; start < 16; start += 5)
        for (const std::int32_t length : {63, 64, 65, 79, 80, 127, 128, 129, 191, 1000, 65'537})
            EXPECT_EQ(T_KYL_CRC32().Compute(bytes.data() + start, length), bitwise(bytes.data() + start, length))
                << start << " " << length;
}

}  // namespace
