// SPDX-License-Identifier: MIT
#include "transforms/KYL_BWT_Unit.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "block/KYL_Block_Unit.h"
#include "block/KYL_Word_Unit.h"
#include "transforms/KYL_Byte_Counts.h"
#include "transforms/KYL_Induced_Sort.h"

// The suffix order.  Suffix i is S[i..N-1] followed by an end mark below
// every byte.  The sort compares S[i..] padded with endless zeros instead and
// breaks a tie by putting the higher start first; the 257 zeros written after
// the block make the padding real for every read of the sort.
//
// The two-stage bucket sort: every suffix is bucketed by its first two bytes
// (c, x).  Only one class of buckets is sorted by comparison: (c, x) with
// x > c in ascending mode, x < c in descending mode.  One scan per group c
// then derives the (c, c) bucket from the group's other rows, and one scan
// over the rows in order emits the output and derives the unsorted class: if
// suffix p is in its final row, suffix p - 1 comes next in its own bucket.

namespace {

constexpr std::int32_t Pair_Count = 65536;
// Blocks from this size count their pairs in this many parts when threads
// are lent.
constexpr std::int32_t Pair_Parts_From = 1 << 18;
constexpr int Pair_Parts = 4;
// The parts' tables live in Work_Area, which small-block builds keep small.
constexpr bool Pair_Parts_Fit = std::int64_t(Pair_Parts) * Pair_Count <= Area_Entries;
constexpr std::int32_t Zero_Tail = 257;
// Ranges at or below this many rows are finished by Shell_Sort.
constexpr std::int32_t Small_Range = 12;
// Quick_Sort splits ranges above this many rows by the next byte of their key
// in one counting pass, which settles eight bits where a pivot settles about
// one and a half; smaller ranges split at a pivot.
constexpr std::int32_t Byte_Split_Range = 256;
// Quick_Sort splits on keys that start at depths up to this; deeper equal
// ranges go to Shell_Sort, which compares them in full.
constexpr std::int32_t Deepest_Key = 25;
// Both bytes of a bucket are known equal, so its sort starts at the third.
constexpr std::int32_t Bucket_Depth = 2;
// Shell_Sort and Quick_Sort work on rows that already agree on Deepest_Key
// bytes, so long direct comparisons mean periodic or repeated data.  Once the
// comparisons have walked this many 64-byte steps per suffix (plus a floor for
// small blocks), the block goes to the induced sort, which is linear.
constexpr std::int64_t Deep_Steps_Per_Suffix = 2;
constexpr std::int64_t Deep_Steps_Floor = 1 << 16;
// The route: the bucket sort is taken when the bucket of an average sorted
// row holds at most this many rows ...
constexpr std::uint64_t Small_Bucket_Average = 3000;
// ... and fewer than this share of the sampled positions start a sorted
// suffix that repeats an earlier window of Repeat_Window bytes.  Blocks with
// long repeats are the ones that leave deep ranges to direct comparison.
constexpr double Deep_Repeat_Share = 1.0 / 64;
constexpr std::int32_t Repeat_Window = 32;
// One position in 2^Repeat_Sample_Bits is sampled, up to half the set's
// size, which grows with the block up to Repeat_Set_Size.
constexpr int Repeat_Sample_Bits = 6;
// At most what Work_Array holds (less than this only where blocks are small).
constexpr std::int32_t Repeat_Set_Size =
    std::int32_t(std::min(std::uint32_t(1) << 17, std::bit_floor(std::uint32_t(Area_Entries)) / 2));

// Fewer samples say nothing: such blocks are small, or made of a few
// four-byte patterns, which the bucket size test already sent away.
constexpr std::int32_t Repeat_Min_Samples = 64;
static_assert(std::int64_t(Repeat_Set_Size) * 2 <= Area_Entries, "the sample set fits in Work_Array");
static_assert(Repeat_Window + 8 <= Zero_Tail, "windows stay inside the zeros after the block");

constexpr std::int32_t Shell_Increments[] = {1,     4,      13,     40,     121,    364,     1093,
                                             3280,  9841,   29524,  88573,  265720, 797161,  2391484};

// A keyed row: the Key_Bytes bytes of a suffix from the current depth, read
// big-endian into bits 24..63, and the suffix's position in bits 0..23.  Two
// keyed rows compare like their keys as long as the keys differ, and the sort
// moves one word per row instead of reading the block at every step.
constexpr int Position_Bits = 24;
constexpr std::uint64_t Position_Mask = (std::uint64_t(1) << Position_Bits) - 1;
constexpr std::int32_t Key_Bytes = 5;
static_assert(Block_Size < (std::int64_t(1) << Position_Bits), "positions must fit below the key");

std::int32_t Position_Of(std::uint64_t keyed) { return std::int32_t(keyed & Position_Mask); }
std::uint64_t Key_Of(std::uint64_t keyed) { return keyed >> Position_Bits; }

// How far ahead the key loads are prefetched: the rows' suffixes are spread
// over the whole block, so nearly every load misses the cache.
constexpr std::int32_t Prefetch_Distance = 16;

}  // namespace

// Keyed rows Lo..Hi whose suffixes agree on Depth bytes and whose keys, of
// that depth, agree on their first Settled bytes (Key_Bytes: the whole key).
struct T_KYL_BWT::T_Range {
    std::int32_t Lo, Hi, Depth, Settled;
};

struct T_KYL_BWT::T_Sort_Tables {
    // Pair_Start[k]: first row of bucket k = first byte * 256 + second byte;
    // Pair_Start[65536] = n.
    std::int32_t Pair_Start[Pair_Count + 1];
    std::int32_t Pair_Start_Copy[Pair_Count];
    // Per first byte c: the sizes of the group's below part (x < c), of its
    // (c, c) bucket and of its above part (x > c); the group's first row,
    // the fill fronts of the (c, c) bucket, and the group's last row.
    std::int32_t Below_Count[256];
    std::int32_t Equal_Count[256];
    std::int32_t Above_Count[256];
    std::int32_t Group_Start[256];
    std::int32_t Equal_Low[256];
    std::int32_t Equal_High[256];
    std::int32_t Group_End[256];

    // Quick_Sort's pending ranges.  A byte split pushes up to 256 at once, so
    // the stack grows as needed; it stays far below the rows of a bucket.
    std::vector<T_Range> Stack;
};

// The tables are filled by every sort that uses them, so they start
// uninitialised, untouched by a run that never needs them.
T_KYL_BWT::T_KYL_BWT() : Sort_Tables(std::make_unique_for_overwrite<T_Sort_Tables>()) { Sort_Tables->Stack.reserve(1024); }
T_KYL_BWT::~T_KYL_BWT() = default;

// ------------------------------------------------------------------ encode

void T_KYL_BWT::Encode(T_Block_Data& data) {
    if (data.Source->Len <= 0) {
        Current_Controller->Swap_Buffers(data);
        return;
    }
    assert(data.Source->Len <= Block_Size);
    Suffix_Array = data.Index_Array + 1;
    Input = data.Source->Data;
    Output = data.Target->Data;
    Length = data.Source->Len;
    Work_Area = data.Work_Array;
    const std::int32_t block_length = Length;

    Sort_Suffixes();

    Output[Primary_Index] = 0;
    Push_LE(*data.Header, std::uint32_t(Primary_Index), 3);
    data.Target->Len = block_length + 1;
    Work_Area = nullptr;
}

void T_KYL_BWT::Sort_Suffixes() {
    const std::int32_t N = Length;
    std::memset(Input + N, 0, Zero_Tail);
    Length = N + 1;
    Used_Whole_Block_Sort = false;
    if (Force_Whole_Block_Sort || (Forced_Mode == T_Sort_Mode::Automatic && N < Induced_Sort_Below)) {
        Used_Mode = T_Sort_Mode::Automatic;
        Sort_Whole_Block();
        return;
    }

    Count_Pairs();
    const T_Sort_Mode mode = Forced_Mode != T_Sort_Mode::Automatic ? Forced_Mode : Choose_Mode();
    Used_Mode = mode;
    if (Forced_Mode == T_Sort_Mode::Automatic && !Bucket_Sort_Pays(mode)) {
        Sort_Whole_Block();
        return;
    }
    Place_Sorted_Class(mode);
    Build_Group_Tables();

    // The end-of-block suffix is the smallest of all: row 0.
    T_Sort_Tables& t = *Sort_Tables;
    Suffix_Array[t.Equal_Low[0]] = N;
    ++t.Equal_Low[0];

    // A bucket of the sorted class holds at most every second position, so
    // its keyed rows (two words each) fit in Work_Area.
    static_assert(std::int64_t(Block_Size) + 2 <= Area_Entries);
    assert(reinterpret_cast<std::uintptr_t>(Work_Area) % alignof(std::uint64_t) == 0);
    Keyed = reinterpret_cast<std::uint64_t*>(Work_Area);
    Deep_Steps_Left = std::max<std::int64_t>(Deep_Steps_Floor, Deep_Steps_Per_Suffix * Length);
    const bool finished = mode == T_Sort_Mode::Ascending ? Sort_Ascending() : Sort_Descending();
    if (!finished) Sort_Whole_Block();
}

// Counts the two-byte prefixes of suffixes 0..N (suffix N reads (0, 0)) and
// turns the counts into bucket starts.
// While a lent thread waits, parts count pieces of the block into tables of
// their own in Work_Area, which are summed.
void T_KYL_BWT::Count_Pairs() {
    T_Sort_Tables& t = *Sort_Tables;
    T_KYL_Helpers* const helpers = Helpers;
    const int parts =
        Pair_Parts_Fit && helpers && Length >= Pair_Parts_From && helpers->Thread_Waiting() ? Pair_Parts : 1;
    auto count_part = [this, parts, &t](int part) {
        std::int32_t* const counts =
            parts == 1 ? t.Pair_Start : reinterpret_cast<std::int32_t*>(Work_Area) + std::size_t(part) * Pair_Count;
        std::fill(counts, counts + Pair_Count, 0);
        const std::int32_t from = std::int32_t(std::int64_t(Length) * part / parts);
        const std::int32_t to = std::int32_t(std::int64_t(Length) * (part + 1) / parts);
        for (std::int32_t i = from; i < to; ++i) ++counts[Input[i] << 8 | Input[i + 1]];
    };
    t.Pair_Start[Pair_Count] = 0;
    if (parts == 1) {
        count_part(0);
    } else {
        helpers->Run_Parts(parts, count_part);
        const auto* const tables = reinterpret_cast<const std::int32_t*>(Work_Area);
        for (std::int32_t k = 0; k < Pair_Count; ++k) {
            std::int32_t count = 0;
            for (int part = 0; part < parts; ++part) count += tables[std::size_t(part) * Pair_Count + std::size_t(k)];
            t.Pair_Start[k] = count;
        }
    }
    std::int32_t sum = 0;
    for (std::int32_t k = 0; k <= Pair_Count; ++k) {
        const std::int32_t count = t.Pair_Start[k];
        t.Pair_Start[k] = sum;
        sum += count;
    }
    std::copy(t.Pair_Start, t.Pair_Start + Pair_Count, t.Pair_Start_Copy);
}

// Sorting costs roughly the square of a group part's size, so the class with
// the smaller sum of squares is sorted and the other derived.
T_KYL_BWT::T_Sort_Mode T_KYL_BWT::Choose_Mode() const {
    const T_Sort_Tables& t = *Sort_Tables;
    std::uint64_t below_sum = 0, above_sum = 0;
    for (std::int32_t c = 0; c < 256; ++c) {
        const std::uint64_t below = std::uint64_t(t.Pair_Start[c * 257] - t.Pair_Start[c * 256]);
        const std::uint64_t above = std::uint64_t(t.Pair_Start[(c + 1) * 256] - t.Pair_Start[c * 257 + 1]);
        if (below > 1) below_sum += below * below;
        if (above > 1) above_sum += above * above;
    }
    return below_sum >= above_sum ? T_Sort_Mode::Ascending : T_Sort_Mode::Descending;
}

// The induced sort takes about the same time for every block of a size; the
// bucket sort is faster only while its comparisons stay short, that is when
// the sorted class falls into small buckets and its suffixes seldom repeat
// far.  Both tests are cheap next to either sort.
bool T_KYL_BWT::Bucket_Sort_Pays(T_Sort_Mode mode) const {
    const T_Sort_Tables& t = *Sort_Tables;
    std::uint64_t rows = 0, square_sum = 0;
    for (std::int32_t c = 0; c < 256; ++c) {
        const std::int32_t first = mode == T_Sort_Mode::Ascending ? c + 1 : 0;
        const std::int32_t last = mode == T_Sort_Mode::Ascending ? 255 : c - 1;
        for (std::int32_t x = first; x <= last; ++x) {
            const std::uint64_t size = std::uint64_t(t.Pair_Start[c * 256 + x + 1] - t.Pair_Start[c * 256 + x]);
            rows += size;
            square_sum += size * size;
        }
    }
    // The average size of the bucket a sorted row is in.
    if (square_sum > Small_Bucket_Average * rows) return false;
    return Repeat_Share(mode) < Deep_Repeat_Share;
}

// The share of sampled positions that start a suffix of the sorted class
// whose first Repeat_Window bytes occurred earlier in the block.  Positions
// are sampled by their first four bytes, so every occurrence of a window is
// sampled or none is; the windows seen go to a hash set in Work_Area.
double T_KYL_BWT::Repeat_Share(T_Sort_Mode mode) const {
    std::uint64_t* const set = reinterpret_cast<std::uint64_t*>(Work_Area);
    const std::int32_t set_size =
        std::int32_t(std::min<std::uint32_t>(std::bit_ceil(std::uint32_t(Length) >> (Repeat_Sample_Bits - 2)), Repeat_Set_Size));
    std::fill(set, set + set_size, 0);
    const std::int32_t last = Length - 2;  // the block's last position
    const bool ascending = mode == T_Sort_Mode::Ascending;
    std::int32_t samples = 0, repeats = 0;
    for (std::int32_t i = 0; i <= last && samples < set_size / 2; ++i) {
        std::uint32_t gram;
        std::memcpy(&gram, Input + i, sizeof gram);
        if ((gram * 0x9E3779B1u) >> (32 - Repeat_Sample_Bits) != 0) continue;
        if (ascending ? Input[i] >= Input[i + 1] : Input[i] <= Input[i + 1]) continue;
        ++samples;
        // The window reads at most Repeat_Window - 1 bytes past the block's
        // last position, inside its zero tail.
        std::uint64_t hash = 0;
        for (std::int32_t k = 0; k < Repeat_Window; k += 8) {
            std::uint64_t word;
            std::memcpy(&word, Input + i + k, sizeof word);
            hash = (hash ^ word) * 0x9E3779B97F4A7C15u;
            hash ^= hash >> 29;
        }
        hash |= 1;  // 0 marks a free slot
        std::uint32_t slot = std::uint32_t(hash >> 40) & std::uint32_t(set_size - 1);
        while (set[slot] != 0 && set[slot] != hash) slot = (slot + 1) & std::uint32_t(set_size - 1);
        if (set[slot] == 0) {
            set[slot] = hash;
        } else {
            ++repeats;
        }
    }
    return samples < Repeat_Min_Samples ? 0.0 : double(repeats) / samples;
}

// Drops the suffixes of the class to be sorted into their buckets.  The order
// inside a bucket is irrelevant; the bucket sort settles it.
void T_KYL_BWT::Place_Sorted_Class(T_Sort_Mode mode) {
    T_Sort_Tables& t = *Sort_Tables;
    if (mode == T_Sort_Mode::Ascending) {
        // Pair_Start[k + 1] - 1 is the highest free row of bucket k.
        for (std::int32_t i = Length - 1; i >= 0; --i)
            if (Input[i] < Input[i + 1]) Suffix_Array[--t.Pair_Start[(Input[i] << 8 | Input[i + 1]) + 1]] = i;
    } else {
        for (std::int32_t i = Length - 1; i >= 0; --i)
            if (Input[i] > Input[i + 1]) Suffix_Array[t.Pair_Start[Input[i] << 8 | Input[i + 1]]++] = i;
    }
    std::copy(t.Pair_Start_Copy, t.Pair_Start_Copy + Pair_Count, t.Pair_Start);
}

void T_KYL_BWT::Build_Group_Tables() {
    T_Sort_Tables& t = *Sort_Tables;
    for (std::int32_t c = 0; c < 256; ++c) {
        t.Below_Count[c] = t.Pair_Start[c * 257] - t.Pair_Start[c * 256];
        t.Equal_Count[c] = t.Pair_Start[c * 257 + 1] - t.Pair_Start[c * 257];
        t.Above_Count[c] = t.Pair_Start[(c + 1) * 256] - t.Pair_Start[c * 257 + 1];
        t.Group_Start[c] = c == 0 ? 0 : t.Group_End[c - 1] + 1;
        t.Equal_Low[c] = t.Group_Start[c] + t.Below_Count[c];
        t.Equal_High[c] = t.Equal_Low[c] + t.Equal_Count[c] - 1;
        t.Group_End[c] = t.Equal_High[c] + t.Above_Count[c];
    }
}

// Sorts bucket rows first..last (both included) by comparison, on a keyed
// copy of the rows.
void T_KYL_BWT::Sort_Bucket(std::int32_t first, std::int32_t last) {
    const std::int32_t rows = last - first + 1;
    if (rows < 2) return;
    Load_Keys(first, last, Bucket_Depth);
    if (rows > Small_Range) {
        Quick_Sort(0, rows - 1, Bucket_Depth);
    } else {
        Shell_Sort(0, rows - 1, Bucket_Depth);
    }
    std::int32_t* const sa = Suffix_Array + first;
    for (std::int32_t k = 0; k < rows; ++k) sa[k] = Position_Of(Keyed[k]);
}

// Groups in rising order: a group's below rows were all derived by the emit
// scans of smaller groups before the group is reached.  Returns false when
// the deep comparisons ran out of budget.
bool T_KYL_BWT::Sort_Ascending() {
    T_Sort_Tables& t = *Sort_Tables;
    // Suffix 0 has no byte before it; the guard 0 is never above Input[0], so
    // the emit scan derives nothing from it.
    Input[-1] = 0;
    std::int32_t o = 0;
    for (std::int32_t c = 0; c < 256; ++c) {
        if (t.Above_Count[c] > 1) {
            for (std::int32_t x = c + 1; x < 256; ++x) {
                Sort_Bucket(t.Pair_Start[c * 256 + x], t.Pair_Start[c * 256 + x + 1] - 1);
                if (Deep_Budget_Spent()) return false;
            }
        }
        if (t.Equal_Count[c] > 0) {
            const std::int32_t group_first = t.Group_End[c] - t.Above_Count[c] - t.Equal_Count[c] - t.Below_Count[c] + 1;
            t.Equal_High[c] = Fill_Equal_Downwards(std::uint8_t(c), t.Group_End[c], t.Equal_High[c]);
            t.Equal_Low[c] = Fill_Equal_Upwards(std::uint8_t(c), group_first, t.Equal_Low[c]);
        }
        // Rows 0..o-1 are final and emitted.  A suffix p - 1 whose first byte
        // b is above c sits in group b's below part, which fills in the order
        // its successors are met here.
        std::int32_t* const sa = Suffix_Array;
        const std::int32_t group_end = t.Group_End[c];
        for (; o <= group_end; ++o) {
            // The group's rows are all final, so the rows ahead can be fetched.
            if (o + Prefetch_Distance <= group_end) __builtin_prefetch(Input + sa[o + Prefetch_Distance] - 1);
            const std::int32_t p = sa[o];
            const std::uint8_t b = Input[p - 1];
            if (p > 0) {
                Output[o] = b;
            } else {
                Primary_Index = o;
            }
            if (b > c) sa[t.Group_Start[b]++] = p - 1;
        }
    }
    return true;
}

// The mirror image: groups in falling order, rows emitted from the last down,
// above parts derived from their successors.
bool T_KYL_BWT::Sort_Descending() {
    T_Sort_Tables& t = *Sort_Tables;
    // The guard 255 is never below Input[0].
    Input[-1] = 255;
    std::int32_t o = Length - 1;
    for (std::int32_t c = 255; c >= 0; --c) {
        if (t.Below_Count[c] > 1) {
            for (std::int32_t x = 0; x < c; ++x) {
                Sort_Bucket(t.Pair_Start[c * 256 + x], t.Pair_Start[c * 256 + x + 1] - 1);
                if (Deep_Budget_Spent()) return false;
            }
        }
        if (t.Equal_Count[c] > 0) {
            const std::int32_t group_last =
                t.Group_Start[c] + t.Below_Count[c] + t.Equal_Count[c] + t.Above_Count[c] - 1;
            t.Equal_Low[c] = Fill_Equal_Upwards(std::uint8_t(c), t.Group_Start[c], t.Equal_Low[c]);
            t.Equal_High[c] = Fill_Equal_Downwards(std::uint8_t(c), group_last, t.Equal_High[c]);
        }
        // Rows o+1..N are final and emitted.
        std::int32_t* const sa = Suffix_Array;
        const std::int32_t group_start = t.Group_Start[c];
        for (; o >= group_start; --o) {
            if (o - Prefetch_Distance >= group_start) __builtin_prefetch(Input + sa[o - Prefetch_Distance] - 1);
            const std::int32_t p = sa[o];
            const std::uint8_t b = Input[p - 1];
            if (p > 0) {
                Output[o] = b;
            } else {
                Primary_Index = o;
            }
            if (b < c) sa[t.Group_End[b]--] = p - 1;
        }
    }
    return true;
}

// Suffix p - 1 of a (c, c) bucket sorts like suffix p, and every row of group
// c holds a suffix whose first byte is c.  The scan runs from row `from` up to
// the bucket's fill front `low`, also over the rows it fills itself, and
// returns the front it leaves.  Rows below the front are final, so the rows
// ahead can be fetched.
std::int32_t T_KYL_BWT::Fill_Equal_Upwards(std::uint8_t c, std::int32_t from, std::int32_t low) {
    std::int32_t* const sa = Suffix_Array;
    for (std::int32_t r = from; r < low; ++r) {
        if (r + Prefetch_Distance < low) __builtin_prefetch(Input + sa[r + Prefetch_Distance] - 1);
        const std::int32_t p = sa[r];
        if (p > 0 && Input[p - 1] == c) sa[low++] = p - 1;
    }
    return low;
}

// The same from row `from` down to the fill front `high`.
std::int32_t T_KYL_BWT::Fill_Equal_Downwards(std::uint8_t c, std::int32_t from, std::int32_t high) {
    std::int32_t* const sa = Suffix_Array;
    for (std::int32_t r = from; r > high; --r) {
        if (r - Prefetch_Distance > high) __builtin_prefetch(Input + sa[r - Prefetch_Distance] - 1);
        const std::int32_t p = sa[r];
        if (p > 0 && Input[p - 1] == c) sa[high--] = p - 1;
    }
    return high;
}

// Orders the whole block by induced sorting, which also emits it.  Its
// scratch: the type bits in Index_Array behind the suffix array, the rest in
// Work_Array.
void T_KYL_BWT::Sort_Whole_Block() {
    const std::int32_t N = Length - 1;
    assert(std::size_t(Length) + 1 + Induced_Sort_Type_Words(Length) <= std::size_t(Area_Entries));
    assert(Induced_Sort_Work_Words(Length) <= std::size_t(Area_Entries));
    Used_Whole_Block_Sort = true;
    Primary_Index = Induced_Sort_Transform(
        Input, N, Suffix_Array, reinterpret_cast<std::uint32_t*>(Suffix_Array + Length), Work_Area, Output, Helpers);
}

// ------------------------------------------------------------ comparison

// Keyed[0..last-first] from rows first..last, with the keys of depth d.
void T_KYL_BWT::Load_Keys(std::int32_t first, std::int32_t last, std::int32_t d) {
    const std::int32_t* const sa = Suffix_Array + first;
    const std::int32_t rows = last - first + 1;
    for (std::int32_t k = 0; k < rows; ++k) {
        if (k + Prefetch_Distance < rows) __builtin_prefetch(Input + sa[k + Prefetch_Distance] + d);
        const std::int32_t p = sa[k];
        Keyed[k] = (Load_BE64(Input + p + d) & ~Position_Mask) | std::uint64_t(p);
    }
}

// Replaces the keys of Keyed[lo..hi] by those of depth d.
void T_KYL_BWT::Refresh_Keys(std::int32_t lo, std::int32_t hi, std::int32_t d) {
    for (std::int32_t k = lo; k <= hi; ++k) {
        if (k + Prefetch_Distance <= hi) __builtin_prefetch(Input + Position_Of(Keyed[k + Prefetch_Distance]) + d);
        const std::int32_t p = Position_Of(Keyed[k]);
        Keyed[k] = (Load_BE64(Input + p + d) & ~Position_Mask) | std::uint64_t(p);
    }
}

// Multikey quicksort on the keyed rows: a
// ternary split at a pivot key, or for large ranges a split by the next key
// byte.  A part whose whole key is equal moves on to the next key; the others
// keep theirs.
void T_KYL_BWT::Quick_Sort(std::int32_t lo, std::int32_t hi, std::int32_t d) {
    std::vector<T_Range>& stack = Sort_Tables->Stack;
    stack.clear();
    stack.push_back({lo, hi, d, 0});
    while (!stack.empty()) {
        if (Deep_Budget_Spent()) return;
        const T_Range range = stack.back();
        stack.pop_back();
        if (range.Hi - range.Lo + 1 > Byte_Split_Range && range.Settled < Key_Bytes) {
            Split_By_Byte(range);
        } else {
            Split_At_Pivot(range);
        }
    }
}

// The ternary split at the pivot key, into below, equal and above parts.
void T_KYL_BWT::Split_At_Pivot(const T_Range& range) {
    std::uint64_t* const keyed = Keyed;
    const std::int32_t lo = range.Lo, hi = range.Hi;
    // A keyed row's key is below the pivot when the row is below below_v,
    // above it when the row is above above_v.
    const std::uint64_t below_v = Choose_Pivot(lo, hi) << Position_Bits;
    const std::uint64_t above_v = below_v | Position_Mask;

    // Invariant: lo..la-1 and rb+1..hi equal the pivot, la..i-1 below it,
    // j+1..rb above it; i..j not yet seen.
    std::int32_t la = lo, i = lo, j = hi, rb = hi;
    for (;;) {
        for (; i <= j; ++i) {
            const std::uint64_t k = keyed[i];
            if (k > above_v) break;
            if (k >= below_v) std::swap(keyed[la++], keyed[i]);
        }
        for (; i <= j; --j) {
            const std::uint64_t k = keyed[j];
            if (k < below_v) break;
            if (k <= above_v) std::swap(keyed[j], keyed[rb--]);
        }
        if (i > j) break;
        std::swap(keyed[i++], keyed[j--]);
    }
    // Move the equal rows from both ends to the middle.
    const std::int32_t s = std::min(la - lo, i - la);
    std::swap_ranges(keyed + lo, keyed + lo + s, keyed + i - s);
    const std::int32_t t = std::min(rb - j, hi - rb);
    std::swap_ranges(keyed + i, keyed + i + t, keyed + hi - t + 1);

    const std::int32_t below = i - la, above = rb - j;
    T_Range parts[3] = {{lo, lo + below - 1, range.Depth, range.Settled},
                        {lo + below, hi - above, range.Depth, Key_Bytes},
                        {hi - above + 1, hi, range.Depth, range.Settled}};
    // Pending parts go on the stack largest first, so that the smallest is
    // taken next.
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&parts](int x, int y) { return parts[x].Hi - parts[x].Lo > parts[y].Hi - parts[y].Lo; });
    for (int k : order) Schedule(parts[k]);
}

// The counting split by key byte `Settled`: counts, then moves every row to
// its byte's part by following cycles of displaced rows, in place.
void T_KYL_BWT::Split_By_Byte(const T_Range& range) {
    std::uint64_t* const keyed = Keyed;
    const int shift = 64 - 8 * (range.Settled + 1);
    std::int32_t next[256], end[256];
    std::int32_t count[256] = {};
    for (std::int32_t k = range.Lo; k <= range.Hi; ++k) ++count[(keyed[k] >> shift) & 0xFF];
    std::int32_t start = range.Lo;
    for (int b = 0; b < 256; ++b) {
        next[b] = start;
        start += count[b];
        end[b] = start;
    }
    // Invariant: rows range.Lo..next[b]-1 of part b hold byte b.
    for (int b = 0; b < 256; ++b) {
        while (next[b] < end[b]) {
            std::uint64_t row = keyed[next[b]];
            int t = int(row >> shift) & 0xFF;
            while (t != b) {
                std::swap(row, keyed[next[t]++]);
                t = int(row >> shift) & 0xFF;
            }
            keyed[next[b]++] = row;
        }
    }
    // Highest byte pushed first, so the parts are taken in row order.
    for (int b = 255; b >= 0; --b)
        if (count[b] > 0) Schedule({end[b] - count[b], end[b] - 1, range.Depth, range.Settled + 1});
}

// Sends a part of a split where it goes next: onto the stack, or to
// Shell_Sort if small.  A part whose keys are equal moves on to the next key,
// unless it is past Deepest_Key: Shell_Sort then finishes it on the keys it
// has.
void T_KYL_BWT::Schedule(T_Range part) {
    const std::int32_t rows = part.Hi - part.Lo + 1;
    if (rows < 2) return;
    if (part.Settled == Key_Bytes) {
        const std::int32_t next_d = part.Depth + Key_Bytes;
        if (next_d > Deepest_Key) {
            Shell_Sort(part.Lo, part.Hi, part.Depth);
            return;
        }
        Refresh_Keys(part.Lo, part.Hi, next_d);
        part.Depth = next_d;
        part.Settled = 0;
    }
    if (rows > Small_Range) {
        Sort_Tables->Stack.push_back(part);
    } else {
        Shell_Sort(part.Lo, part.Hi, part.Depth);
    }
}

std::uint64_t T_KYL_BWT::Choose_Pivot(std::int32_t lo, std::int32_t hi) const {
    const std::uint64_t* const keyed = Keyed;
    const std::int32_t mid = (lo + hi) / 2;
    if (hi - lo >= 256) {
        const std::int32_t s = (hi - lo) / 8;
        const std::uint64_t m1 = Median_Of_3(keyed[lo], keyed[lo + s], keyed[lo + 2 * s]);
        const std::uint64_t m2 = Median_Of_3(keyed[mid - s], keyed[mid], keyed[mid + s]);
        const std::uint64_t m3 = Median_Of_3(keyed[hi - 2 * s], keyed[hi - s], keyed[hi]);
        return Key_Of(Median_Of_3(m1, m2, m3));
    }
    return Key_Of(Median_Of_3(keyed[lo], keyed[mid], keyed[hi]));
}

// Keyed rows with equal keys are interchangeable here: only the median key
// matters.
std::uint64_t T_KYL_BWT::Median_Of_3(std::uint64_t a, std::uint64_t b, std::uint64_t c) const {
    if (a < b) {
        if (b < c) return b;
        return a < c ? c : a;
    }
    if (b > c) return b;
    return a > c ? c : a;
}

void T_KYL_BWT::Shell_Sort(std::int32_t lo, std::int32_t hi, std::int32_t d) {
    std::uint64_t* const keyed = Keyed;
    const std::int32_t rows = hi - lo + 1;
    int k = int(std::size(Shell_Increments)) - 1;
    while (k > 0 && Shell_Increments[k] >= rows) --k;
    for (; k >= 0; --k) {
        const std::int32_t h = Shell_Increments[k];
        // Each pass leaves every h-spaced chain from lo sorted.
        for (std::int32_t i = lo + h; i <= hi; ++i) {
            const std::uint64_t v = keyed[i];
            std::int32_t j = i;
            while (j >= lo + h && Keyed_Greater(keyed[j - h], v, d)) {
                keyed[j] = keyed[j - h];
                j -= h;
            }
            keyed[j] = v;
            if (Deep_Budget_Spent()) return;
        }
    }
}

// Different keys decide at once; equal ones leave the suffixes to be
// compared from the byte after the key.
bool T_KYL_BWT::Keyed_Greater(std::uint64_t w, std::uint64_t v, std::int32_t d) {
    if (Key_Of(w) != Key_Of(v)) return w > v;
    return Suffix_Greater(Position_Of(w), Position_Of(v), d + Key_Bytes);
}

// Compares 64 bytes per step as eight big-endian words, so word order is
// byte order.  A step that takes the higher start to n + 64 has compared all
// its block bytes and 64 of its padding zeros: the suffixes are then equal in
// the padded sense, and the higher start is the smaller.  Reads stay below
// N + 128 + Deepest_Key + Key_Bytes, inside the zeros after the block.
bool T_KYL_BWT::Suffix_Greater(std::int32_t w, std::int32_t v, std::int32_t d) {
    const std::int32_t limit = Length + 64;
    std::int32_t a = w + d, b = v + d;
    for (;;) {
        for (int k = 0; k < 64; k += 8) {
            const std::uint64_t x = Load_BE64(Input + a + k), y = Load_BE64(Input + b + k);
            if (x != y) return x > y;
        }
        a += 64;
        b += 64;
        --Deep_Steps_Left;
        if (a >= limit || b >= limit) return w < v;
    }
}

// ------------------------------------------------------------------ decode

namespace {

// Parts of the counting and of the entries when threads are lent.
constexpr int Entry_Parts = 8;

// Counts the bytes source[from..to-1] into counts[256], but for the one at
// the primary row, which stands for the end-of-block mark.
void Count_Bytes(const std::uint8_t* source, std::int32_t from, std::int32_t to, std::int32_t primary,
                 std::int32_t* counts) {
    Count_Byte_Values(source, from, to, counts);
    if (primary >= from && primary < to) --counts[source[primary]];
}

// Entry k: the row of the suffix one byte earlier (the rows above k with the
// same byte, counted from that byte's first row) in bits 8..30, and the byte
// of row k.  Storing the successor itself spares the walk a table read per
// step.  The primary row has no entry.  next[b]: the row the next byte b of
// rows from..to-1 leads to.
void Fill_Entries(const std::uint8_t* source, std::int32_t from, std::int32_t to, std::int32_t primary,
                  std::int32_t* next, std::uint32_t* vector) {
    auto fill = [&](std::int32_t first, std::int32_t end) {
        for (std::int32_t k = first; k < end; ++k) {
            const std::uint8_t b = source[k];
            vector[k] = std::uint32_t(next[b]++) << 8 | b;
        }
    };
    if (primary >= from && primary < to) {
        fill(from, primary);
        fill(primary + 1, to);
    } else {
        fill(from, to);
    }
}

}  // namespace

// The entries of all rows.  The first rows of the byte values in the sorted
// first column: row 0 is the end-of-block mark, then the bytes in order.
// With threads lent, each part counts its rows' bytes and fills its rows'
// entries from where the rows of the parts before it leave off.
void T_KYL_BWT::Fill_Vector(const std::uint8_t* source, std::int32_t n, std::uint32_t* vector) const {
    T_KYL_Helpers* const helpers = Helpers;
    const int parts = helpers && n >= T_KYL_BWT_Walk::Interleave_From ? Entry_Parts : 1;
    auto part_start = [n, parts](int part) { return std::int32_t(std::int64_t(n) * part / parts); };
    std::int32_t counts[Entry_Parts][256];
    auto count_part = [&](int part) {
        Count_Bytes(source, part_start(part), part_start(part + 1), Primary_Index, counts[part]);
    };
    if (parts > 1) {
        helpers->Run_Parts(parts, count_part);
    } else {
        count_part(0);
    }
    std::int32_t row = 1;
    for (int c = 0; c < 256; ++c) {
        for (int part = 0; part < parts; ++part) row += std::exchange(counts[part][c], row);
    }
    auto fill_part = [&](int part) {
        Fill_Entries(source, part_start(part), part_start(part + 1), Primary_Index, counts[part], vector);
    };
    if (parts > 1) {
        helpers->Run_Parts(parts, fill_part);
    } else {
        fill_part(0);
    }
}

void T_KYL_BWT::Decode(T_Block_Data& data) {
    if (data.Source->Len <= 0) {
        Current_Controller->Swap_Buffers(data);
        return;
    }
    T_Buffer& header = *data.Header;
    Require_Intact(header.Len >= 3, "primary index missing from the header");
    Primary_Index = std::int32_t(Pop_LE(header, 3));

    const std::int32_t n = data.Source->Len;
    Require_Intact(n <= Max_Transformed_Length, "transformed block too long");
    // Row 0 is the end-of-block row, so a valid primary index is 1..n-1.
    Require_Intact(Primary_Index >= 1 && Primary_Index < n, "primary index outside the block");
    data.Target->Len = n - 1;

    const std::uint8_t* const source = data.Source->Data;
    std::uint32_t* const vector = data.Work_Array;
    Fill_Vector(source, n, vector);

    std::uint8_t* const target = data.Target->Data;
    if (n < T_KYL_BWT_Walk::Interleave_From || Use_Single_Walk) {
        T_KYL_BWT_Walk::Walk_Single(vector, n, Primary_Index, target);
    } else {
        // The pieces of the walk go to Index_Array.
        auto* scratch = reinterpret_cast<std::uint8_t*>(data.Index_Array);
        assert(T_KYL_BWT_Walk::Scratch_Bytes(n) <= std::int64_t(Area_Entries) * 4);
        bool walked = false;
        if (T_KYL_Helpers* const helpers = Helpers) {
            // Threads lent to the block walk parts of it beside this one.
            Walk.Start_Parts(vector, n, Primary_Index, scratch);
            bool part_walked[T_KYL_BWT_Walk::Parts] = {};
            helpers->Run_Parts(T_KYL_BWT_Walk::Parts,
                               [&](int part) { part_walked[part] = Walk.Walk_Part(vector, n, part); });
            walked = std::ranges::all_of(part_walked, std::identity{}) && Walk.Finish_Parts(n, Primary_Index, target);
        } else {
            walked = Walk.Walk_Interleaved(vector, n, Primary_Index, target, scratch);
        }
        Require_Intact(walked, "the rows of the block do not form one cycle");
    }
}
