#include "transforms/KYL_MTF_Unit.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <numeric>

#include "codec/KYL_Block_Unit.h"

void T_KYL_MTF::Reset_List() {
    std::iota(Rank_Of, Rank_Of + 256, 0);
    std::iota(Symbol_At, Symbol_At + 256, 0);
    Spare[0] = Spare[1] = Spare[2] = 0;
}

void T_KYL_MTF::Move_To_Front(std::int32_t v) {
    assert(v >= 0 && v < 256);
    const std::int32_t r = Rank_Of[v];
    if (r == 0) return;
    for (std::int32_t i = r; i >= 1; --i) {
        const std::int32_t u = Symbol_At[i - 1];
        Symbol_At[i] = u;
        Rank_Of[u] = i;
    }
    Symbol_At[0] = v;
    Rank_Of[v] = 0;
}

std::int32_t T_KYL_MTF::Encode_Symbol(std::int32_t v) {
    const std::int32_t r = Rank_Of[v];
    Move_To_Front(v);
    return r;
}

std::int32_t T_KYL_MTF::Decode_Symbol(std::int32_t r) {
    assert(r >= 0 && r < 256);
    const std::int32_t v = Symbol_At[r];
    Move_To_Front(v);
    return v;
}

void T_KYL_MTF::Store_List(const std::uint8_t* list) {
    for (std::int32_t r = 0; r < 256; ++r) {
        Symbol_At[r] = list[r];
        Rank_Of[list[r]] = r;
    }
}

namespace {

constexpr std::uint64_t Ones = 0x0101010101010101u;
constexpr std::uint64_t Highs = 0x8080808080808080u;

// Eight list bytes with list[0] lowest, in one load where the machine allows.
inline std::uint64_t Load_Word(const std::uint8_t* list) {
    std::uint64_t word;
    std::memcpy(&word, list, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

inline void Store_Word(std::uint8_t* list, std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    std::memcpy(list, &word, sizeof word);
}

// Moves the value v at rank r (0..7) of the word at `word_list` to its
// front, `carried` entering below: the bytes up to rank r shift up by one
// and the ones above keep their places, in one load and one store.
inline void Move_Within_Word(std::uint8_t* word_list, std::uint32_t r, std::uint8_t carried) {
    const std::uint64_t word = Load_Word(word_list);
    const std::uint64_t moved_part = ~std::uint64_t(0) >> (56 - 8 * r);  // ranks 0..r
    Store_Word(word_list, (((word << 8) | carried) & moved_part) | (word & ~moved_part));
}

}  // namespace

// The block loops keep the list as 256 bytes.  Encoding looks for a value
// eight ranks at a time and shifts each word it passes up by one byte, so a
// rank costs one step per eight; the ranks that dominate after the transform
// (0 and 1) cost one word.
void T_KYL_MTF::Encode(T_Block_Data& data) {
    Reset_List();
    const std::int32_t length = data.Source->Len;
    data.Target->Len = length;
    if (length <= 0) return;
    const std::uint8_t* const source = data.Source->Data;
    std::uint8_t* const target = data.Target->Data;
    std::uint8_t list[256];
    std::iota(list, list + 256, 0);
    for (std::int32_t i = 0; i < length; ++i) {
        const std::uint8_t v = source[i];
        const std::uint64_t pattern = Ones * v;
        // Invariant: the words before `at` hold no v and have moved up one
        // byte, the top byte of the last of them waiting in `carried`.
        std::uint64_t carried = v;
        for (std::int32_t at = 0;; at += 8) {
            const std::uint64_t word = Load_Word(list + at);
            const std::uint64_t match = word ^ pattern;
            // The lowest flag marks the first byte equal to v: a borrow only
            // runs upwards.
            const std::uint64_t flags = (match - Ones) & ~match & Highs;
            if (flags != 0) {
                const std::int32_t in_word = std::countr_zero(flags) / 8;
                const std::uint64_t moved_part = ~std::uint64_t(0) >> (56 - 8 * in_word);
                Store_Word(list + at, (((word << 8) | carried) & moved_part) | (word & ~moved_part));
                target[i] = std::uint8_t(at + in_word);
                break;
            }
            Store_Word(list + at, (word << 8) | carried);
            carried = word >> 56;
        }
    }
    Store_List(list);
}

void T_KYL_MTF::Decode(T_Block_Data& data) {
    Reset_List();
    const std::int32_t length = data.Source->Len;
    data.Target->Len = length;
    if (length <= 0) return;
    const std::uint8_t* const source = data.Source->Data;
    std::uint8_t* const target = data.Target->Data;
    std::uint8_t list[256];
    std::iota(list, list + 256, 0);
    for (std::int32_t i = 0; i < length; ++i) {
        const std::uint8_t r = source[i];
        const std::uint8_t v = list[r];
        if (r < 8) {
            Move_Within_Word(list, r, v);
        } else if (r < 16) {
            // The first word moves up whole; its top byte enters the second.
            const std::uint8_t top = list[7];
            Move_Within_Word(list, 7, v);
            Move_Within_Word(list + 8, r - 8, top);
        } else {
            std::memmove(list + 1, list, r);
            list[0] = v;
        }
        target[i] = v;
    }
    Store_List(list);
}
