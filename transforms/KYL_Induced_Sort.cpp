#include "transforms/KYL_Induced_Sort.h"

#include <algorithm>
#include <bit>
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

// ------------------------------------------------------------ the block
//
// The first level works on the block's bytes with the end-of-block position
// N as the sentinel: suffix N is S-type, sorts first (row 0) and is the last
// LMS suffix.  Byte buckets start at row 1.  The scans read the types of the
// suffixes they pass from the bytes and the bucket fronts, and only the
// choice of LMS suffixes uses the type bits.

// Rows ahead whose bytes are fetched before the scans reach them: the scans
// read the byte before a suffix spread over the whole block.
constexpr std::int32_t Prefetch_Distance = 32;

struct T_Byte_Buckets {
    std::int32_t Start[257];  // first row of byte c; Start[256] = N + 1
    std::int32_t Front[256];  // fill positions of the scan in progress
};

// The type bits of the block: bit i is set when suffix i is S-type.  Suffix
// N - 1 is L-type (one byte above the empty suffix), suffix N S-type.
void Classify_Block(const std::uint8_t* block, std::int32_t length, std::uint32_t* words) {
    std::memset(words, 0, Induced_Sort_Type_Words(length + 1) * sizeof(std::uint32_t));
    words[length >> 5] |= 1u << (length & 31);
    // Scanning leftwards, an equal byte inherits the type of the suffix after it.
    std::uint32_t next_is_s = 0, word = 0;
    for (std::int32_t i = length - 2; i >= 0; --i) {
        const std::uint32_t a = block[i], b = block[i + 1];
        next_is_s = std::uint32_t(a < b) | (std::uint32_t(a == b) & next_is_s);
        word |= next_is_s << (i & 31);
        if ((i & 31) == 0) {
            words[i >> 5] |= word;
            word = 0;
        }
    }
}

// Calls visit(p) for every LMS position 1..N-1 in rising order.
template <class T_Visit>
void For_Each_LMS(const std::uint32_t* words, std::int32_t length, T_Visit visit) {
    std::uint32_t previous_top = 0;  // type bit 31 of the word before
    for (std::int32_t w = 0; w <= (length - 1) >> 5; ++w) {
        const std::uint32_t s = words[w];
        std::uint32_t lms = s & ~((s << 1) | previous_top);
        previous_top = s >> 31;
        if (w == 0) lms &= ~1u;  // suffix 0 has no suffix before it
        while (lms != 0) {
            const std::int32_t p = w * 32 + std::countr_zero(lms);
            lms &= lms - 1;
            if (p >= length) return;
            visit(p);
        }
    }
}

void Count_Bytes(const std::uint8_t* block, std::int32_t length, T_Byte_Buckets& buckets) {
    std::int32_t count[256] = {};
    for (std::int32_t i = 0; i < length; ++i) ++count[block[i]];
    std::int32_t row = 1;
    for (int c = 0; c < 256; ++c) {
        buckets.Start[c] = row;
        row += count[c];
    }
    buckets.Start[256] = row;
}

void Set_Fronts_To_Starts(T_Byte_Buckets& buckets) { std::copy(buckets.Start, buckets.Start + 256, buckets.Front); }
void Set_Fronts_To_Ends(T_Byte_Buckets& buckets) { std::copy(buckets.Start + 1, buckets.Start + 257, buckets.Front); }

// Left to right: every L-type suffix lands after the suffix it precedes.
// The rows hold LMS and L-type suffixes only, and before those the suffix
// p - 1 is L-type exactly when its byte is not below that of p.
void Induce_L_Block(const std::uint8_t* block, std::int32_t length, std::int32_t* sa, T_Byte_Buckets& buckets) {
    Set_Fronts_To_Starts(buckets);
    std::int32_t* const front = buckets.Front;
    sa[front[block[length - 1]]++] = length - 1;  // after row 0, the sentinel
    for (std::int32_t i = 1; i <= length; ++i) {
        if (i + Prefetch_Distance <= length) __builtin_prefetch(block + sa[i + Prefetch_Distance] - 1);
        const std::int32_t p = sa[i];
        if (p <= 0) continue;
        const std::uint8_t c = block[p - 1];
        if (c >= block[p]) sa[front[c]++] = p - 1;
    }
}

// Right to left: every S-type suffix, filling buckets from their ends.  The
// scan reaches a row of bucket c only after filling it, so the rows of c at
// or above its fill front hold S-type suffixes and the rows below L-type
// ones.  With an output, also writes every row's transformed byte and
// returns the row of suffix 0.
std::int32_t Induce_S_Block(const std::uint8_t* block, std::int32_t length, std::int32_t* sa, T_Byte_Buckets& buckets,
                            std::uint8_t* output) {
    Set_Fronts_To_Ends(buckets);
    std::int32_t* const front = buckets.Front;
    std::int32_t primary = 0;
    for (std::int32_t i = length; i >= 1; --i) {
        if (i - Prefetch_Distance >= 1) __builtin_prefetch(block + sa[i - Prefetch_Distance] - 1);
        const std::int32_t p = sa[i];
        if (p <= 0) {
            if (p == 0) primary = i;
            continue;
        }
        const std::uint8_t c = block[p - 1], d = block[p];
        if (output) output[i] = c;
        if (c < d || (c == d && i >= front[c])) sa[--front[c]] = p - 1;
    }
    if (output) output[0] = block[length - 1];
    return primary;
}

// Whether the LMS substrings at a and b, both `span` bytes long and ending
// before the sentinel, hold the same bytes.  Reads stay within the block
// and the eight bytes after it.
bool Same_Bytes(const std::uint8_t* block, std::int32_t a, std::int32_t b, std::int32_t span) {
    for (std::int32_t k = 0; k < span; k += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, block + a + k, sizeof x);
        std::memcpy(&y, block + b + k, sizeof y);
        std::uint64_t differ = x ^ y;
        if (span - k < 8) differ &= (std::uint64_t(1) << (8 * (span - k))) - 1;
        if (differ != 0) return false;
    }
    return true;
}

// Names the sorted LMS substrings in sa[0..n1-1] and leaves the string of
// names, in text order, in sa[n-n1..n-1].  Returns the number of names.
// The names sit at sa[n1 + p / 2] first, where the substring lengths were.
std::int32_t Name_LMS_Substrings(const std::uint8_t* block, std::int32_t length, std::int32_t* sa, std::int32_t n1,
                                 const std::uint32_t* words) {
    const std::int32_t n = length + 1;
    std::fill(sa + n1, sa + n, -1);
    std::int32_t previous = -1;
    For_Each_LMS(words, length, [&](std::int32_t p) {
        if (previous >= 0) sa[n1 + previous / 2] = p - previous + 1;
        previous = p;
    });
    if (previous >= 0) sa[n1 + previous / 2] = length - previous + 1;  // runs into the sentinel
    sa[n1 + length / 2] = 1;

    std::int32_t names = 0, previous_span = 0;
    previous = -1;
    for (std::int32_t k = 0; k < n1; ++k) {
        const std::int32_t p = sa[k];
        const std::int32_t span = sa[n1 + p / 2];
        // A substring that reaches the sentinel is unlike every other.
        const bool same = previous >= 0 && span == previous_span && p + span <= length &&
                          previous + span <= length && Same_Bytes(block, p, previous, span);
        if (!same) ++names;
        previous = p;
        previous_span = span;
        sa[n1 + p / 2] = names - 1;
    }
    for (std::int32_t i = n - 1, j = n - 1; i >= n1; --i)
        if (sa[i] >= 0) sa[j--] = sa[i];
    return names;
}

}  // namespace

std::int32_t Induced_Sort_Transform(const std::uint8_t* block, std::int32_t length, std::int32_t* sa,
                                    std::uint32_t* type_words, std::uint32_t* work, std::uint8_t* output) {
    assert(length >= 1);
    const std::int32_t n = length + 1;
    Classify_Block(block, length, type_words);
    T_Byte_Buckets buckets;
    Count_Bytes(block, length, buckets);

    // Stage 1: LMS suffixes at their bucket ends, then induce: this sorts
    // the LMS substrings.
    std::fill(sa, sa + n, -1);
    sa[0] = length;
    Set_Fronts_To_Ends(buckets);
    For_Each_LMS(type_words, length, [&](std::int32_t p) { sa[--buckets.Front[block[p]]] = p; });
    Induce_L_Block(block, length, sa, buckets);
    Induce_S_Block(block, length, sa, buckets, nullptr);

    // The sorted LMS positions to sa[0..n1-1]; the sentinel is row 0.
    const T_Type_Bits types(type_words);
    std::int32_t n1 = 1;
    for (std::int32_t i = 1; i < n; ++i) {
        const std::int32_t p = sa[i];
        if (p > 0 && p < length && types.Is_LMS(p)) sa[n1++] = p;
    }
    const std::int32_t names = Name_LMS_Substrings(block, length, sa, n1, type_words);

    // Stage 2: sort the reduced string; unique names already are its order.
    std::int32_t* reduced = sa + n - n1;
    if (names < n1) {
        Sort_String(T_Name_Text{reduced}, n1, names, sa, work, work + Induced_Sort_Type_Words(n1));
    } else {
        for (std::int32_t i = 0; i < n1; ++i) sa[reduced[i]] = i;
    }

    // Stage 3: the LMS suffixes in their true order at their bucket ends,
    // largest first so each bucket keeps them ascending; then induce again,
    // writing the transform in the last scan.
    std::int32_t k = 0;
    For_Each_LMS(type_words, length, [&](std::int32_t p) { reduced[k++] = p; });
    reduced[k] = length;
    for (std::int32_t i = 0; i < n1; ++i) sa[i] = reduced[sa[i]];
    std::fill(sa + n1, sa + n, -1);
    Set_Fronts_To_Ends(buckets);
    for (std::int32_t i = n1 - 1; i >= 1; --i) {
        const std::int32_t p = sa[i];
        sa[i] = -1;
        sa[--buckets.Front[block[p]]] = p;
    }
    sa[0] = length;
    Induce_L_Block(block, length, sa, buckets);
    return Induce_S_Block(block, length, sa, buckets, output);
}
