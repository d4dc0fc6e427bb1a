// SPDX-License-Identifier: MIT
// What the fuzz targets share: the library calls into buffers that outlive
// the input, the pieces a stream is fed and drained in, and the way a target
// reports a broken promise.
//
// Buffers are kept from one input to the next and grow only: an input costs
// no allocation and no clearing of block-sized memory.  The library writes
// what it reports and the targets read no further, so stale bytes behind
// that are never looked at; and behind the capacity a call is given, the
// address sanitizer (where it runs) still stops any write, as it would at the
// end of a buffer of that size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <vector>

#include "block/KYL_Block_Unit.h"
#include "kyl.h"

#if defined(__SANITIZE_ADDRESS__)
#define KYL_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KYL_FUZZ_ASAN 1
#endif
#endif
#ifdef KYL_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kyl_fuzz {

using T_Bytes = std::vector<std::uint8_t>;

// Expansions are cut off at this many bytes (KYL_DST_TOO_SMALL), which bounds
// an input's work: two blocks of the format's size, or 64 blocks where the
// fuzz build makes them small.
inline constexpr std::size_t Expansion_Limit = std::min(2 * std::size_t(5242880), 64 * std::size_t(Block_Size));

// The result of a library call: its status and the bytes it wrote, which stay
// valid until the next call with the same buffer.
struct T_Result {
    int Status = KYL_OK;
    std::span<const std::uint8_t> Bytes;
};

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
}

// The first `size` bytes of `buffer`, which only ever grows; the bytes
// behind them are out of bounds until the next call.
inline std::uint8_t* Room(T_Bytes& buffer, std::size_t size) {
#ifdef KYL_FUZZ_ASAN
    __asan_unpoison_memory_region(buffer.data(), buffer.size());
#endif
    if (buffer.size() < size) buffer.resize(size);
#ifdef KYL_FUZZ_ASAN
    __asan_poison_memory_region(buffer.data() + size, buffer.size() - size);
#endif
    return buffer.data();
}

inline T_Result Compress(const std::uint8_t* data, std::size_t size, T_Bytes& buffer, unsigned threads = 1) {
    const std::size_t capacity = kyl_compress_bound(size);
    std::size_t written = 0;
    const int status = kyl_compress(data, size, Room(buffer, capacity), capacity, &written, threads);
    return {status, {buffer.data(), written}};
}

inline void Require_Expansion_Status(int status) {
    if (status != KYL_OK && status != KYL_DAMAGED && status != KYL_TRUNCATED && status != KYL_DST_TOO_SMALL)
        Fail("expansion ended other than expanded, damaged, cut short or too large");
}

// Expands into `capacity` bytes of `buffer`.
inline T_Result Expand(const std::uint8_t* data, std::size_t size, T_Bytes& buffer, unsigned threads = 1,
                       std::size_t capacity = Expansion_Limit) {
    std::size_t written = 0;
    const int status = kyl_expand(data, size, Room(buffer, capacity), capacity, &written, threads);
    Require_Expansion_Status(status);
    std::size_t bound = 0;
    if (status == KYL_OK && (kyl_expand_bound(data, size, &bound) != KYL_OK || written > bound))
        Fail("an expansion passed its bound");
    return {status, {buffer.data(), written}};
}

// A hash of the input: what a target picks (threads, piece sizes) follows
// from the input itself, so a corpus file replays the same way every time.
inline std::uint32_t Seed_Of(const std::uint8_t* data, std::size_t size) {
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

// Takes what the stream offers into `out`, in pieces of random sizes up to
// 4 KiB; stops early once `out` holds more than `limit` bytes.
inline int Take_All(kyl_stream* stream, T_Bytes& out, std::size_t limit, std::mt19937& random) {
    static T_Bytes buffer;
    for (;;) {
        const std::size_t capacity = 1 + random() % 4096;
        std::uint8_t* const piece = Room(buffer, capacity);
        std::size_t taken = 0;
        const int status = kyl_stream_take(stream, piece, capacity, &taken);
        out.insert(out.end(), piece, piece + taken);
        if (status != KYL_OK || taken == 0 || out.size() > limit) return status;
    }
}

// Runs `data` through a stream of `direction` on `threads` threads, fed in
// pieces of random sizes up to 2 KiB and drained after every piece, into
// `out` (emptied first).  Returns the stream's end, or KYL_DST_TOO_SMALL once
// `out` passed `limit`.
inline int Through_Stream(int direction, unsigned threads, const std::uint8_t* data, std::size_t size,
                          std::mt19937& random, T_Bytes& out, std::size_t limit) {
    out.clear();
    kyl_stream* stream = nullptr;
    if (kyl_stream_create(&stream, direction, threads) != KYL_OK) Fail("no stream");
    int status = KYL_OK;
    for (std::size_t at = 0; at < size && status == KYL_OK && out.size() <= limit;) {
        std::size_t consumed = 0;
        const std::size_t piece = std::min<std::size_t>(size - at, 1 + random() % 2048);
        status = kyl_stream_feed(stream, data + at, piece, &consumed);
        at += consumed;
        if (status == KYL_OK) status = Take_All(stream, out, limit, random);
    }
    if (status == KYL_OK && out.size() <= limit) status = kyl_stream_finish(stream);
    if (status == KYL_OK) status = Take_All(stream, out, limit, random);
    kyl_stream_free(stream);
    return out.size() > limit ? KYL_DST_TOO_SMALL : status;
}

inline bool Same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) { return std::ranges::equal(a, b); }

}  // namespace kyl_fuzz
