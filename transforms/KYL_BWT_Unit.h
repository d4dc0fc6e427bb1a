// SPDX-License-Identifier: MIT
// The block-sorting transform and its inverse.
//
// Encode sorts all suffixes of a block of N bytes extended by an end-of-block
// mark that sorts before every byte value (suffix N is the mark alone, so it
// is always row 0), writes for every row the byte before its suffix, and
// pushes the row of suffix 0 (the primary index) onto Header as 3 bytes, low
// byte first.  Decode walks the last-to-first mapping back.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "block/KYL_Block_Unit.h"
#include "transforms/KYL_BWT_Walk.h"

struct T_Block_Data;
class T_KYL_Helpers;

class T_KYL_BWT {
public:
    // Which class of two-byte buckets is sorted by comparison; the other
    // class is derived by scans.  Both give the same order.
    enum class T_Sort_Mode : std::uint8_t { Automatic, Ascending, Descending };

    // Allocates the sort's work tables (about 0.5 MB) once for all blocks.
    T_KYL_BWT();
    ~T_KYL_BWT();
    T_KYL_BWT(const T_KYL_BWT&) = delete;
    T_KYL_BWT& operator=(const T_KYL_BWT&) = delete;

    // Replaces the block in Source (1..Block_Size bytes) by its transform
    // (N + 1 bytes) in Target and appends the 3-byte primary index to Header.
    // Writes a guard byte at Source.Data[-1] and 257 zeros after the block;
    // uses Index_Array[1..N+1] as the suffix array and Work_Array as scratch.
    // Most blocks are ordered by the induced sort, which also uses the rest
    // of Index_Array; blocks of small buckets without long repeats by the
    // bucket sort, faster there.
    // An empty Source is handed on by a swap and leaves Header alone.
    void Encode(T_Block_Data& data);

    // Restores the block from the transformed bytes in Source and the primary
    // index taken from the end of Header.  Uses Index_Array (the walk's
    // scratch) and Work_Array[0..n-1].  Throws T_KYL_Damaged_Block
    // for a primary index outside 1..n-1, a transformed block longer than
    // Max_Transformed_Length, or rows that do not form one cycle.
    void Decode(T_Block_Data& data);

    // Blocks below this size go to the induced sort at once: it takes less
    // than clearing the bucket sort's tables of 65,536 pairs.  Where blocks
    // are small (the fuzz build), an eighth of a block, so that both sorts
    // are reached.
    static constexpr std::int32_t Induced_Sort_Below = std::min(1 << 16, Block_Size / 8);

    // Threads that the owner of this stage's codec lends to its blocks: the
    // walk hands them parts of its work.  None: this thread walks alone.
    T_KYL_Helpers* Helpers = nullptr;

    // Working copies set at every Encode; nothing is carried between blocks.
    std::uint8_t* Input = nullptr;         // the block; Input[-1] and Input[N..N+256] writable
    std::uint8_t* Output = nullptr;        // N + 1 bytes
    std::int32_t Length = 0;               // N on entry, n = N + 1 during the sort
    std::int32_t* Suffix_Array = nullptr;  // Index_Array + 1: rows 0..N
    std::int32_t Primary_Index = 0;        // row of suffix 0

private:
    friend struct T_KYL_Test_Seam;

    // Controls for tests and benchmarks; the defaults are what the codec uses.
    // A forced mode also forces the bucket sort (which still hands blocks
    // whose comparisons run too deep to the induced sort).
    T_Sort_Mode Forced_Mode = T_Sort_Mode::Automatic;
    // Skips the bucket sort and orders the block by the induced sort alone.
    bool Force_Whole_Block_Sort = false;
    // Restores every block by the one-chain walk (the reference for tests).
    bool Use_Single_Walk = false;
    // Reported by every Encode of a non-empty block.
    T_Sort_Mode Used_Mode = T_Sort_Mode::Automatic;
    bool Used_Whole_Block_Sort = false;

    struct T_Sort_Tables;

    // Fills Suffix_Array with the sorted order, writes every output byte but
    // the one at the primary index, and sets Primary_Index.
    void Sort_Suffixes();
    // Sort_Suffixes steps.
    void Count_Pairs();
    T_Sort_Mode Choose_Mode() const;
    // Whether the bucket sort will beat the induced sort on this block.
    bool Bucket_Sort_Pays(T_Sort_Mode mode) const;
    double Repeat_Share(T_Sort_Mode mode) const;
    void Place_Sorted_Class(T_Sort_Mode mode);
    void Build_Group_Tables();
    bool Sort_Ascending();
    bool Sort_Descending();
    void Sort_Bucket(std::int32_t first, std::int32_t last);
    // Fill the (c, c) bucket from the rows of group c; return the new front.
    std::int32_t Fill_Equal_Upwards(std::uint8_t c, std::int32_t from, std::int32_t low);
    std::int32_t Fill_Equal_Downwards(std::uint8_t c, std::int32_t from, std::int32_t high);
    void Sort_Whole_Block();
    // Decode's vector: every row's entry for the walk.
    void Fill_Vector(const std::uint8_t* source, std::int32_t n, std::uint32_t* vector) const;

    // The comparison sort of one bucket works on a copy of its rows, each
    // with the next Key_Bytes bytes of its suffix cached beside its position
    // (see T_Keyed_Row in the source).  The copy lives in Work_Area; Keyed[k]
    // stands for row first + k of the bucket.
    void Load_Keys(std::int32_t first, std::int32_t last, std::int32_t d);
    void Refresh_Keys(std::int32_t lo, std::int32_t hi, std::int32_t d);

    // Sort Keyed[lo..hi], whose suffixes agree on their first d bytes and
    // whose cached keys hold bytes d..d+Key_Bytes-1.
    void Quick_Sort(std::int32_t lo, std::int32_t hi, std::int32_t d);
    void Shell_Sort(std::int32_t lo, std::int32_t hi, std::int32_t d);
    // The pivot key of Keyed[lo..hi], and the median key of three entries.
    struct T_Range;
    void Split_At_Pivot(const T_Range& range);
    void Split_By_Byte(const T_Range& range);
    void Schedule(T_Range part);
    std::uint64_t Choose_Pivot(std::int32_t lo, std::int32_t hi) const;
    std::uint64_t Median_Of_3(std::uint64_t a, std::uint64_t b, std::uint64_t c) const;
    // True when keyed row w sorts after keyed row v; both agree on d bytes
    // and carry the keys of depth d.
    bool Keyed_Greater(std::uint64_t w, std::uint64_t v, std::int32_t d);
    // True when suffix w sorts after suffix v; both agree on d bytes.
    bool Suffix_Greater(std::int32_t w, std::int32_t v, std::int32_t d);

    bool Deep_Budget_Spent() const { return Deep_Steps_Left < 0; }

    std::unique_ptr<T_Sort_Tables> Sort_Tables;
    T_KYL_BWT_Walk Walk;
    // 64-byte comparison steps the bucket sort may still spend before the
    // block is handed to the induced sort.
    std::int64_t Deep_Steps_Left = 0;
    // Scratch for the bucket sort's keyed rows and for the induced sort: the
    // Work_Array of the call in progress.
    std::uint32_t* Work_Area = nullptr;
    std::uint64_t* Keyed = nullptr;
};
