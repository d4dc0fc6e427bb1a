// SPDX-License-Identifier: MIT
#include "transforms/KYL_MTF_Unit.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <numeric>

#include "block/KYL_Block_Unit.h"
#include "block/KYL_Word_Unit.h"

void T_KYL_MTF::Reset_List() {
    std::iota(Rank_Of, Rank_Of + 256, 0);
    std::iota(Symbol_At, Symbol_At + 256, 0);
    Spare[0] = Spare[1] = Spare[2] = 0;
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

// A word of the list with the value at rank r (0..7) taken out and
// `carried` entered at its front: the bytes up to rank r shift up by one and
// the ones above keep their places.
inline std::uint64_t Moved_Within_Word(std::uint64_t word, std::uint32_t r, std::uint8_t carried) {
    const std::uint64_t moved_part = ~std::uint64_t(0) >> (56 - 8 * r);  // ranks 0..r
    return (((word << 8) | carried) & moved_part) | (word & ~moved_part);
}

// The block loops keep the list as 256 bytes.  Encoding looks for a value
// eight ranks at a time and shifts each word it passes up by one byte, so a
// rank costs one step per eight; the ranks that dominate after the transform
// (0 and 1) cost one word.  Encodes source[from..to-1] from `list`, which it
// leaves as the list after them.
void Encode_Range(const std::uint8_t* source, std::int32_t from, std::int32_t to, std::uint8_t* target,
                  std::uint8_t* list) {
    // `head` holds ranks 0..7 as in Decode; list[8..255] the others.
    std::uint64_t head = Load_LE64(list);
    for (std::int32_t i = from; i < to; ++i) {
        const std::uint8_t v = source[i];
        const std::uint64_t pattern = Ones * v;
        std::uint64_t word = head;
        std::uint64_t carried = v;
        // Invariant: the words before `at` hold no v and have moved up one
        // byte, the top byte of the last of them waiting in `carried`; `word`
        // holds ranks at..at+7.
        for (std::int32_t at = 0;; at += 8) {
            const std::uint64_t match = word ^ pattern;
            // The lowest flag marks the first byte equal to v: a borrow only
            // runs upwards.
            const std::uint64_t flags = (match - Ones) & ~match & Highs;
            if (flags != 0) {
                const std::int32_t in_word = std::countr_zero(flags) / 8;
                const std::uint64_t moved = Moved_Within_Word(word, std::uint32_t(in_word), std::uint8_t(carried));
                if (at == 0) head = moved;
                else Store_LE64(list + at, moved);
                target[i] = std::uint8_t(at + in_word);
                break;
            }
            if (at == 0) head = (word << 8) | carried;
            else Store_LE64(list + at, (word << 8) | carried);
            carried = word >> 56;
            word = Load_LE64(list + at + 8);
        }
    }
    Store_LE64(list, head);
}

// Blocks from this size are encoded in this many parts when threads are
// lent; each part starts from the list that the bytes before it leave.
constexpr std::int32_t Encode_Parts_From = 1 << 18;
constexpr int Encode_Parts = 4;

// The list after some bytes from the identity list: the values met, the last
// met first, then the others in their first order.  latest[v]: where v was
// last met, -1 when never.
void List_After(const std::int32_t* latest, std::uint8_t* list) {
    std::iota(list, list + 256, 0);
    std::stable_sort(list, list + 256, [latest](std::uint8_t a, std::uint8_t b) { return latest[a] > latest[b]; });
}

}  // namespace

void T_KYL_MTF::Encode(T_Block_Data& data) {
    Reset_List();
    const std::int32_t length = data.Source->Len;
    data.Target->Len = length;
    if (length <= 0) return;
    const std::uint8_t* const source = data.Source->Data;
    std::uint8_t* const target = data.Target->Data;
    T_KYL_Helpers* const helpers = Helpers;
    if (!helpers || length < Encode_Parts_From || !helpers->Thread_Waiting()) {
        std::uint8_t list[256];
        std::iota(list, list + 256, 0);
        Encode_Range(source, 0, length, target, list);
        Store_List(list);
        return;
    }
    // Where each value is last met in each part, then each part's list from
    // the parts before it.
    auto part_start = [length](int part) { return std::int32_t(std::int64_t(length) * part / Encode_Parts); };
    std::int32_t latest[Encode_Parts][256];
    helpers->Run_Parts(Encode_Parts, [&](int part) {
        std::fill(latest[part], latest[part] + 256, -1);
        for (std::int32_t i = part_start(part), end = part_start(part + 1); i < end; ++i) latest[part][source[i]] = i;
    });
    std::uint8_t lists[Encode_Parts][256];
    helpers->Run_Parts(Encode_Parts, [&](int part) {
        std::int32_t before[256];
        std::fill(before, before + 256, -1);
        for (int earlier = 0; earlier < part; ++earlier)
            for (int v = 0; v < 256; ++v) before[v] = std::max(before[v], latest[earlier][v]);
        List_After(before, lists[part]);
        Encode_Range(source, part_start(part), part_start(part + 1), target, lists[part]);
    });
    Store_List(lists[Encode_Parts - 1]);
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
    // Invariant: `head` holds ranks 0..7, list[8..255] the others.  The
    // ranks that dominate after the transform then move in a register, with
    // no store for the next symbol to wait on.
    std::uint64_t head = Load_LE64(list);
    for (std::int32_t i = 0; i < length; ++i) {
        const std::uint8_t r = source[i];
        std::uint8_t v;
        if (r < 8) {
            v = std::uint8_t(head >> (8 * r));
            head = Moved_Within_Word(head, r, v);
        } else if (r < 16) {
            // The head moves up whole; its top byte enters the second word.
            v = list[r];
            Store_LE64(list + 8, Moved_Within_Word(Load_LE64(list + 8), r - 8, std::uint8_t(head >> 56)));
            head = (head << 8) | v;
        } else {
            v = list[r];
            std::memmove(list + 9, list + 8, r - 8);
            list[8] = std::uint8_t(head >> 56);
            head = (head << 8) | v;
        }
        target[i] = v;
    }
    Store_LE64(list, head);
    Store_List(list);
}
