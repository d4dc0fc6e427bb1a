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

// Moves the value v at rank r (0..7) to the front of a byte list: the first
// eight bytes shift up by one below rank r + 1 and keep their places above,
// in one load and one store instead of a call.
inline void Move_Within_Head(std::uint8_t* list, std::uint32_t r, std::uint8_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t head;
        std::memcpy(&head, list, sizeof head);
        const std::uint64_t moved_part = ~std::uint64_t(0) >> (56 - 8 * r);  // ranks 0..r
        head = (((head << 8) | v) & moved_part) | (head & ~moved_part);
        std::memcpy(list, &head, sizeof head);
    } else {
        std::memmove(list + 1, list, r);
        list[0] = v;
    }
}

}  // namespace

// The block loops keep the list as 256 bytes: the search for a value and the
// shift behind it then touch four cache lines at most, and the ranks that
// dominate after the transform (0 and 1) cost a compare or a swap.
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
        if (list[0] == v) {
            target[i] = 0;
            continue;
        }
        // Shift the values ahead of v back by one while looking for it.
        std::uint8_t carried = list[0];
        list[0] = v;
        std::int32_t r = 1;
        for (;; ++r) {
            const std::uint8_t here = list[r];
            list[r] = carried;
            if (here == v) break;
            carried = here;
        }
        target[i] = std::uint8_t(r);
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
            Move_Within_Head(list, r, v);
        } else {
            std::memmove(list + 1, list, r);
            list[0] = v;
        }
        target[i] = v;
    }
    Store_List(list);
}
