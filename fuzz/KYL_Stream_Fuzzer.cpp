// SPDX-License-Identifier: MIT
// Arbitrary bytes as compressed data, fed to an expanding stream in pieces of
// random sizes and taken out in pieces of random sizes: the stream, on one
// thread or on three, must come to the same end as the one-shot call on one,
// with the same bytes.
#include "KYL_Fuzz_Support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kyl_fuzz::T_Bytes one_shot_buffer, pieces;
    const kyl_fuzz::T_Result one_shot = kyl_fuzz::Expand(data, size, one_shot_buffer);
    std::mt19937 random(kyl_fuzz::Seed_Of(data, size));
    const unsigned threads = random() % 2 == 0 ? 1 : 3;
    const int status =
        kyl_fuzz::Through_Stream(KYL_STREAM_EXPAND, threads, data, size, random, pieces, kyl_fuzz::Expansion_Limit);
    // The one-shot call stops at the first block past its limit, the stream
    // may go on to find damage further on.
    if (one_shot.Status == KYL_DST_TOO_SMALL) return 0;
    if (status != one_shot.Status) kyl_fuzz::Fail("the stream ended otherwise than the one-shot call");
    if (status == KYL_OK && !kyl_fuzz::Same(pieces, one_shot.Bytes)) kyl_fuzz::Fail("the stream gave other bytes");
    return 0;
}
