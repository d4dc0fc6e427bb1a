#include "transforms/KYL_BWT_Walk.h"

#include <algorithm>

namespace {

// Chains in flight at once: enough independent reads to keep the memory
// system busy, few enough that their state stays in registers and L1.
constexpr int Chain_Count = 24;
// Pieces besides the one from row 0.  Many more pieces than chains keep all
// chains busy to the end: a chain that finishes takes the next piece.
constexpr std::int32_t Piece_Count = 256;
// A piece's bytes go to segments of this size taken from the scratch area.
constexpr std::int32_t Segment_Bytes = 1 << 14;
constexpr std::uint32_t Row_Mask = 0x7FFFFFu;
// Rows are below 2^23, so a row shifted into bits 8..30 leaves bit 31 free
// for the stop mark.
static_assert((Row_Mask << 8) < T_KYL_BWT_Walk::Stop_Bit);

std::int32_t Segments_For(std::int32_t n) { return n / Segment_Bytes + Piece_Count + 2; }

}  // namespace

T_KYL_BWT_Walk::T_KYL_BWT_Walk()
    : Pieces(Piece_Count + 1), Last_Segment(Piece_Count + 1) {}

std::int64_t T_KYL_BWT_Walk::Scratch_Bytes(std::int32_t n) { return std::int64_t(Segments_For(n)) * Segment_Bytes; }

void T_KYL_BWT_Walk::Walk_Single(std::uint32_t* vector, std::int32_t n, std::int32_t primary, std::uint8_t* target) {
    vector[primary] = 0;
    std::uint32_t row = 0;
    for (std::int32_t i = n - 2; i >= 0; --i) {
        const std::uint32_t f = vector[row];
        target[i] = std::uint8_t(f);
        row = (f >> 8) & Row_Mask;
    }
}

std::int32_t T_KYL_BWT_Walk::Take_Segment(std::int32_t piece) {
    if (Segments_Used >= std::int32_t(Next_Segment.size())) return -1;
    const std::int32_t segment = Segments_Used++;
    Next_Segment[std::size_t(segment)] = -1;
    T_Piece& owner = Pieces[std::size_t(piece)];
    if (owner.First_Segment < 0) owner.First_Segment = segment;
    else Next_Segment[std::size_t(Last_Segment[std::size_t(piece)])] = segment;
    Last_Segment[std::size_t(piece)] = segment;
    return segment;
}

bool T_KYL_BWT_Walk::Walk_Interleaved(std::uint32_t* vector, std::int32_t n, std::int32_t primary,
                                      std::uint8_t* target, std::uint8_t* scratch) {
    Scratch = scratch;
    Segments_Used = 0;
    Next_Segment.resize(std::size_t(Segments_For(n)));

    // Piece 0 starts at the end-of-block row; the others at evenly spaced
    // rows (never the primary row, never row 0).  Their entries and the
    // primary row's carry the stop bit, so every chain ends where another
    // piece begins, or at the primary row.
    const std::int32_t spacing = n / (Piece_Count + 1);
    for (std::int32_t piece = 0; piece <= Piece_Count; ++piece) {
        std::int32_t row = piece * spacing;
        if (piece > 0 && row == primary) ++row;
        Pieces[std::size_t(piece)] = T_Piece{row, -1, 0, -1};
        if (piece > 0) vector[row] |= Stop_Bit;
    }
    vector[primary] = Stop_Bit;

    struct T_Chain {
        std::uint32_t Entry;   // the entry of the row the chain stands on
        std::uint8_t* Out;     // where its next byte goes
        std::int32_t Room;     // bytes left in its segment
        std::int32_t Length;   // bytes written so far
        std::int32_t Piece;
    };
    T_Chain chains[Chain_Count];
    int active = 0;
    std::int32_t next_piece = 0;
    auto start = [&](T_Chain& chain, std::int32_t piece) {
        const std::int32_t segment = Take_Segment(piece);
        chain = T_Chain{vector[Pieces[std::size_t(piece)].Start_Row] & ~Stop_Bit,
                        Scratch + std::int64_t(segment) * Segment_Bytes, Segment_Bytes, 0, piece};
        return segment >= 0;
    };
    while (active < Chain_Count && next_piece <= Piece_Count)
        if (!start(chains[active++], next_piece++)) return false;

    // Every row but the primary one is visited once; a walk that would take
    // more steps circles outside the cycle of row 0, which only damage gives.
    std::int64_t steps_left = std::int64_t(n) - 1;
    while (active > 0) {
        steps_left -= active;
        if (steps_left < 0) return false;
        for (int c = 0; c < active;) {
            T_Chain& chain = chains[c];
            *chain.Out++ = std::uint8_t(chain.Entry);
            ++chain.Length;
            const std::uint32_t row = (chain.Entry >> 8) & Row_Mask;
            chain.Entry = vector[row];
            if (--chain.Room == 0) {
                const std::int32_t segment = Take_Segment(chain.Piece);
                if (segment < 0) return false;
                chain.Out = Scratch + std::int64_t(segment) * Segment_Bytes;
                chain.Room = Segment_Bytes;
            }
            if ((chain.Entry & Stop_Bit) == 0) {
                ++c;
                continue;
            }
            T_Piece& piece = Pieces[std::size_t(chain.Piece)];
            piece.End_Row = std::int32_t(row);
            piece.Length = chain.Length;
            if (next_piece <= Piece_Count) {
                if (!start(chain, next_piece++)) return false;
                ++c;
            } else {
                chain = chains[--active];
            }
        }
    }
    return Join_Pieces(n, primary, target);
}

// Lays the pieces out in cycle order, from the one that starts at row 0 to
// the one that ends at the primary row; the walk reads the block backwards,
// so each piece's bytes go downwards from the block's last position.
bool T_KYL_BWT_Walk::Join_Pieces(std::int32_t n, std::int32_t primary, std::uint8_t* target) const {
    std::int64_t position = std::int64_t(n) - 2;
    std::int32_t current = 0;
    for (std::int32_t joined = 0; joined <= Piece_Count; ++joined) {
        const T_Piece& piece = Pieces[std::size_t(current)];
        if (piece.Length > position + 1) return false;
        std::int32_t remaining = piece.Length;
        for (std::int32_t segment = piece.First_Segment; remaining > 0; segment = Next_Segment[std::size_t(segment)]) {
            const std::uint8_t* bytes = Scratch + std::int64_t(segment) * Segment_Bytes;
            const std::int32_t take = std::min(remaining, Segment_Bytes);
            std::uint8_t* to = target + position;
            for (std::int32_t i = 0; i < take; ++i) to[-i] = bytes[i];
            position -= take;
            remaining -= take;
        }
        if (piece.End_Row == primary) return position == -1;
        // Start rows rise with the piece number; find the piece this one ran into.
        const auto next = std::lower_bound(Pieces.begin() + 1, Pieces.end(), piece.End_Row,
                                           [](const T_Piece& p, std::int32_t row) { return p.Start_Row < row; });
        if (next == Pieces.end() || next->Start_Row != piece.End_Row) return false;
        current = std::int32_t(next - Pieces.begin());
    }
    return false;
}
