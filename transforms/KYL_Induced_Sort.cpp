// SPDX-License-Identifier: MIT
#include "transforms/KYL_Induced_Sort.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

#include "block/KYL_Block_Unit.h"
#include "block/KYL_Word_Unit.h"
#include "transforms/KYL_Byte_Counts.h"

// Induced sorting over a string of n positions whose last one, n - 1, is a
// sentinel below every symbol.  A suffix is S-type when it is smaller than
// the suffix after it and L-type when larger; a leftmost S-type suffix (LMS)
// is an S-type suffix preceded by an L-type one.  Sorting the LMS suffixes is
// enough: one left-to-right scan then places every L-type suffix and one
// right-to-left scan every S-type suffix.  The LMS suffixes are sorted by
// naming their LMS substrings and, while names repeat, sorting the string of
// names the same way.
//
// The first level is the block: its bytes, and the end-of-block position as
// the sentinel, which is never read.  The levels below are strings of names
// whose last name, 0, occurs nowhere else and is the sentinel itself.  Both
// keep the sentinel's suffix in row 0 and the buckets of the symbols behind
// it.
//
// Threads lent to the block take parts of the passes of long levels: the
// types, the LMS substrings' sort and names, and the placing of the sorted
// LMS suffixes.  The induced scans, each one chain through its rows, run on
// the block's own thread.  Every part writes places of its own, so the order
// is the same however the parts fall.

namespace {

// Rows ahead whose symbols are fetched before the scans reach them: the
// scans read the symbol before a suffix spread over the whole string.
constexpr std::int32_t Prefetch_Distance = 32;

class T_Type_Bits {
public:
    explicit T_Type_Bits(const std::uint32_t* words) : Words(words) {}
    bool Is_S(std::int32_t i) const { return (Words[i >> 5] >> (i & 31)) & 1u; }
    bool Is_LMS(std::int32_t i) const { return Is_S(i) && !Is_S(i - 1); }
    const std::uint32_t* Word_Of(std::int32_t i) const { return Words + (i >> 5); }

private:
    const std::uint32_t* Words;
};

// One level: the symbols s[0..last-1] before the sentinel at `last`, the
// bucket starts of the symbols 0..alphabet-1 (start[alphabet] = last + 1),
// the fill positions of the scan in progress, and the type bits.
template <class T_Symbol>
struct T_Level {
    const T_Symbol* S;
    std::int32_t Last;
    std::int32_t Alphabet;
    std::int32_t* Start;
    std::int32_t* Front;
    std::uint32_t* Type_Words;

    void Fronts_At_Starts() const { std::copy(Start, Start + Alphabet, Front); }
    void Fronts_At_Ends() const { std::copy(Start + 1, Start + Alphabet + 1, Front); }
    // A position the scans may fetch ahead of time, for a row that may still
    // be empty (negative).
    const T_Symbol* Ahead(std::int32_t p) const { return S + std::max(p, 1) - 1; }
};

// ------------------------------------------------------------------ parts

// Levels at least this long pass over their string in parts when threads
// are lent, and then sort their LMS substrings by comparison: the block from
// a quarter of a megabyte, a string of names from a million.  Shorter passes
// gain less than a part can lose on a busy machine, where the pass waits for
// a lent thread that the machine has stopped in the middle of its part.
template <class T_Symbol>
constexpr std::int32_t Parts_From = sizeof(T_Symbol) == 1 ? 1 << 18 : 1 << 20;
// Parts of a pass when threads are lent.
constexpr int Pass_Parts = 16;

// The free words [Begin, End) of a level's work area and the threads lent
// to the sort (none: every pass runs whole, here).
struct T_Work {
    std::uint32_t* Begin;
    std::uint32_t* End;
    T_KYL_Helpers* Helpers;
};

// The parts a pass over a level of n symbols is cut into.
template <class T_Symbol>
int Parts_Of(const T_Work& work, std::int32_t n) {
    return work.Helpers && n >= Parts_From<T_Symbol> ? Pass_Parts : 1;
}

// `work` for a level of n symbols, with its threads only while one of them
// waits for work: on one thread a pass in parts costs a little more than the
// pass whole.  Taken once for a pass, or for a level whose steps must agree
// on their parts.
template <class T_Symbol>
T_Work Lent_Now(const T_Work& work, std::int32_t n) {
    const bool lent = Parts_Of<T_Symbol>(work, n) > 1 && work.Helpers->Thread_Waiting();
    return {work.Begin, work.End, lent ? work.Helpers : nullptr};
}

// Runs part(0..count-1) through the lent threads, or all here.
void Run_In_Parts(T_KYL_Helpers* helpers, int count, const std::function<void(int)>& part) {
    if (helpers && count > 1) {
        helpers->Run_Parts(count, part);
    } else {
        for (int k = 0; k < count; ++k) part(k);
    }
}

// The first of `count` items in part k of `parts`.
std::int32_t Part_Start(std::int32_t count, int k, int parts) { return std::int32_t(std::int64_t(count) * k / parts); }

// ------------------------------------------------------------- the types

// The type bit of suffix i < last - 1 from the symbols from i on: the first
// symbol that differs from the next decides.  The sentinel's predecessor is
// L-type.
template <class T_Symbol>
std::uint32_t Type_At(const T_Symbol* s, std::int32_t i, std::int32_t last) {
    while (i < last - 1 && s[i] == s[i + 1]) ++i;
    return i < last - 1 && s[i] < s[i + 1] ? 1u : 0u;
}

// Bit i of the type words is set when suffix i is S-type.  The sentinel is
// S-type and the suffix before it L-type; leftwards, a symbol equal to the
// next inherits its type.  Each part sets the words of positions
// [32 * first_word, 32 * end_word), starting from the type of the position
// after them.  For bytes, also counts the symbols of those positions into
// `counts` (256 entries).
template <class T_Symbol>
void Classify_Words(const T_Level<T_Symbol>& level, std::int32_t first_word, std::int32_t end_word,
                    std::int32_t* counts) {
    const T_Symbol* const s = level.S;
    const std::int32_t last = level.Last;
    const std::int32_t top = std::min(end_word * 32, last - 1);  // positions [first, top) are typed here
    const std::int32_t first = first_word * 32;
    std::uint32_t next_is_s = top < last - 1 ? Type_At(s, top, last) : 0u;
    std::uint32_t word = 0;
    for (std::int32_t i = top - 1; i >= first; --i) {
        const T_Symbol a = s[i], b = s[i + 1];
        next_is_s = std::uint32_t(a < b) | (std::uint32_t(a == b) & next_is_s);
        word |= next_is_s << (i & 31);
        if ((i & 31) == 0) {
            level.Type_Words[i >> 5] |= word;
            word = 0;
        }
    }
    if constexpr (sizeof(T_Symbol) == 1) {
        Count_Byte_Values(s, first, std::min(end_word * 32, last), counts);
    }
}

// The bucket starts and the type bits of a level.  A name string counts its
// sentinel (name 0) into row 0; the block's sentinel has no byte, so the
// bytes start at row 1.  Bytes are counted and typed in parts.
template <class T_Symbol>
void Prepare_Level(const T_Level<T_Symbol>& level, const T_Work& all_work) {
    constexpr bool Bytes = sizeof(T_Symbol) == 1;
    const std::int32_t last = level.Last, n = last + 1;
    const T_Work work = Lent_Now<T_Symbol>(all_work, n);
    const std::int32_t symbols = Bytes ? last : n;
    std::uint32_t* const words = level.Type_Words;
    const std::int32_t word_count = std::int32_t(Induced_Sort_Type_Words(n));
    std::memset(words, 0, std::size_t(word_count) * sizeof(std::uint32_t));
    words[last >> 5] |= 1u << (last & 31);
    std::int32_t* const start = level.Start;
    std::fill(start, start + level.Alphabet + 1, 0);
    const int parts = Parts_Of<T_Symbol>(work, n);
    std::int32_t counts[Pass_Parts][256];
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        Classify_Words(level, Part_Start(word_count, part, parts), Part_Start(word_count, part + 1, parts),
                       counts[part]);
    });
    if constexpr (Bytes) {
        for (int part = 0; part < parts; ++part)
            for (int c = 0; c < 256; ++c) start[c] += counts[part][c];
    } else {
        for (std::int32_t i = 0; i < symbols; ++i) ++start[level.S[i]];
    }
    std::int32_t row = n - symbols;
    for (std::int32_t c = 0; c <= level.Alphabet; ++c) row += std::exchange(start[c], row);
}

// ------------------------------------------------------- LMS positions

// The LMS bits of type word w: S-type with an L-type suffix before it.
inline std::uint32_t LMS_Bits(const std::uint32_t* words, std::int32_t w) {
    const std::uint32_t previous_top = w == 0 ? 1u : words[w - 1] >> 31;  // suffix 0 has no suffix before it
    return words[w] & ~((words[w] << 1) | previous_top);
}

// Calls visit(p) for every LMS position p of the type words
// [first_word, end_word) up to `last`, rising.
template <class T_Visit>
void For_Each_LMS_In(const std::uint32_t* words, std::int32_t first_word, std::int32_t end_word, std::int32_t last,
                     T_Visit visit) {
    for (std::int32_t w = first_word; w < end_word && w <= last >> 5; ++w) {
        for (std::uint32_t lms = LMS_Bits(words, w); lms != 0; lms &= lms - 1) {
            const std::int32_t p = w * 32 + std::countr_zero(lms);
            if (p > last) return;
            visit(p);
        }
    }
}

// Calls visit(p) for every LMS position p in 1..last, rising; the sentinel
// at `last` is the last of them.
template <class T_Visit>
void For_Each_LMS(const std::uint32_t* words, std::int32_t last, T_Visit visit) {
    For_Each_LMS_In(words, 0, (last >> 5) + 1, last, visit);
}

// The first LMS position at or after p (the sentinel's at most).
inline std::int32_t Next_LMS(const std::uint32_t* words, std::int32_t p) {
    std::int32_t w = p >> 5;
    std::uint32_t lms = LMS_Bits(words, w) & (~0u << (p & 31));
    while (lms == 0) lms = LMS_Bits(words, ++w);
    return w * 32 + std::countr_zero(lms);
}

// The number of LMS positions of the type words [first_word, end_word) up to
// `last`.
inline std::int32_t Count_LMS_In(const std::uint32_t* words, std::int32_t first_word, std::int32_t end_word,
                                 std::int32_t last) {
    std::int32_t count = 0;
    const std::int32_t top_word = std::min(end_word, (last >> 5) + 1);
    for (std::int32_t w = first_word; w < top_word; ++w) {
        std::uint32_t lms = LMS_Bits(words, w);
        if (w == last >> 5 && (last & 31) != 31) lms &= (2u << (last & 31)) - 1;
        count += std::popcount(lms);
    }
    return count;
}

// Left to right: every L-type suffix lands after the suffix it precedes.
// The rows hold LMS and L-type suffixes only, and before those the suffix
// p - 1 is L-type exactly when its symbol is not below that of p.
template <class T_Symbol>
void Induce_L(const T_Level<T_Symbol>& level, std::int32_t* sa) {
    const T_Symbol* const s = level.S;
    const std::int32_t last = level.Last;
    std::int32_t* const front = level.Front;
    level.Fronts_At_Starts();
    sa[front[s[last - 1]]++] = last - 1;  // the sentinel's predecessor, after row 0
    for (std::int32_t i = 1; i <= last; ++i) {
        if (i + Prefetch_Distance <= last) __builtin_prefetch(level.Ahead(sa[i + Prefetch_Distance]));
        const std::int32_t p = sa[i];
        if (p <= 0) continue;
        const T_Symbol c = s[p - 1];
        if (c >= s[p]) sa[front[c]++] = p - 1;
    }
}

// Right to left: every S-type suffix, filling buckets from their ends.  The
// scan reaches a row of bucket c only after filling it, so the rows of c at
// or above its fill front hold S-type suffixes and the rows below it L-type
// ones.  With an output, also writes the symbol before the suffix of every
// row but the sentinel's and the one of suffix 0, and returns the row of
// suffix 0.
template <class T_Symbol>
std::int32_t Induce_S(const T_Level<T_Symbol>& level, std::int32_t* sa, T_Symbol* output) {
    const T_Symbol* const s = level.S;
    std::int32_t* const front = level.Front;
    level.Fronts_At_Ends();
    std::int32_t primary = 0;
    for (std::int32_t i = level.Last; i >= 1; --i) {
        if (i - Prefetch_Distance >= 1) __builtin_prefetch(level.Ahead(sa[i - Prefetch_Distance]));
        const std::int32_t p = sa[i];
        if (p <= 0) {
            if (p == 0) primary = i;
            continue;
        }
        const T_Symbol c = s[p - 1], d = s[p];
        if (output) output[i] = c;
        if (c < d || (c == d && i >= front[c])) sa[--front[c]] = p - 1;
    }
    return primary;
}

// Whether the spans at a and b, neither reaching the sentinel, hold the same
// symbols.  For bytes, reads stay within the block and the seven bytes after
// it.
bool Same_Span(const std::uint8_t* s, std::int32_t a, std::int32_t b, std::int32_t span) {
    for (std::int32_t k = 0; k < span; k += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, s + a + k, sizeof x);
        std::memcpy(&y, s + b + k, sizeof y);
        std::uint64_t differ = x ^ y;
        if (span - k < 8) differ &= (std::uint64_t(1) << (8 * (span - k))) - 1;
        if (differ != 0) return false;
    }
    return true;
}

bool Same_Span(const std::int32_t* s, std::int32_t a, std::int32_t b, std::int32_t span) {
    return std::memcmp(s + a, s + b, std::size_t(span) * sizeof(std::int32_t)) == 0;
}

// Names the sorted LMS substrings in sa[0..n1-1] and leaves the string of
// names, in text order, in sa[n-n1..n-1]; returns the number of names.  Each
// substring's length, and then its name, sits at sa[n1 + p / 2] (LMS
// positions are at least two apart, so n1 <= n / 2 and these fit).  Equal
// names need equal lengths and symbols: the types then agree too.
template <class T_Symbol>
std::int32_t Name_LMS_Substrings(const T_Level<T_Symbol>& level, std::int32_t* sa, std::int32_t n1) {
    const std::int32_t last = level.Last, n = last + 1;
    std::fill(sa + n1, sa + n, -1);
    std::int32_t previous = -1;
    For_Each_LMS(level.Type_Words, last, [&](std::int32_t p) {
        if (previous >= 0) sa[n1 + previous / 2] = p - previous + 1;
        previous = p;
    });
    sa[n1 + last / 2] = 1;

    std::int32_t names = 0, previous_span = 0;
    previous = -1;
    for (std::int32_t k = 0; k < n1; ++k) {
        if (k + Prefetch_Distance < n1) {
            const std::int32_t ahead = sa[k + Prefetch_Distance];
            __builtin_prefetch(sa + n1 + ahead / 2);
            __builtin_prefetch(level.S + ahead);
        }
        const std::int32_t p = sa[k];
        const std::int32_t span = sa[n1 + p / 2];
        // A substring that reaches the sentinel is unlike every other.
        const bool same = previous >= 0 && span == previous_span && p + span <= last && previous + span <= last &&
                          Same_Span(level.S, p, previous, span);
        if (!same) ++names;
        previous = p;
        previous_span = span;
        sa[n1 + p / 2] = names - 1;
    }
    for (std::int32_t i = n - 1, j = n - 1; i >= n1; --i)
        if (sa[i] >= 0) sa[j--] = sa[i];
    return names;
}

// ------------------------------------------------- stage 1 by comparison
//
// With threads lent, a long level sorts its LMS substrings directly
// instead: together they are at most twice as long as the level, most part
// within a few symbols, and once bucketed by their first symbols (two bytes,
// or one name) the buckets sort independently, in parts that the lent
// threads take.  The sort also tells
// which substrings are equal, so naming needs no second look at the symbols.
//
// The order is that of the induced scans.  Two substrings compare like their
// symbols, each followed by padding no smaller than any symbol, up to the end
// of the longer: where one is a proper prefix of the other, the longer goes
// on after the shorter's last symbol c with an L-type run of c that falls
// below c before it ends, so it is the smaller, as its suffix there is
// L-type and the shorter's S-type.  Equal padded symbols mean equal
// substrings.  The block's sentinel has no byte; the one substring that
// reaches it, the last, is placed among the sorted ones by search.  A name
// string's sentinel is its unique smallest name and sorts like any other.

// Ranges at or below this many rows are sorted by insertion; byte rows
// above Byte_Split_Rows split by their next key byte at once.
constexpr std::int32_t Small_Row_Range = 16;
constexpr std::int32_t Byte_Split_Rows = 256;

// A byte row: the substring's next five bytes from the current depth, padded
// past its end with 0xFF, in bits 24..63, and its position in bits 0..23.
// Its span is looked up by position.  Once sorted, it keeps its position and
// the Group_Start flag of the first of a group of equal substrings.
constexpr int Byte_Position_Bits = 24;
constexpr std::uint64_t Byte_Position_Mask = (std::uint64_t(1) << Byte_Position_Bits) - 1;
constexpr std::int32_t Byte_Key_Symbols = 5;
constexpr std::uint64_t Group_Start = std::uint64_t(1) << 63;
static_assert(Max_Transformed_Length < (1 << Byte_Position_Bits), "a position fits below the key");

// A name row: as many names of the substring as fit 64 bits from the
// current depth, padded past its end with a value above every name, its
// position and its span.  Once sorted, Key is 1 in the first row of a group.
struct T_Name_Row {
    std::uint64_t Key;
    std::int32_t Position;
    std::int32_t Span;
};

template <class T_Symbol>
class T_Substring_Sorter {
public:
    static constexpr bool Bytes = sizeof(T_Symbol) == 1;
    using T_Row = std::conditional_t<Bytes, std::uint64_t, T_Name_Row>;
    // Words of 32 bits a level of n symbols asks for its rows.
    static constexpr std::size_t Row_Words(std::int32_t n) { return (std::size_t(n) / 2) * (sizeof(T_Row) / 4); }

    // span_of[p / 2]: the symbols of the substring at p, its last LMS
    // position included.  Names take symbol_bits bits.
    T_Substring_Sorter(const T_Symbol* s, const std::int32_t* span_of, T_Row* rows, int symbol_bits)
        : S(s),
          Span_Of(span_of),
          Rows(rows),
          Symbol_Bits(symbol_bits),
          Key_Symbols(Bytes ? Byte_Key_Symbols : 64 / symbol_bits),
          Padding((std::uint64_t(1) << symbol_bits) - 1) {}

    static std::int32_t Position(const T_Row& row) {
        if constexpr (Bytes) return std::int32_t(row & Byte_Position_Mask);
        else return row.Position;
    }
    static bool Starts_Group(const T_Row& row) {
        if constexpr (Bytes) return (row & Group_Start) != 0;
        else return row.Key != 0;
    }

    // The row of the substring at p with the symbols from `depth` on.
    T_Row Row(std::int32_t p, std::int32_t depth) const { return Make_Row(p, Span_Of[p / 2], depth); }

    // Sorts Rows[lo..hi-1], whose substrings agree on their first `depth`
    // symbols and whose keys start there, and marks the first row of every
    // group of equal substrings; returns the number of groups.
    std::int32_t Sort(std::int32_t lo, std::int32_t hi, std::int32_t depth) {
        Groups = 0;
        Stack.clear();
        Stack.push_back({lo, hi, depth, 0});
        while (!Stack.empty()) {
            const T_Range range = Stack.back();
            Stack.pop_back();
            if (range.Hi - range.Lo <= Small_Row_Range) {
                Sort_Small(range);
                continue;
            }
            if constexpr (Bytes) {
                if (range.Hi - range.Lo > Byte_Split_Rows && range.Settled < Key_Symbols) {
                    Split_By_Byte(range);
                    continue;
                }
            }
            Split_At_Pivot(range);
        }
        return Groups;
    }

private:
    // Rows Lo..Hi-1 agree on Depth symbols, and their keys, which start
    // there, on their first Settled symbols.
    struct T_Range {
        std::int32_t Lo, Hi, Depth, Settled;
    };

    T_Row Make_Row(std::int32_t p, std::int32_t span, std::int32_t depth) const {
        const std::int32_t keep = span - depth;
        if constexpr (Bytes) {
            // Eight bytes at once; reads stay within the seven bytes after
            // the block.
            std::uint64_t key = ~std::uint64_t(0);
            if (keep > 0) {
                key = Load_BE64(S + p + depth);
                if (keep < 8) key |= ~std::uint64_t(0) >> (8 * keep);
            }
            return (key & ~Byte_Position_Mask) | std::uint64_t(p);
        } else {
            std::uint64_t key = 0;
            for (std::int32_t j = 0; j < Key_Symbols; ++j)
                key = key << Symbol_Bits | (j < keep ? std::uint64_t(S[p + depth + j]) : Padding);
            return {key << (64 - Key_Symbols * Symbol_Bits), p, span};
        }
    }
    static std::uint64_t Key(const T_Row& row) {
        if constexpr (Bytes) return row >> Byte_Position_Bits;
        else return row.Key;
    }
    std::int32_t Span(const T_Row& row) const {
        if constexpr (Bytes) return Span_Of[Position(row) / 2];
        else return row.Span;
    }

    void Sort_Small(const T_Range& range) {
        for (std::int32_t i = range.Lo + 1; i < range.Hi; ++i) {
            const T_Row row = Rows[i];
            const std::uint64_t key = Key(row);
            std::int32_t j = i;
            for (; j > range.Lo && Key(Rows[j - 1]) > key; --j) Rows[j] = Rows[j - 1];
            Rows[j] = row;
        }
        for (std::int32_t i = range.Lo; i < range.Hi;) {
            std::int32_t j = i + 1;
            while (j < range.Hi && Key(Rows[j]) == Key(Rows[i])) ++j;
            Settle({i, j, range.Depth, Key_Symbols});
            i = j;
        }
    }

    // The ternary split at the median of three keys: the rows below and
    // above go back on the stack, the equal ones are settled.
    void Split_At_Pivot(const T_Range& range) {
        const std::int32_t lo = range.Lo, hi = range.Hi;
        const std::uint64_t a = Key(Rows[lo]), b = Key(Rows[lo + (hi - lo) / 2]), c = Key(Rows[hi - 1]);
        const std::uint64_t pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        std::int32_t below = lo, i = lo, above = hi;
        while (i < above) {
            const std::uint64_t key = Key(Rows[i]);
            if (key < pivot) {
                std::swap(Rows[below++], Rows[i++]);
            } else if (key > pivot) {
                std::swap(Rows[i], Rows[--above]);
            } else {
                ++i;
            }
        }
        if (below > lo) Stack.push_back({lo, below, range.Depth, range.Settled});
        if (hi > above) Stack.push_back({above, hi, range.Depth, range.Settled});
        Settle({below, above, range.Depth, Key_Symbols});
    }

    // The counting split of byte rows by key byte Settled, in place by
    // following cycles of displaced rows.
    void Split_By_Byte(const T_Range& range) requires Bytes {
        const int shift = 64 - 8 * (range.Settled + 1);
        std::int32_t count[256] = {}, next[256], end[256];
        for (std::int32_t k = range.Lo; k < range.Hi; ++k)
            ++count[(Key(Rows[k]) << Byte_Position_Bits >> shift) & 0xFF];
        for (std::int32_t b = 0, start = range.Lo; b < 256; ++b) {
            next[b] = start;
            start += count[b];
            end[b] = start;
        }
        for (int b = 0; b < 256; ++b) {
            while (next[b] < end[b]) {
                T_Row row = Rows[next[b]];
                int t = int((row >> shift) & 0xFF);
                while (t != b) {
                    std::swap(row, Rows[next[t]++]);
                    t = int((row >> shift) & 0xFF);
                }
                Rows[next[b]++] = row;
            }
        }
        for (int b = 255; b >= 0; --b) {
            if (count[b] == 0) continue;
            const T_Range part{end[b] - count[b], end[b], range.Depth, range.Settled + 1};
            if (part.Settled == Key_Symbols) {
                Settle(part);
            } else {
                Stack.push_back(part);
            }
        }
    }

    // Rows whose keys are all equal: one group once every substring has
    // ended within the key, else the next keys decide.  A key that ends in
    // a symbol is not padded, so its substring goes on (or ends right
    // there, which the next key tells).
    void Settle(const T_Range& range) {
        const std::int32_t next = range.Depth + Key_Symbols;
        bool ended = range.Hi - range.Lo == 1;
        if (!ended) {
            if constexpr (Bytes) {
                ended = (Key(Rows[range.Lo]) & 0xFF) == 0xFF;
            } else {
                ended = (Key(Rows[range.Lo]) >> (64 - Key_Symbols * Symbol_Bits) & Padding) == Padding;
            }
            for (std::int32_t k = range.Lo; k < range.Hi && ended; ++k) ended = Span(Rows[k]) <= next;
        }
        if (ended) {
            for (std::int32_t k = range.Lo; k < range.Hi; ++k) Mark(Rows[k], k == range.Lo);
            ++Groups;
            return;
        }
        for (std::int32_t k = range.Lo; k < range.Hi; ++k) {
            const T_Row& row = Rows[k];
            Rows[k] = Make_Row(Position(row), Span(row), next);
        }
        Stack.push_back({range.Lo, range.Hi, next, 0});
    }

    static void Mark(T_Row& row, bool first) {
        if constexpr (Bytes) row = (row & Byte_Position_Mask) | (first ? Group_Start : 0);
        else row.Key = first ? 1 : 0;
    }

    const T_Symbol* S;
    const std::int32_t* Span_Of;
    T_Row* Rows;
    int Symbol_Bits;
    std::int32_t Key_Symbols;
    std::uint64_t Padding;
    std::int32_t Groups = 0;
    std::vector<T_Range> Stack;
};

// Whether the substring at p (`span` bytes, padded) sorts before the one at
// z, which runs up to the block's sentinel at `last`.
bool Before_Last_Substring(const std::uint8_t* s, std::int32_t p, std::int32_t span, std::int32_t z,
                           std::int32_t last) {
    for (std::int32_t j = 0; z + j < last; ++j) {
        const int a = j < span ? s[p + j] : 0xFF;
        if (a != s[z + j]) return a < s[z + j];
    }
    return false;  // the sentinel is below every byte
}

// Stage 1 by comparison: names the LMS substrings and leaves the string of
// names, in text order, in sa[n-n1..n-1], as Name_LMS_Substrings does;
// returns the number of names and sets n1.  Spans, then names, sit at
// sa[n/2 + p/2], and the bucket tables of the parts below them; the rows
// take T_Substring_Sorter::Row_Words(n) words at `row_area` (aligned for
// them), which also holds the names in text order before they move.
template <class T_Symbol>
std::int32_t Sort_And_Name_Substrings(const T_Level<T_Symbol>& level, std::int32_t* sa, void* row_area,
                                      const T_Work& work, std::int32_t& n1) {
    using T_Sorter = T_Substring_Sorter<T_Symbol>;
    using T_Row = typename T_Sorter::T_Row;
    constexpr bool Bytes = T_Sorter::Bytes;
    const std::int32_t last = level.Last, n = last + 1, half = n / 2;
    const T_Symbol* const s = level.S;
    const std::uint32_t* const words = level.Type_Words;
    auto* const rows = static_cast<T_Row*>(row_area);
    std::int32_t* const span_of = sa + half;
    const int parts = Parts_Of<T_Symbol>(work, n);
    const std::int32_t word_count = (last >> 5) + 1;

    // The spans, and the LMS positions below the sentinel counted: the rows
    // are those but for the block's last, z, which is placed apart.
    std::vector<std::int32_t> part_lms(std::size_t(parts) + 1, 0);
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        const std::int32_t first_word = Part_Start(word_count, part, parts);
        const std::int32_t end_word = Part_Start(word_count, part + 1, parts);
        std::fill(span_of + std::min(first_word * 16, n - half), span_of + std::min(end_word * 16, n - half), -1);
        std::int32_t count = 0;
        For_Each_LMS_In(words, first_word, end_word, last - 1, [&](std::int32_t p) {
            span_of[p / 2] = Next_LMS(words, p + 1) - p + 1;
            ++count;
        });
        part_lms[std::size_t(part) + 1] = count;
    });
    span_of[last / 2] = 1;
    std::int32_t m = 0;
    for (const std::int32_t count : part_lms) m += count;
    std::int32_t last_lms = -1;
    if (m > 0) {
        // The highest LMS position below the sentinel.
        std::int32_t w = (last - 1) >> 5;
        std::uint32_t lms = LMS_Bits(words, w) & (((last - 1) & 31) == 31 ? ~0u : (2u << ((last - 1) & 31)) - 1);
        while (lms == 0) lms = LMS_Bits(words, --w);
        last_lms = w * 32 + 31 - std::countl_zero(lms);
    }
    const bool z_apart = Bytes && last_lms >= 0;
    if (z_apart) --m;
    const std::int32_t sorted_end = z_apart ? last_lms : last;  // rows: LMS positions below this

    // Buckets by the first two bytes or the first name.  Each part of the
    // scatter counts its own; the tables of all sit below span_of, or for a
    // name string of one part in the level's fill positions.
    const std::int32_t bucket_count = Bytes ? 1 << 16 : level.Alphabet;
    const int scatter_parts = std::clamp(std::min(parts, 4), 1, std::max(1, int(half / std::max(bucket_count, 1))));
    std::int32_t* const tables = Bytes || scatter_parts > 1 ? sa : level.Front;
    auto table = [&](int part) { return tables + std::size_t(part) * std::size_t(bucket_count); };
    auto bucket_of = [s](std::int32_t p) {
        if constexpr (Bytes) return std::int32_t(s[p]) << 8 | s[p + 1];
        else return s[p];
    };
    const std::int32_t first_depth = Bytes ? 2 : 1;
    const std::int32_t sorted_words = sorted_end > 0 ? ((sorted_end - 1) >> 5) + 1 : 0;
    Run_In_Parts(work.Helpers, scatter_parts, [&](int part) {
        std::int32_t* const counts = table(part);
        std::fill(counts, counts + bucket_count, 0);
        For_Each_LMS_In(words, Part_Start(sorted_words, part, scatter_parts),
                        Part_Start(sorted_words, part + 1, scatter_parts), sorted_end - 1,
                        [&](std::int32_t p) { ++counts[bucket_of(p)]; });
    });
    // Part k's table: where its rows of each bucket go.
    for (std::int32_t b = 0, row = 0; b < bucket_count; ++b) {
        for (int part = 0; part < scatter_parts; ++part) row += std::exchange(table(part)[b], row);
    }
    const int symbol_bits = Bytes ? 8 : std::bit_width(std::uint32_t(level.Alphabet));
    Run_In_Parts(work.Helpers, scatter_parts, [&](int part) {
        const T_Sorter keys(s, span_of, rows, symbol_bits);
        std::int32_t* const next = table(part);
        For_Each_LMS_In(words, Part_Start(sorted_words, part, scatter_parts),
                        Part_Start(sorted_words, part + 1, scatter_parts), sorted_end - 1,
                        [&](std::int32_t p) { rows[next[bucket_of(p)]++] = keys.Row(p, first_depth); });
    });
    // The last part's table now holds where each bucket ends.
    const std::int32_t* const bucket_end = table(scatter_parts - 1);
    auto first_row = [&](std::int32_t bucket) { return bucket == 0 ? 0 : bucket_end[bucket - 1]; };

    // The sort: runs of whole buckets of about m / parts rows each.
    std::vector<std::int32_t> part_bucket(std::size_t(parts) + 1, bucket_count), part_groups(std::size_t(parts), 0);
    part_bucket[0] = 0;
    for (std::size_t k = 1; k < std::size_t(parts); ++k) {
        const std::int32_t goal = Part_Start(m, int(k), parts);
        part_bucket[k] =
            std::max(part_bucket[k - 1],
                     std::int32_t(std::upper_bound(bucket_end, bucket_end + bucket_count, goal) - bucket_end));
    }
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        T_Sorter sorter(s, span_of, rows, symbol_bits);
        std::int32_t groups = 0;
        for (std::int32_t b = part_bucket[std::size_t(part)]; b < part_bucket[std::size_t(part) + 1]; ++b) {
            const std::int32_t lo = first_row(b), hi = bucket_end[b];
            if (hi > lo) groups += sorter.Sort(lo, hi, first_depth);
        }
        part_groups[std::size_t(part)] = groups;
    });

    // The block's last substring goes before the first row that does not
    // sort before it.
    std::int32_t at_z = m;
    if (z_apart) {
        std::int32_t lo = 0, hi = m;
        while (lo < hi) {
            const std::int32_t mid = lo + (hi - lo) / 2;
            const std::int32_t p = T_Sorter::Position(rows[mid]);
            if (Before_Last_Substring(reinterpret_cast<const std::uint8_t*>(s), p, span_of[p / 2], last_lms, last)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        at_z = lo;
    }

    // Names: the sentinel's 0, then one per group in sorted order, each
    // part starting after the groups of the parts before it.
    std::vector<std::int32_t> part_name(std::size_t(parts), 0);
    for (std::size_t k = 1; k < std::size_t(parts); ++k) part_name[k] = part_name[k - 1] + part_groups[k - 1];
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        const std::int32_t first = first_row(part_bucket[std::size_t(part)]);
        const std::int32_t end = first_row(part_bucket[std::size_t(part) + 1]);
        std::int32_t name = part_name[std::size_t(part)] + (z_apart && at_z < first ? 1 : 0);
        for (std::int32_t k = first; k < end; ++k) {
            if (z_apart && k == at_z) span_of[last_lms / 2] = ++name;
            const T_Row& row = rows[k];
            if (T_Sorter::Starts_Group(row)) ++name;
            span_of[T_Sorter::Position(row) / 2] = name;
        }
        if (z_apart && part == parts - 1 && at_z == m) span_of[last_lms / 2] = ++name;
    });
    span_of[last / 2] = 0;
    n1 = m + (z_apart ? 1 : 0) + 1;
    std::int32_t names = n1 - m;
    for (const std::int32_t groups : part_groups) names += groups;

    // The names in text order: each part takes its LMS positions' names
    // into the row area at their ranks, then they move behind sa.
    auto* const text_order = static_cast<std::int32_t*>(row_area);
    for (std::size_t k = 1; k <= std::size_t(parts); ++k) part_lms[k] += part_lms[k - 1];
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        std::int32_t rank = part_lms[std::size_t(part)];
        For_Each_LMS_In(words, Part_Start(word_count, part, parts), Part_Start(word_count, part + 1, parts), last,
                        [&](std::int32_t p) { text_order[rank++] = span_of[p / 2]; });
    });
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        const std::int32_t first = Part_Start(n1, part, parts), end = Part_Start(n1, part + 1, parts);
        std::copy(text_order + first, text_order + end, sa + n - n1 + first);
    });
    return names;
}

void Sort_Names(const std::int32_t* s, std::int32_t n, std::int32_t alphabet, std::int32_t* sa, const T_Work& work);

// The rows of the comparison sort at the start of `work`, aligned for them;
// null when the area cannot hold what a level of n symbols may ask for.
template <class T_Symbol>
void* Row_Area(const T_Work& work, std::int32_t n) {
    constexpr std::uintptr_t Align = alignof(typename T_Substring_Sorter<T_Symbol>::T_Row);
    auto* const rows =
        reinterpret_cast<std::uint32_t*>((reinterpret_cast<std::uintptr_t>(work.Begin) + Align - 1) & ~(Align - 1));
    return work.End - rows >= std::ptrdiff_t(T_Substring_Sorter<T_Symbol>::Row_Words(n)) ? rows : nullptr;
}

// Stage 3's start: the LMS suffixes, ranked in sa[0..n1-1] (the sentinel
// first), in their true order at their bucket ends, each bucket keeping them
// ascending; every other row empty.  `reduced` (n1 entries) takes the LMS
// positions in text order.  With a free area of n1 words, parts place
// whole buckets each.
template <class T_Symbol>
void Place_Sorted_LMS(const T_Level<T_Symbol>& level, std::int32_t* sa, std::int32_t n1, std::int32_t* reduced,
                      const T_Work& work, std::int32_t* free_area) {
    const std::int32_t last = level.Last, n = last + 1;
    const std::uint32_t* const words = level.Type_Words;
    const int parts = free_area ? Parts_Of<T_Symbol>(work, n) : 1;
    const std::int32_t word_count = (last >> 5) + 1;
    if (parts == 1) {
        std::int32_t k = 0;
        For_Each_LMS(words, last, [&](std::int32_t p) { reduced[k++] = p; });
        for (std::int32_t i = 0; i < n1; ++i) sa[i] = reduced[sa[i]];
        std::fill(sa + n1, sa + n, -1);
        level.Fronts_At_Ends();
        for (std::int32_t i = n1 - 1; i >= 1; --i) {
            const std::int32_t p = sa[i];
            sa[i] = -1;
            sa[--level.Front[level.S[p]]] = p;
        }
        sa[0] = last;
        return;
    }
    std::vector<std::int32_t> part_rank(std::size_t(parts) + 1, 0);
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        part_rank[std::size_t(part) + 1] =
            Count_LMS_In(words, Part_Start(word_count, part, parts), Part_Start(word_count, part + 1, parts), last);
    });
    for (std::size_t k = 1; k <= std::size_t(parts); ++k) part_rank[k] += part_rank[k - 1];
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        std::int32_t rank = part_rank[std::size_t(part)];
        For_Each_LMS_In(words, Part_Start(word_count, part, parts), Part_Start(word_count, part + 1, parts), last,
                        [&](std::int32_t p) { reduced[rank++] = p; });
    });
    // The sorted positions to the free area, then each part's buckets from
    // there to their ends.  The sorted positions rise by first symbol, so a
    // bucket's are one run.
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        for (std::int32_t i = Part_Start(n1, part, parts), end = Part_Start(n1, part + 1, parts); i < end; ++i)
            free_area[i] = reduced[sa[i]];
    });
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        std::fill(sa + Part_Start(n, part, parts), sa + Part_Start(n, part + 1, parts), -1);
    });
    const T_Symbol* const s = level.S;
    auto run_start = [&](std::int32_t i) {
        if (i <= 1) return std::int32_t(1);
        if (i >= n1) return n1;
        while (i < n1 && s[free_area[i]] == s[free_area[i - 1]]) ++i;
        return i;
    };
    Run_In_Parts(work.Helpers, parts, [&](int part) {
        const std::int32_t end = run_start(Part_Start(n1, part + 1, parts));
        for (std::int32_t i = run_start(Part_Start(n1, part, parts)); i < end;) {
            const T_Symbol c = s[free_area[i]];
            std::int32_t j = i + 1;
            while (j < end && s[free_area[j]] == c) ++j;
            std::copy(free_area + i, free_area + j, sa + level.Start[c + 1] - (j - i));
            i = j;
        }
    });
    sa[0] = last;
}

// Sorts the level's suffixes into sa[0..last]; returns the row of suffix 0
// and, with an output, writes the transform.  `all_work` serves the levels below,
// which may overwrite everything the level keeps there: `refresh` rebuilds it
// after them.
template <class T_Symbol, class T_Refresh>
std::int32_t Sort_Level(const T_Level<T_Symbol>& level, std::int32_t* sa, const T_Work& all_work, T_Symbol* output,
                        T_Refresh refresh) {
    const std::int32_t last = level.Last, n = last + 1;
    // The level's steps agree on their parts; the levels below choose anew.
    const T_Work work = Lent_Now<T_Symbol>(all_work, n);
    const T_Type_Bits types(level.Type_Words);

    std::int32_t n1 = 1, names = 0;
    // Alone, a level sorts its substrings by the induced scans, which cost
    // about what the comparison sort does on one thread.
    void* const rows = Parts_Of<T_Symbol>(work, n) > 1 ? Row_Area<T_Symbol>(work, n) : nullptr;
    if (rows) {
        names = Sort_And_Name_Substrings(level, sa, rows, work, n1);
    } else {
        // Stage 1: LMS suffixes at their bucket ends, then induce: this
        // sorts the LMS substrings.
        std::fill(sa, sa + n, -1);
        level.Fronts_At_Ends();
        For_Each_LMS(level.Type_Words, last - 1, [&](std::int32_t p) { sa[--level.Front[level.S[p]]] = p; });
        sa[0] = last;
        Induce_L(level, sa);
        Induce_S(level, sa, static_cast<T_Symbol*>(nullptr));

        // The sorted LMS positions to sa[0..n1-1]; the sentinel is row 0.
        for (std::int32_t i = 1; i < last; ++i) {
            if (i + Prefetch_Distance < last) __builtin_prefetch(types.Word_Of(std::max(sa[i + Prefetch_Distance], 0)));
            const std::int32_t p = sa[i];
            if (p > 0 && types.Is_LMS(p)) sa[n1++] = p;
        }
        names = Name_LMS_Substrings(level, sa, n1);
    }

    // Stage 2: sort the reduced string; unique names already are its order.
    std::int32_t* const reduced = sa + n - n1;
    if (names < n1) {
        Sort_Names(reduced, n1, names, sa, all_work);
        refresh();
    } else {
        for (std::int32_t i = 0; i < n1; ++i) sa[reduced[i]] = i;
    }

    // Stage 3: the LMS suffixes in their true order at their bucket ends;
    // then induce again.
    Place_Sorted_LMS(level, sa, n1, reduced, work, static_cast<std::int32_t*>(rows));
    Induce_L(level, sa);
    return Induce_S(level, sa, output);
}

// A level of names: s[0..n-1] with s[n-1] = 0 unique, names below
// `alphabet`.  Its bucket tables and type bits take the front of `work`, and
// the level below reuses all of it, so they are rebuilt after it returns.
void Sort_Names(const std::int32_t* s, std::int32_t n, std::int32_t alphabet, std::int32_t* sa, const T_Work& work) {
    auto* const start = reinterpret_cast<std::int32_t*>(work.Begin);
    T_Level<std::int32_t> level{
        s, n - 1, alphabet, start, start + alphabet + 1, work.Begin + 2 * std::size_t(alphabet) + 1};
    const T_Work below{level.Type_Words + Induced_Sort_Type_Words(n), work.End, work.Helpers};
    auto prepare = [&level, &below] { Prepare_Level(level, below); };
    prepare();
    Sort_Level(level, sa, below, static_cast<std::int32_t*>(nullptr), prepare);
}

}  // namespace

std::int32_t Induced_Sort_Transform(const std::uint8_t* block, std::int32_t length, std::int32_t* suffix_array,
                                    std::uint32_t* type_bits, std::uint32_t* work, std::uint8_t* output,
                                    T_KYL_Helpers* helpers) {
    assert(length >= 1);
    std::int32_t start[257], front[256];
    const T_Level<std::uint8_t> level{block, length, 256, start, front, type_bits};
    const T_Work free_work{work, work + Induced_Sort_Work_Words(length + 1), helpers};
    Prepare_Level(level, free_work);
    const std::int32_t primary = Sort_Level(level, suffix_array, free_work, output, [] {});
    output[0] = block[length - 1];
    return primary;
}
