// What the fuzz targets share: the one-shot library calls into vectors, and
// the way a target reports a broken promise.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kyl.h"

namespace kyl_fuzz {

using T_Bytes = std::vector<std::uint8_t>;

// Expansions are cut off at this many bytes (KYL_DST_TOO_SMALL): two blocks.
inline constexpr std::size_t Expansion_Limit = 2 * 5242880;

struct T_Result {
    int Status = KYL_OK;
    T_Bytes Bytes;
};

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
}

inline T_Result Compress(const std::uint8_t* data, std::size_t size) {
    T_Result result;
    result.Bytes.resize(kyl_compress_bound(size));
    std::size_t written = 0;
    result.Status = kyl_compress(data, size, result.Bytes.data(), result.Bytes.size(), &written, 1);
    result.Bytes.resize(written);
    return result;
}

inline T_Result Expand(const std::uint8_t* data, std::size_t size) {
    T_Result result;
    result.Bytes.resize(Expansion_Limit);
    std::size_t written = 0;
    result.Status = kyl_expand(data, size, result.Bytes.data(), result.Bytes.size(), &written, 1);
    if (result.Status != KYL_OK && result.Status != KYL_DAMAGED && result.Status != KYL_TRUNCATED &&
        result.Status != KYL_DST_TOO_SMALL)
        Fail("expansion ended other than expanded, damaged, cut short or too large");
    std::size_t bound = 0;
    if (result.Status == KYL_OK && (kyl_expand_bound(data, size, &bound) != KYL_OK || written > bound))
        Fail("an expansion passed its bound");
    result.Bytes.resize(written);
    return result;
}

}  // namespace kyl_fuzz
