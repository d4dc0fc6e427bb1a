// Arbitrary bytes as compressed data, fed to an expanding stream in pieces of
// random sizes and taken out in pieces of random sizes: the stream, on one
// thread or on three, must come to the same end as the one-shot call on one,
// with the same bytes.
#include <algorithm>
#include <random>

#include "KYL_Fuzz_Support.h"

namespace {

// The piece sizes and the thread count follow from the input itself, so a
// corpus file replays the same way every time.
std::uint32_t Seed_Of(const std::uint8_t* data, std::size_t size) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

// Takes what the stream offers into `out`, in pieces of up to `piece` bytes;
// stops early at the expansion limit.
int Take_All(kyl_stream* stream, kyl_fuzz::T_Bytes& out, std::mt19937& random) {
    std::uint8_t buffer[4096];
    for (;;) {
        const std::size_t capacity = 1 + random() % sizeof buffer;
        std::size_t taken = 0;
        const int status = kyl_stream_take(stream, buffer, capacity, &taken);
        out.insert(out.end(), buffer, buffer + taken);
        if (status != KYL_OK || taken == 0 || out.size() > kyl_fuzz::Expansion_Limit) return status;
    }
}

// Returns the stream's end: KYL_OK, KYL_DAMAGED, KYL_TRUNCATED, or
// KYL_DST_TOO_SMALL when the expansion passed the limit.
int Expand_In_Pieces(const std::uint8_t* data, std::size_t size, kyl_fuzz::T_Bytes& out) {
    std::mt19937 random(Seed_Of(data, size));
    kyl_stream* stream = nullptr;
    const unsigned threads = random() % 2 == 0 ? 1 : 3;
    if (kyl_stream_create(&stream, KYL_STREAM_EXPAND, threads) != KYL_OK) kyl_fuzz::Fail("no stream");
    int status = KYL_OK;
    for (std::size_t at = 0; at < size && status == KYL_OK && out.size() <= kyl_fuzz::Expansion_Limit;) {
        std::size_t consumed = 0;
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + random() % 2048);
        status = kyl_stream_feed(stream, data + at, piece, &consumed);
        at += consumed;
        if (status == KYL_OK) status = Take_All(stream, out, random);
    }
    if (status == KYL_OK && out.size() <= kyl_fuzz::Expansion_Limit) status = kyl_stream_finish(stream);
    if (status == KYL_OK) status = Take_All(stream, out, random);
    kyl_stream_free(stream);
    return out.size() > kyl_fuzz::Expansion_Limit ? KYL_DST_TOO_SMALL : status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kyl_fuzz::T_Result one_shot = kyl_fuzz::Expand(data, size);
    kyl_fuzz::T_Bytes pieces;
    const int status = Expand_In_Pieces(data, size, pieces);
    // The one-shot call stops at the first block past its limit, the stream
    // may go on to find damage further on.
    if (one_shot.Status == KYL_DST_TOO_SMALL) return 0;
    if (status != one_shot.Status) kyl_fuzz::Fail("the stream ended otherwise than the one-shot call");
    if (status == KYL_OK && pieces != one_shot.Bytes) kyl_fuzz::Fail("the stream gave other bytes");
    return 0;
}
