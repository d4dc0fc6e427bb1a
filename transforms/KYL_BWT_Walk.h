// SPDX-License-Identifier: MIT
// The last-to-first walk that restores a block from its transform.
//
// Each row's entry holds its successor row (the row of the suffix one byte
// earlier) in bits 8..30 and its byte in bits 0..7; the walk from the
// end-of-block row 0 reads the block from its last byte to its first and ends
// at the primary row.  One walk is one chain of dependent reads over a vector
// far larger than the caches, so its speed is the memory latency.  The
// interleaved walk runs many independent chains at once instead: pieces of the
// cycle that start at rows fixed in advance, each ending where it meets the
// start of another, joined afterwards in cycle order.  Both give the same
// bytes for every block whose rows form one cycle, which every valid block
// does.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

class T_KYL_BWT_Walk {
public:
    // Entries with this bit set end a piece: the start rows of the pieces and
    // the primary row.
    static constexpr std::uint32_t Stop_Bit = 0x80000000u;

    T_KYL_BWT_Walk();

    // Writes target[n-2] down to target[0] by one chain from row 0.  Damage
    // cannot lead it outside rows 0..n-1: the primary row's entry is 0.
    static void Walk_Single(std::uint32_t* vector, std::int32_t n, std::int32_t primary, std::uint8_t* target);

    // The same bytes by interleaved chains.  `scratch` holds at least
    // Scratch_Bytes(n) bytes.  Returns false when the rows do not form one
    // cycle through row 0 and the primary row (a damaged block).  Changes the
    // stop bits of `vector`.
    bool Walk_Interleaved(std::uint32_t* vector, std::int32_t n, std::int32_t primary, std::uint8_t* target,
                          std::uint8_t* scratch);

    // The interleaved walk in parts that may run on different threads at
    // once: Start_Parts, then Walk_Part for each part 0..Parts-1, then
    // Finish_Parts.  The same bytes and the same verdict as Walk_Interleaved:
    // Walk_Part and Finish_Parts return false for a damaged block.
    static constexpr int Parts = 8;
    void Start_Parts(std::uint32_t* vector, std::int32_t n, std::int32_t primary, std::uint8_t* scratch);
    bool Walk_Part(const std::uint32_t* vector, std::int32_t n, int part);
    bool Finish_Parts(std::int32_t n, std::int32_t primary, std::uint8_t* target) const;

    static std::int64_t Scratch_Bytes(std::int32_t n);
    // Blocks below this many rows are walked by the single chain.
    static constexpr std::int32_t Interleave_From = 1 << 16;

private:
    struct T_Piece {
        std::int32_t Start_Row = 0;
        std::int32_t End_Row = -1;
        std::int32_t First_Segment = -1;
        std::int32_t Last_Segment = -1;
    };
    // The chains in flight, one entry per chain, kept as separate arrays so
    // that the walk's inner loop touches only what it needs.
    struct T_Chains;

    // Appends a fresh segment to the piece; -1 when none is left (only
    // damage uses them all up).
    std::int32_t Take_Segment(std::int32_t piece);
    bool Start_Piece(T_Chains& chains, int chain, std::int32_t piece, const std::uint32_t* vector);
    void Close_Segment(const T_Chains& chains, int chain);
    bool Walk_Rounds(const std::uint32_t* vector, std::int32_t n, std::int32_t first, std::int32_t end);

    // Plain loads even where gathers are available (a test control).
    bool Plain_Reads = false;
    friend struct T_KYL_Test_Seam;

    std::vector<T_Piece> Pieces;
    std::vector<std::int32_t> Next_Segment;   // segments of a piece, in order; -1 ends
    std::vector<std::int32_t> Segment_Used;   // bytes at the end of each segment
    std::uint8_t* Scratch = nullptr;
    std::atomic<std::int32_t> Segments_Used = 0;
};
