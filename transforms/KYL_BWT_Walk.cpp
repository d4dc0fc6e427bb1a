// SPDX-License-Identifier: MIT
#include "transforms/KYL_BWT_Walk.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KYL_WALK_GATHER 1
#endif

#include "block/KYL_Word_Unit.h"

namespace {

// Chains in flight at once: enough independent reads to keep the memory
// system busy.  Plain loads reach their best from about 32 chains on, when the
// processor's window holds all of them; gathers, eight reads an instruction,
// keep more in flight and gain up to 64.
constexpr int Chain_Count = 64;
// Steps every chain takes per round before the walk looks for stops.
constexpr std::int32_t Round_Steps = 16;
// Pieces besides the one from row 0.  Many more pieces than chains keep all
// chains busy to the end: a chain that finishes takes the next piece, and the
// last pieces, which run with few chains beside them, are short.
constexpr std::int32_t Piece_Count = 4096;
// A piece's bytes go to segments of this size taken from the scratch area,
// each filled from its end downwards, so that it holds its bytes in block
// order.
constexpr std::int32_t Segment_Bytes = 1 << 10;
constexpr std::uint32_t Row_Mask = 0x7FFFFFu;
// Rows are below 2^23, so a row shifted into bits 8..30 leaves bit 31 free
// for the stop mark.
static_assert((Row_Mask << 8) < T_KYL_BWT_Walk::Stop_Bit);

// A segment is given up for a fresh one once it has no room for a round, so
// every segment but the last of its piece holds more than
// Segment_Bytes - Round_Steps bytes.
std::int32_t Segments_For(std::int32_t n) { return n / (Segment_Bytes - Round_Steps) + Piece_Count + 2; }

inline std::uint32_t Successor(std::uint32_t entry) { return (entry >> 8) & Row_Mask; }

using T_Round_Entries = std::uint32_t[Round_Steps][Chain_Count];

// A round's reads: Round_Steps steps on chains 0..count-1 from `rows`,
// keeping every entry read and leaving each chain's next row in `rows`.
void Read_Round_Plain(const std::uint32_t* vector, std::uint32_t* rows, T_Round_Entries& entries, int count) {
    for (std::int32_t step = 0; step < Round_Steps; ++step) {
        for (int c = 0; c < count; ++c) {
            const std::uint32_t entry = vector[rows[c]];
            entries[step][c] = entry;
            rows[c] = Successor(entry);
        }
    }
}

#ifdef KYL_WALK_GATHER
// Eight chains a gather.  The lanes past `count` up to the next eight hold
// row 0: they read a row of the block and their entries are not used.
[[gnu::target("avx2")]] void Read_Round_Gather(const std::uint32_t* vector, std::uint32_t* rows,
                                              T_Round_Entries& entries, int count) {
    const int groups = (count + 7) / 8;
    for (int c = count; c < groups * 8; ++c) rows[c] = 0;
    const __m256i mask = _mm256_set1_epi32(int(Row_Mask));
    const auto* const base = reinterpret_cast<const int*>(vector);
    for (std::int32_t step = 0; step < Round_Steps; ++step) {
        for (int g = 0; g < groups; ++g) {
            auto* const lanes = reinterpret_cast<__m256i*>(rows + 8 * g);
            const __m256i entry = _mm256_i32gather_epi32(base, _mm256_loadu_si256(lanes), 4);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(entries[step] + 8 * g), entry);
            _mm256_storeu_si256(lanes, _mm256_and_si256(_mm256_srli_epi32(entry, 8), mask));
        }
    }
}
#endif

// Writes chain c's bytes of the round below `out`, in block order, when none
// of its entries carries a stop; false, with nothing written, otherwise.  The
// bytes go out as whole words: the walk's stores then keep pace with its reads.
inline bool Write_Round(const T_Round_Entries& entries, int c, std::uint8_t* out) {
    static_assert(Round_Steps % 8 == 0);
    std::uint32_t seen = 0;
    std::uint64_t words[Round_Steps / 8];
    for (std::int32_t w = 0; w < Round_Steps / 8; ++w) {
        // The word that ends (Round_Steps / 8 - w) words below `out` holds
        // the steps 8w + 7 down to 8w, in that order.
        std::uint64_t word = 0;
        for (std::int32_t k = 0; k < 8; ++k) {
            const std::uint32_t entry = entries[8 * w + k][c];
            seen |= entry;
            word |= std::uint64_t(std::uint8_t(entry)) << (8 * (7 - k));
        }
        words[w] = word;
    }
    if ((seen & T_KYL_BWT_Walk::Stop_Bit) != 0) return false;
    for (std::int32_t w = 0; w < Round_Steps / 8; ++w) {
        Store_LE64(out - 8 * (w + 1), words[w]);
    }
    return true;
}

using T_Read_Round = void (*)(const std::uint32_t*, std::uint32_t*, T_Round_Entries&, int);

// The reads for the processor this runs on, chosen on first use.
T_Read_Round Read_Round() {
    static const T_Read_Round chosen = [] {
#ifdef KYL_WALK_GATHER
        if (__builtin_cpu_supports("avx2")) return Read_Round_Gather;
#endif
        return Read_Round_Plain;
    }();
    return chosen;
}

}  // namespace

struct T_KYL_BWT_Walk::T_Chains {
    std::uint32_t Row[Chain_Count];   // the row whose byte the chain writes next
    std::uint8_t* Out[Chain_Count];   // the chain's bytes so far start here
    std::uint8_t* Floor[Chain_Count]; // the start of its segment
    std::int32_t Segment[Chain_Count];
    std::int32_t Piece[Chain_Count];
    int Active = 0;
    // Bytes the walk may still write: every row but the primary one once.
    std::int64_t Steps_Left = 0;

    void Move(int to, int from) {
        Row[to] = Row[from];
        Out[to] = Out[from];
        Floor[to] = Floor[from];
        Segment[to] = Segment[from];
        Piece[to] = Piece[from];
    }
};

T_KYL_BWT_Walk::T_KYL_BWT_Walk() = default;

std::int64_t T_KYL_BWT_Walk::Scratch_Bytes(std::int32_t n) { return std::int64_t(Segments_For(n)) * Segment_Bytes; }

void T_KYL_BWT_Walk::Walk_Single(std::uint32_t* vector, std::int32_t n, std::int32_t primary, std::uint8_t* target) {
    vector[primary] = 0;
    std::uint32_t row = 0;
    for (std::int32_t i = n - 2; i >= 0; --i) {
        const std::uint32_t f = vector[row];
        target[i] = std::uint8_t(f);
        row = Successor(f);
    }
}

// Parts walking at once take segments from the one count; every other field a
// part touches belongs to its own pieces.
std::int32_t T_KYL_BWT_Walk::Take_Segment(std::int32_t piece) {
    const std::int32_t segment = Segments_Used.fetch_add(1, std::memory_order_relaxed);
    if (segment >= std::int32_t(Next_Segment.size())) return -1;
    Next_Segment[std::size_t(segment)] = -1;
    Segment_Used[std::size_t(segment)] = 0;
    T_Piece& owner = Pieces[std::size_t(piece)];
    if (owner.First_Segment < 0) owner.First_Segment = segment;
    else Next_Segment[std::size_t(owner.Last_Segment)] = segment;
    owner.Last_Segment = segment;
    return segment;
}

void T_KYL_BWT_Walk::Close_Segment(const T_Chains& chains, int chain) {
    Segment_Used[std::size_t(chains.Segment[chain])] =
        std::int32_t(chains.Floor[chain] + Segment_Bytes - chains.Out[chain]);
}

// Puts the chain on the start row of the piece and writes that row's byte:
// the start row carries the stop bit for the chains that run into it.
bool T_KYL_BWT_Walk::Start_Piece(T_Chains& chains, int chain, std::int32_t piece, const std::uint32_t* vector) {
    const std::int32_t segment = Take_Segment(piece);
    if (segment < 0 || --chains.Steps_Left < 0) return false;
    std::uint8_t* const floor = Scratch + std::int64_t(segment) * Segment_Bytes;
    const std::uint32_t entry = vector[Pieces[std::size_t(piece)].Start_Row];
    chains.Segment[chain] = segment;
    chains.Piece[chain] = piece;
    chains.Floor[chain] = floor;
    chains.Out[chain] = floor + Segment_Bytes - 1;
    *chains.Out[chain] = std::uint8_t(entry);
    chains.Row[chain] = Successor(entry);
    return true;
}

bool T_KYL_BWT_Walk::Walk_Interleaved(std::uint32_t* vector, std::int32_t n, std::int32_t primary,
                                      std::uint8_t* target, std::uint8_t* scratch) {
    Start_Parts(vector, n, primary, scratch);
    return Walk_Rounds(vector, n, 0, Piece_Count + 1) && Finish_Parts(n, primary, target);
}

bool T_KYL_BWT_Walk::Walk_Part(const std::uint32_t* vector, std::int32_t n, int part) {
    const auto piece_at = [](int k) { return std::int32_t(std::int64_t(Piece_Count + 1) * k / Parts); };
    return Walk_Rounds(vector, n, piece_at(part), piece_at(part + 1));
}

void T_KYL_BWT_Walk::Start_Parts(std::uint32_t* vector, std::int32_t n, std::int32_t primary, std::uint8_t* scratch) {
    Scratch = scratch;
    Segments_Used.store(0, std::memory_order_relaxed);
    // Made on the first large block, so that a run of small files never
    // touches them.
    Pieces.resize(Piece_Count + 1);
    Next_Segment.resize(std::size_t(Segments_For(n)));
    Segment_Used.resize(std::size_t(Segments_For(n)));

    // Piece 0 starts at the end-of-block row; the others at evenly spaced
    // rows (never the primary row, never row 0).  Their entries and the
    // primary row's carry the stop bit, so every chain ends where another
    // piece begins, or at the primary row.
    const std::int32_t spacing = n / (Piece_Count + 1);
    for (std::int32_t piece = 0; piece <= Piece_Count; ++piece) {
        std::int32_t row = piece * spacing;
        if (piece > 0 && row == primary) ++row;
        Pieces[std::size_t(piece)] = T_Piece{row, -1, -1, -1};
        if (piece > 0) vector[row] |= Stop_Bit;
    }
    vector[primary] = Stop_Bit;
}

// Walks the pieces first..end-1 to their stops.  Each round takes
// Round_Steps steps on every chain without looking at stops, keeping the
// entries it reads; then each chain's entries are written out up to its first
// stop, if it met one.
bool T_KYL_BWT_Walk::Walk_Rounds(const std::uint32_t* vector, std::int32_t n, std::int32_t first, std::int32_t end) {
    T_Chains chains;
    chains.Steps_Left = std::int64_t(n) - 1;
    std::int32_t next_piece = first;
    while (chains.Active < Chain_Count && next_piece < end)
        if (!Start_Piece(chains, chains.Active++, next_piece++, vector)) return false;

    const T_Read_Round read_round = Plain_Reads ? Read_Round_Plain : Read_Round();
    T_Round_Entries entries;
    std::uint32_t rows[Chain_Count];
    while (chains.Active > 0) {
        const int active = chains.Active;
        for (int c = 0; c < active; ++c) {
            if (chains.Out[c] - chains.Floor[c] < Round_Steps) {
                Close_Segment(chains, c);
                const std::int32_t segment = Take_Segment(chains.Piece[c]);
                if (segment < 0) return false;
                chains.Segment[c] = segment;
                chains.Floor[c] = Scratch + std::int64_t(segment) * Segment_Bytes;
                chains.Out[c] = chains.Floor[c] + Segment_Bytes;
            }
            rows[c] = chains.Row[c];
        }
        read_round(vector, rows, entries, active);
        for (int c = 0; c < chains.Active;) {
            std::uint8_t* out = chains.Out[c];
            if (Write_Round(entries, c, out)) {
                chains.Steps_Left -= Round_Steps;
                chains.Out[c] = out - Round_Steps;
                chains.Row[c] = rows[c];
                ++c;
                continue;
            }
            // The chain met a stop in this round: its bytes up to there.
            std::int32_t step = 0;
            while ((entries[step][c] & Stop_Bit) == 0) *--out = std::uint8_t(entries[step++][c]);
            chains.Steps_Left -= step;
            chains.Out[c] = out;
            // The entry of the row the chain stands on carries the stop.
            if (step > 0) chains.Row[c] = Successor(entries[step - 1][c]);
            Close_Segment(chains, c);
            Pieces[std::size_t(chains.Piece[c])].End_Row = std::int32_t(chains.Row[c]);
            if (next_piece < end) {
                if (!Start_Piece(chains, c, next_piece++, vector)) return false;
                ++c;
            } else {
                // The last chain takes this place, with its round.
                const int last = --chains.Active;
                chains.Move(c, last);
                rows[c] = rows[last];
                for (std::int32_t s = 0; s < Round_Steps; ++s) entries[s][c] = entries[s][last];
            }
        }
        // More steps than rows: some chain circles outside the cycle of
        // row 0, which only damage gives.
        if (chains.Steps_Left < 0) return false;
    }
    return true;
}

// Lays the pieces out in cycle order, from the one that starts at row 0 to
// the one that ends at the primary row.  The walk reads the block backwards,
// so the pieces fill the block from its end, each segment a block-order
// stretch below the one before.
bool T_KYL_BWT_Walk::Finish_Parts(std::int32_t n, std::int32_t primary, std::uint8_t* target) const {
    std::int64_t position = std::int64_t(n) - 1;
    std::int32_t current = 0;
    for (std::int32_t joined = 0; joined <= Piece_Count; ++joined) {
        const T_Piece& piece = Pieces[std::size_t(current)];
        for (std::int32_t segment = piece.First_Segment; segment >= 0; segment = Next_Segment[std::size_t(segment)]) {
            const std::int32_t used = Segment_Used[std::size_t(segment)];
            if (used > position) return false;
            position -= used;
            std::memcpy(target + position, Scratch + std::int64_t(segment + 1) * Segment_Bytes - used,
                        std::size_t(used));
        }
        if (piece.End_Row == primary) return position == 0;
        // Start rows rise with the piece number; find the piece this one ran into.
        const auto next = std::lower_bound(Pieces.begin() + 1, Pieces.end(), piece.End_Row,
                                           [](const T_Piece& p, std::int32_t row) { return p.Start_Row < row; });
        if (next == Pieces.end() || next->Start_Row != piece.End_Row) return false;
        current = std::int32_t(next - Pieces.begin());
    }
    return false;
}
