#include "transforms/KYL_Induced_Sort.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <utility>

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

// Bucket starts from the symbol counts.  A name string counts its sentinel
// (name 0) into row 0; the block's sentinel has no byte, so the bytes start
// at row 1.
template <class T_Symbol>
void Find_Buckets(const T_Level<T_Symbol>& level, std::int32_t symbols) {
    std::int32_t* const start = level.Start;
    std::fill(start, start + level.Alphabet + 1, 0);
    for (std::int32_t i = 0; i < symbols; ++i) ++start[level.S[i]];
    std::int32_t row = level.Last + 1 - symbols;
    for (std::int32_t c = 0; c <= level.Alphabet; ++c) row += std::exchange(start[c], row);
}

// Bit i of the type words is set when suffix i is S-type.  The sentinel is
// S-type and the suffix before it L-type; leftwards, a symbol equal to the
// next inherits its type.
template <class T_Symbol>
void Classify(const T_Level<T_Symbol>& level) {
    const std::int32_t last = level.Last;
    std::uint32_t* const words = level.Type_Words;
    std::memset(words, 0, Induced_Sort_Type_Words(last + 1) * sizeof(std::uint32_t));
    words[last >> 5] |= 1u << (last & 31);
    std::uint32_t next_is_s = 0, word = 0;
    for (std::int32_t i = last - 2; i >= 0; --i) {
        const T_Symbol a = level.S[i], b = level.S[i + 1];
        next_is_s = std::uint32_t(a < b) | (std::uint32_t(a == b) & next_is_s);
        word |= next_is_s << (i & 31);
        if ((i & 31) == 0) {
            words[i >> 5] |= word;
            word = 0;
        }
    }
}

// Calls visit(p) for every LMS position p in 1..last, rising; the sentinel
// at `last` is the last of them.
template <class T_Visit>
void For_Each_LMS(const std::uint32_t* words, std::int32_t last, T_Visit visit) {
    std::uint32_t previous_top = 1;  // suffix 0 has no L-type suffix before it
    for (std::int32_t w = 0; w <= last >> 5; ++w) {
        const std::uint32_t s = words[w];
        std::uint32_t lms = s & ~((s << 1) | previous_top);
        previous_top = s >> 31;
        while (lms != 0) {
            const std::int32_t p = w * 32 + std::countr_zero(lms);
            lms &= lms - 1;
            if (p > last) return;
            visit(p);
        }
    }
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

void Sort_Names(const std::int32_t* s, std::int32_t n, std::int32_t alphabet, std::int32_t* sa, std::uint32_t* work);

// Sorts the level's suffixes into sa[0..last]; returns the row of suffix 0
// and, with an output, writes the transform.  `work` serves the levels below,
// which may overwrite everything the level keeps there: `refresh` rebuilds it
// after them.
template <class T_Symbol, class T_Refresh>
std::int32_t Sort_Level(const T_Level<T_Symbol>& level, std::int32_t* sa, std::uint32_t* work, T_Symbol* output,
                        T_Refresh refresh) {
    const std::int32_t last = level.Last, n = last + 1;
    const T_Type_Bits types(level.Type_Words);

    // Stage 1: LMS suffixes at their bucket ends, then induce: this sorts
    // the LMS substrings.
    std::fill(sa, sa + n, -1);
    level.Fronts_At_Ends();
    For_Each_LMS(level.Type_Words, last - 1, [&](std::int32_t p) { sa[--level.Front[level.S[p]]] = p; });
    sa[0] = last;
    Induce_L(level, sa);
    Induce_S(level, sa, static_cast<T_Symbol*>(nullptr));

    // The sorted LMS positions to sa[0..n1-1]; the sentinel is row 0.
    std::int32_t n1 = 1;
    for (std::int32_t i = 1; i < last; ++i) {
        if (i + Prefetch_Distance < last) __builtin_prefetch(types.Word_Of(std::max(sa[i + Prefetch_Distance], 0)));
        const std::int32_t p = sa[i];
        if (p > 0 && types.Is_LMS(p)) sa[n1++] = p;
    }
    const std::int32_t names = Name_LMS_Substrings(level, sa, n1);

    // Stage 2: sort the reduced string; unique names already are its order.
    std::int32_t* const reduced = sa + n - n1;
    if (names < n1) {
        Sort_Names(reduced, n1, names, sa, work);
        refresh();
    } else {
        for (std::int32_t i = 0; i < n1; ++i) sa[reduced[i]] = i;
    }

    // Stage 3: the LMS suffixes in their true order at their bucket ends,
    // largest first so each bucket keeps them ascending; then induce again.
    std::int32_t k = 0;
    For_Each_LMS(level.Type_Words, last, [&](std::int32_t p) { reduced[k++] = p; });
    for (std::int32_t i = 0; i < n1; ++i) sa[i] = reduced[sa[i]];
    std::fill(sa + n1, sa + n, -1);
    level.Fronts_At_Ends();
    for (std::int32_t i = n1 - 1; i >= 1; --i) {
        const std::int32_t p = sa[i];
        sa[i] = -1;
        sa[--level.Front[level.S[p]]] = p;
    }
    sa[0] = last;
    Induce_L(level, sa);
    return Induce_S(level, sa, output);
}

// A level of names: s[0..n-1] with s[n-1] = 0 unique, names below
// `alphabet`.  Its bucket tables and type bits take the front of `work`, and
// the level below reuses all of it, so they are rebuilt after it returns.
void Sort_Names(const std::int32_t* s, std::int32_t n, std::int32_t alphabet, std::int32_t* sa, std::uint32_t* work) {
    auto* const start = reinterpret_cast<std::int32_t*>(work);
    T_Level<std::int32_t> level{s, n - 1, alphabet, start, start + alphabet + 1,
                                work + 2 * std::size_t(alphabet) + 1};
    auto prepare = [&level, n] {
        Find_Buckets(level, n);
        Classify(level);
    };
    prepare();
    Sort_Level(level, sa, level.Type_Words + Induced_Sort_Type_Words(n), static_cast<std::int32_t*>(nullptr),
               prepare);
}

}  // namespace

std::int32_t Induced_Sort_Transform(const std::uint8_t* block, std::int32_t length, std::int32_t* suffix_array,
                                    std::uint32_t* type_bits, std::uint32_t* work, std::uint8_t* output) {
    assert(length >= 1);
    std::int32_t start[257], front[256];
    const T_Level<std::uint8_t> level{block, length, 256, start, front, type_bits};
    Find_Buckets(level, length);
    Classify(level);
    const std::int32_t primary = Sort_Level(level, suffix_array, work, output, [] {});
    output[0] = block[length - 1];
    return primary;
}
