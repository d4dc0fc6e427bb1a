#include <gtest/gtest.h>

#include <string>

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

}  // namespace
