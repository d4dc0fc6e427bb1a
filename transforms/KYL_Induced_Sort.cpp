#include "transforms/KYL_Induced_Sort.h"

#include <algorithm>
#include <cassert>
#include <cstring>

// Induced sorting over a string s[0..n-1] whose last symbol is 0 and occurs
// nowhere else, so it is the one smallest suffix.  A suffix is S-type when it
// is smaller than the suffix after it and L-type when larger; a leftmost
// S-type suffix (LMS) is an S-type suffix preceded by an L-type one.  Sorting
// the LMS suffixes is enough: one left-to-right scan then places every L-type
// suffix and one right-to-left scan every S-type suffix.  The LMS suffixes
// are sorted by naming their LMS substrings and, while names repeat, sorting
// the string of names the same way.

namespace {

// The block seen as a string over 0..256: byte b is b + 1 and the end-of-block
// position reads 0, which makes a proper prefix sort before its extensions.
struct T_Block_Text {
    const std::uint8_t* Block;
    std::int32_t End;
    std::int32_t operator[](std::int32_t i) const { return i == End ? 0 : std::int32_t(Block[i]) + 1; }
};

// A reduced string of names, kept in the tail of the suffix array.
struct T_Name_Text {
    const std::int32_t* Names;
    std::int32_t operator[](std::int32_t i) const { return Names[i]; }
};

class T_Type_Bits {
public:
    explicit T_Type_Bits(std::uint32_t* words) : Words(words) {}
    bool Is_S(std::int32_t i) const { return (Words[i >> 5] >> (i & 31)) & 1u; }
    void Set_S(std::int32_t i) { Words[i >> 5] |= 1u << (i & 31); }
    bool Is_LMS(std::int32_t i) const { return i > 0 && Is_S(i) && !Is_S(i - 1); }

private:
    std::uint32_t* Words;
};

template <class T_Text>
void Classify(const T_Text& s, std::int32_t n, T_Type_Bits& types, std::uint32_t* words) {
    std::memset(words, 0, Induced_Sort_Type_Words(n) * sizeof(std::uint32_t));
    types.Set_S(n - 1);
    // Scanning leftwards, s[i] = s[i+1] inherits the type of i + 1.
    bool next_is_s = true;
    for (std::int32_t i = n - 2; i >= 0; --i) {
        const std::int32_t a = s[i], b = s[i + 1];
        next_is_s = a < b || (a == b && next_is_s);
        if (next_is_s) types.Set_S(i);
    }
}

// bucket[c] = first slot of symbol c (heads) or one past its last (ends).
template <class T_Text>
void Find_Buckets(const T_Text& s, std::int32_t n, std::int32_t alphabet, std::int32_t* bucket, bool ends) {
    std::fill(bucket, bucket + alphabet, 0);
    for (std::int32_t i = 0; i < n; ++i) ++bucket[s[i]];
    std::int32_t sum = 0;
    for (std::int32_t c = 0; c < alphabet; ++c) {
        sum += bucket[c];
        bucket[c] = ends ? sum : sum - bucket[c];
    }
}

// From LMS suffixes standing at the ends of their buckets, places all others.
template <class T_Text>
void Induce(const T_Text& s, std::int32_t n, std::int32_t alphabet, std::int32_t* sa, const T_Type_Bits& types,
            std::int32_t* bucket) {
    // Left to right: every L-type suffix lands after the suffix it precedes.
    Find_Buckets(s, n, alphabet, bucket, false);
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t j = sa[i] - 1;
        if (j >= 0 && !types.Is_S(j)) sa[bucket[s[j]]++] = j;
    }
    // Right to left: every S-type suffix, filling buckets from their ends.
    Find_Buckets(s, n, alphabet, bucket, true);
    for (std::int32_t i = n - 1; i >= 0; --i) {
        const std::int32_t j = sa[i] - 1;
        if (j >= 0 && types.Is_S(j)) sa[--bucket[s[j]]] = j;
    }
}

template <class T_Text>
bool Same_LMS_Substring(const T_Text& s, const T_Type_Bits& types, std::int32_t a, std::int32_t b) {
    for (std::int32_t d = 0;; ++d) {
        if (s[a + d] != s[b + d] || types.Is_S(a + d) != types.Is_S(b + d)) return false;
        // Equal symbols and types so far: both substrings end at the same d.
        if (d > 0 && types.Is_LMS(a + d)) return true;
    }
}

template <class T_Text>
void Sort_String(const T_Text& s, std::int32_t n, std::int32_t alphabet, std::int32_t* sa, std::uint32_t* type_words,
                 std::uint32_t* work) {
    T_Type_Bits types(type_words);
    Classify(s, n, types, type_words);
    auto* bucket = reinterpret_cast<std::int32_t*>(work);
    std::uint32_t* below = work + alphabet;

    // Stage 1: LMS suffixes in text order at their bucket ends, then induce:
    // this sorts the LMS substrings.
    std::fill(sa, sa + n, -1);
    Find_Buckets(s, n, alphabet, bucket, true);
    for (std::int32_t i = 1; i < n; ++i)
        if (types.Is_LMS(i)) sa[--bucket[s[i]]] = i;
    Induce(s, n, alphabet, sa, types, bucket);

    // Gather the sorted LMS positions in sa[0..n1-1].  LMS positions are at
    // least two apart, so n1 <= n / 2 and the names fit at sa[n1 + pos / 2].
    std::int32_t n1 = 0;
    for (std::int32_t i = 0; i < n; ++i)
        if (types.Is_LMS(sa[i])) sa[n1++] = sa[i];
    std::fill(sa + n1, sa + n, -1);
    std::int32_t names = 0, previous = -1;
    for (std::int32_t i = 0; i < n1; ++i) {
        const std::int32_t position = sa[i];
        if (previous < 0 || !Same_LMS_Substring(s, types, position, previous)) ++names;
        previous = position;
        sa[n1 + position / 2] = names - 1;
    }
    // The names in text order form the reduced string in sa[n-n1..n-1].
    for (std::int32_t i = n - 1, j = n - 1; i >= n1; --i)
        if (sa[i] >= 0) sa[j--] = sa[i];

    // Stage 2: sort the reduced string; unique names already are its order.
    std::int32_t* reduced = sa + n - n1;
    if (names < n1) {
        Sort_String(T_Name_Text{reduced}, n1, names, sa, below, below + Induced_Sort_Type_Words(n1));
    } else {
        for (std::int32_t i = 0; i < n1; ++i) sa[reduced[i]] = i;
    }

    // Stage 3: the LMS suffixes in their true order at their bucket ends,
    // largest first so each bucket keeps them ascending; then induce again.
    for (std::int32_t i = 1, j = 0; i < n; ++i)
        if (types.Is_LMS(i)) reduced[j++] = i;
    for (std::int32_t i = 0; i < n1; ++i) sa[i] = reduced[sa[i]];
    std::fill(sa + n1, sa + n, -1);
    Find_Buckets(s, n, alphabet, bucket, true);
    for (std::int32_t i = n1 - 1; i >= 0; --i) {
        const std::int32_t position = sa[i];
        sa[i] = -1;
        sa[--bucket[s[position]]] = position;
    }
    Induce(s, n, alphabet, sa, types, bucket);
}

}  // namespace

void Induced_Sort_Suffixes(const std::uint8_t* block, std::int32_t length, std::int32_t* suffix_array,
                           std::uint32_t* type_bits, std::uint32_t* work) {
    assert(length >= 0);
    Sort_String(T_Block_Text{block, length}, length + 1, 257, suffix_array, type_bits, work);
}
