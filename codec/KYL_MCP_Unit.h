// SPDX-License-Identifier: MIT
// The block codec.  T_KYL_MCP owns the block memory and one object of each
// stage: the one place that knows the order of the stages.  It compresses
// one block in memory to its record and expands one record in memory back to
// its block; the streams (KYL_Stream_Unit.h, KYL_Pipeline_Unit.h), and
// through them the file loops and the library, are built on these two calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "block/KYL_Block_Unit.h"
#include "platform/KYL_Platform.h"

// The longest record of the compressed format: a header of up to 255 bytes
// and a payload of up to Read_Ahead bytes (a stored payload is at most
// Block_Size bytes).
inline constexpr std::size_t Max_Record_Length = 255 + std::size_t(Read_Ahead);

// One record of the compressed format, as views into the controller's memory
// (or the caller's, for the payload of a stored record).
struct T_KYL_Record {
    std::span<const std::uint8_t> Header;
    std::span<const std::uint8_t> Payload;

    std::size_t Size() const { return Header.size() + Payload.size(); }
};

// One record expanded: the bytes of the input it took (0 while the record is
// not complete) and the block it gave.
struct T_KYL_Expanded_Record {
    std::size_t Consumed = 0;
    std::span<const std::uint8_t> Block;
};

class T_KYL_CRC32;
class T_KYL_BWT;
class T_KYL_RLE_EXP;
class T_KYL_MTF;
class T_KYL_Coder;

class T_KYL_MCP final : public T_KYL_Block_Controller {
public:
    // Allocates and carves the arena, then creates the stages.  Throws
    // std::bad_alloc when the memory cannot be had.
    T_KYL_MCP();
    ~T_KYL_MCP();

    // ------------------------------------------------------ the block codec
    // Each call sets Current_Controller for its own duration, so controllers
    // may take turns on one thread and work at once on several.

    // Compresses one block of 1..Block_Size bytes into its record.
    // `transform` is the block's Transform_Flag: 1 runs the chain (a payload
    // that would not fit Read_Ahead bytes gives a stored record instead), 0
    // stores the block as it is.  The record stays valid until the next call
    // on this controller; a stored record's payload is `block` itself.
    T_KYL_Record Compress_Block(std::span<const std::uint8_t> block, std::uint8_t transform = 1);

    // The length of the record at the start of `input`, header and payload,
    // or 0 while `input` does not hold all of it (or is empty) and more may
    // follow.  `input_ends`: nothing follows `input`.  A stored record runs to
    // Block_Size bytes or to the end of the input.  Throws T_KYL_Damaged_Block
    // for a header that cannot start a record, and T_KYL_Truncated_Block for
    // a record that the end of the input cuts short.
    static std::size_t Record_Length(std::span<const std::uint8_t> input, bool input_ends);
    // The most bytes that `record` (one whole record, as Record_Length
    // frames it) expands to, from its header alone: a stored record's block
    // is its payload, any other is at most Block_Size bytes.
    static std::size_t Block_Bound(std::span<const std::uint8_t> record);

    // Expands the record at the start of `input` (framed as Record_Length
    // says; Consumed is 0 while it is not complete).  The block stays valid
    // until the next call on this controller, or for a stored record as long
    // as `input` does.  Throws T_KYL_Damaged_Block for a record that does not
    // decode or whose CRC-32 does not match.
    T_KYL_Expanded_Record Expand_Record(std::span<const std::uint8_t> input, bool input_ends);

    // Areas of the arena that no stage touches, lent to whoever feeds this
    // controller: Block_Size bytes to gather the next block in, and
    // 2 * Max_Record_Length bytes to gather compressed input in.
    std::span<std::uint8_t> Block_Gathering_Area();
    std::span<std::uint8_t> Record_Window_Area();

    // Threads that whoever owns this codec lends to the stages of its
    // blocks (see T_KYL_Helpers); none by default.
    void Lend_Helpers(T_KYL_Helpers* helpers);

private:
    friend struct T_KYL_Test_Seam;

    // The compression chain on the block in Source; false when the coded
    // payload does not fit (or the chain is not asked for) and the block is
    // to be stored.  Target then holds the payload.
    bool Encode_Block();
    // The expansion chain on the payload in Source; Target then holds the
    // block.  Throws T_KYL_Damaged_Block, a CRC-32 mismatch included.
    void Decode_Block(bool zero_section_tails);
    // Loads the header and payload of a transformed record and decodes them.
    void Decode_Record(std::span<const std::uint8_t> record, std::size_t header_length, bool zero_section_tails);
    std::span<const std::uint8_t> Expand_Stored(std::span<const std::uint8_t> record, std::size_t header_length);
    void Load_Header(std::span<const std::uint8_t> header);

    T_KYL_Block_Memory Arena;
    std::unique_ptr<T_KYL_CRC32> CRC32;
    std::unique_ptr<T_KYL_BWT> BWT;
    std::unique_ptr<T_KYL_RLE_EXP> RLE_EXP;
    std::unique_ptr<T_KYL_MTF> MTF;
    std::unique_ptr<T_KYL_Coder> Coder;
};
