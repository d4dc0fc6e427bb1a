// SPDX-License-Identifier: MIT
#include "transforms/KYL_RLE_EXP_Unit.h"

#include <bit>
#include <cassert>
#include <cstring>

#include "block/KYL_Block_Unit.h"
#include "block/KYL_Word_Unit.h"

namespace {

// Classes the run tables provide; a transformed block needs 22 at most.
constexpr std::int32_t Highest_Class = Class_Count - 1;

// Length of the run of equal bytes that starts at `from`.
inline std::int32_t Run_Length(const std::uint8_t* bytes, std::int32_t from, std::int32_t end) {
    const std::uint8_t b = bytes[from];
    std::int32_t to = from + 1;
    while (to < end && bytes[to] == b) ++to;
    return to - from;
}

// The first j in [from, end) that starts three equal bytes, or end.  When
// `from` starts a run, j starts one too: an equal byte before j would start
// three equal bytes itself.  Between `from` and j every run is one or two
// bytes long.
inline std::int32_t Find_Long_Run(const std::uint8_t* bytes, std::int32_t from, std::int32_t end) {
    constexpr std::uint64_t Ones = 0x0101010101010101u;
    constexpr std::uint64_t Highs = 0x8080808080808080u;
    std::int32_t j = from;
    // Eight starts per step: byte k of `differs` is zero exactly when bytes
    // j+k, j+k+1 and j+k+2 are equal, and the lowest flag of the zero-byte
    // test marks the lowest zero byte (a borrow only runs upwards).
    for (; j + 10 <= end; j += 8) {
        const std::uint64_t w0 = Load_LE64(bytes + j);
        const std::uint64_t w1 = Load_LE64(bytes + j + 1);
        const std::uint64_t w2 = Load_LE64(bytes + j + 2);
        const std::uint64_t differs = (w0 ^ w1) | (w1 ^ w2);
        const std::uint64_t zero_flags = (differs - Ones) & ~differs & Highs;
        if (zero_flags != 0) return j + std::countr_zero(zero_flags) / 8;
    }
    for (; j + 2 < end; ++j)
        if (bytes[j] == bytes[j + 1] && bytes[j + 1] == bytes[j + 2]) return j;
    return end;
}

}  // namespace

void T_KYL_RLE_EXP::Encode(T_Block_Data& data) {
    if (data.Source->Len <= 0) {
        Current_Controller->Swap_Buffers(data);
        return;
    }
    assert(Threshold >= 2);
    const std::uint8_t* const source = data.Source->Data;
    const std::int32_t length = data.Source->Len;
    std::uint8_t* const target = data.Target->Data;
    T_Block_Tables& tables = *data.Tables;

    // Runs of one or two bytes leave themselves (two is Threshold + class 0
    // when Threshold is 2, and below Threshold otherwise), so the stretch
    // before a run of three or more is copied as it stands.
    std::int32_t written = 0;
    for (std::int32_t i = 0; i < length;) {
        const std::int32_t j = Find_Long_Run(source, i, length);
        std::memcpy(target + written, source + i, std::size_t(j - i));
        written += j - i;
        if (j == length) break;
        const std::uint8_t b = source[j];
        const std::int32_t run = Run_Length(source, j, length);
        i = j + run;
        std::int32_t copies = run;
        if (run >= Threshold) {
            const std::int32_t x = run - Threshold;
            const std::int32_t e = T_KYL_Block_Controller::Log2_Floor(x);
            copies = Threshold + e;
            if (e >= 1) tables.Run_Array[tables.Run_Count++] = x;
        }
        std::memset(target + written, b, std::size_t(copies));
        written += copies;
    }
    data.Target->Len = written;
}

void T_KYL_RLE_EXP::Decode(T_Block_Data& data) {
    if (data.Source->Len <= 0) {
        Current_Controller->Swap_Buffers(data);
        return;
    }
    assert(Threshold >= 2);
    const std::uint8_t* const source = data.Source->Data;
    const std::int32_t length = data.Source->Len;
    std::uint8_t* const target = data.Target->Data;
    T_Block_Tables& tables = *data.Tables;
    std::int32_t* const next = tables.Run_Class_Start;

    // The block decoder filled class e's group at [first[e], next[e]).
    std::int32_t first[Class_Count] = {};
    for (std::int32_t e = 1; e <= Highest_Class; ++e) {
        const std::int32_t count = tables.Run_Class_Count[e];
        Require_Intact(count >= 0 && next[e] >= count && next[e] <= Area_Entries, "run class table out of range");
        first[e] = next[e] - count;
    }

    // First pass: step every class's position back over the mantissas its
    // runs will take, so it ends at the first of them.  Runs of one or two
    // bytes stand for themselves and are skipped in blocks.
    for (std::int32_t i = 0; (i = Find_Long_Run(source, i, length)) < length;) {
        const std::int32_t copies = Run_Length(source, i, length);
        i += copies;
        if (copies > Threshold) {
            const std::int32_t e = copies - Threshold;
            Require_Intact(e <= Highest_Class, "run class above 23");
            Require_Intact(--next[e] >= first[e], "more runs than mantissas in a class");
        }
    }

    // Second pass: every run of `copies` equal bytes is one run of the block.
    // The stretch before a run of three or more is copied as it stands.
    std::int32_t written = 0;
    for (std::int32_t i = 0; i < length;) {
        const std::int32_t j = Find_Long_Run(source, i, length);
        Require_Intact(j - i <= Max_Transformed_Length - written, "runs longer than a transformed block");
        std::memcpy(target + written, source + i, std::size_t(j - i));
        written += j - i;
        if (j == length) break;
        const std::uint8_t b = source[j];
        const std::int32_t copies = Run_Length(source, j, length);
        i = j + copies;
        std::int32_t run = copies;
        if (copies > Threshold) {
            const std::int32_t e = copies - Threshold;
            const std::int32_t m = tables.Run_Array[next[e]++];
            Require_Intact(m >= 0 && m < (std::int32_t(1) << e), "mantissa wider than its class");
            run = (std::int32_t(1) << e) + m + Threshold - 1;
        }
        Require_Intact(run <= Max_Transformed_Length - written, "runs longer than a transformed block");
        std::memset(target + written, b, std::size_t(run));
        written += run;
    }
    data.Target->Len = written;
}
