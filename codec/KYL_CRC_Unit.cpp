// SPDX-License-Identifier: MIT
#include "codec/KYL_CRC_Unit.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace {

using T_CRC_Table = std::array<std::uint32_t, 256>;

// Entry n: eight steps from n, each shifting right by one bit and folding in
// the reflected polynomial when a 1 falls out.  Built by the compiler, so the
// tables are fixed data of the program.
constexpr T_CRC_Table Make_CRC_Table() {
    T_CRC_Table table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t value = n;
        for (int step = 0; step < 8; ++step) value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0u);
        table[n] = value;
    }
    return table;
}

// Slice k holds the effect of a byte followed by k zero bytes:
// Slice[k][n] = Slice[k-1][n] run through one more zero byte.  Eight bytes
// then fold into the CRC with eight independent look-ups instead of a chain
// of eight dependent ones.
constexpr std::array<T_CRC_Table, 8> Make_Slice_Tables() {
    std::array<T_CRC_Table, 8> slices{};
    slices[0] = Make_CRC_Table();
    for (int k = 1; k < 8; ++k)
        for (std::uint32_t n = 0; n < 256; ++n)
            slices[k][n] = (slices[k - 1][n] >> 8) ^ slices[0][slices[k - 1][n] & 0xFF];
    return slices;
}

constexpr std::array<T_CRC_Table, 8> Slice = Make_Slice_Tables();
static_assert(Slice[0][1] == 0x77073096u && Slice[0][255] == 0x2D02EF8Du);

constexpr std::uint32_t Get_LE32(const std::uint8_t* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

// One table step per byte.
constexpr std::uint32_t Add_Bytes(std::uint32_t crc, const std::uint8_t* data, std::int32_t length) {
    for (std::int32_t i = 0; i < length; ++i) crc = Slice[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

// Eight bytes per step: the first four are XORed into the CRC, and every
// byte looks up the slice of the zero bytes that follow it in the group.
constexpr std::uint32_t Add_Slices(std::uint32_t crc, const std::uint8_t* data, std::int32_t length) {
    for (; length >= 8; data += 8, length -= 8) {
        const std::uint32_t low = Get_LE32(data) ^ crc;
        const std::uint32_t high = Get_LE32(data + 4);
        crc = Slice[7][low & 0xFF] ^ Slice[6][(low >> 8) & 0xFF] ^ Slice[5][(low >> 16) & 0xFF] ^ Slice[4][low >> 24] ^
              Slice[3][high & 0xFF] ^ Slice[2][(high >> 8) & 0xFF] ^ Slice[1][(high >> 16) & 0xFF] ^ Slice[0][high >> 24];
    }
    return Add_Bytes(crc, data, length);
}

// The sliced steps give the byte steps' result for every length and start.
constexpr bool Slices_Match_Bytes() {
    std::uint8_t data[67]{};
    std::uint32_t seed = 12345;
    for (auto& b : data) {
        seed = seed * 1103515245u + 12345u;
        b = std::uint8_t(seed >> 24);
    }
    for (std::int32_t start = 0; start < 3; ++start)
        for (std::int32_t length = 0; length + start <= 67; ++length)
            if (Add_Slices(0xFFFFFFFFu, data + start, length) != Add_Bytes(0xFFFFFFFFu, data + start, length)) return false;
    return true;
}
static_assert(Slices_Match_Bytes());

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KYL_CRC_FOLDING 1

// Carry-less multiplication folds 64 bytes at a time: the running remainder,
// four 128-bit lanes, is multiplied by x^(512 +- 32) mod P and added to the
// next 64 bytes, which leaves the CRC unchanged; at the end the lanes fold
// into one, then to 64 and 32 bits, and a Barrett reduction gives the
// remainder.  The constants are those powers of x mod P, bit-reflected.

// `lane` times the two powers in `by` (its low half by the low one, its high
// half by the high one), added to `next`.
[[gnu::target("pclmul,sse4.1")]] inline __m128i Fold(__m128i lane, __m128i by, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, by, 0x00), _mm_clmulepi64_si128(lane, by, 0x11)),
                         next);
}

[[gnu::target("pclmul,sse4.1")]] inline __m128i Load_128(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Takes a multiple of 16 bytes, at least 64.
[[gnu::target("pclmul,sse4.1")]] std::uint32_t Add_Folded(std::uint32_t crc, const std::uint8_t* data,
                                                           std::int64_t length) {
    const __m128i fold_4 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);  // x^(4*128+32), x^(4*128-32) mod P
    const __m128i fold_1 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);  // x^(128+32), x^(128-32) mod P
    const __m128i fold_32 = _mm_set_epi64x(0, 0x163cd6124);           // x^64 mod P
    const __m128i barrett = _mm_set_epi64x(0x1f7011641, 0x1db710641);  // floor(x^64 / P), P
    const __m128i low_32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i lanes[4] = {_mm_xor_si128(Load_128(data), _mm_cvtsi32_si128(int(crc))), Load_128(data + 16),
                        Load_128(data + 32), Load_128(data + 48)};
    data += 64;
    length -= 64;
    for (; length >= 64; data += 64, length -= 64)
        for (int k = 0; k < 4; ++k) lanes[k] = Fold(lanes[k], fold_4, Load_128(data + 16 * k));
    __m128i x = Fold(Fold(Fold(lanes[0], fold_1, lanes[1]), fold_1, lanes[2]), fold_1, lanes[3]);
    for (; length >= 16; data += 16, length -= 16) x = Fold(x, fold_1, Load_128(data));

    // 128 bits to 64 (with the 32 zero bits a CRC appends), then to 32.
    x = _mm_xor_si128(_mm_clmulepi64_si128(fold_1, x, 0x01), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low_32), fold_32, 0x00), _mm_srli_si128(x, 4));
    const __m128i quotient = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low_32), barrett, 0x10), low_32);
    x = _mm_xor_si128(x, _mm_clmulepi64_si128(quotient, barrett, 0x00));
    return std::uint32_t(_mm_extract_epi32(x, 1));
}

std::uint32_t Add_Folded_Then_Slices(std::uint32_t crc, const std::uint8_t* data, std::int32_t length) {
    if (length >= 64) {
        const std::int32_t folded = length & ~15;
        crc = Add_Folded(crc, data, folded);
        data += folded;
        length -= folded;
    }
    return Add_Slices(crc, data, length);
}
#endif

// The fastest way the processor offers, chosen on first use.
std::uint32_t Add_Any(std::uint32_t crc, const std::uint8_t* data, std::int32_t length) {
#ifdef KYL_CRC_FOLDING
    static const bool folding = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    if (folding) return Add_Folded_Then_Slices(crc, data, length);
#endif
    return Add_Slices(crc, data, length);
}

}  // namespace

std::uint32_t T_KYL_CRC32::Compute(const std::uint8_t* data, std::int32_t length) const {
    if (length <= 0) return 0;
    return Add_Any(0xFFFFFFFFu, data, length) ^ 0xFFFFFFFFu;
}
