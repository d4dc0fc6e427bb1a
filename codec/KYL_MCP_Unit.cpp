// SPDX-License-Identifier: MIT
#include "codec/KYL_MCP_Unit.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "codec/KYL_CRC_Unit.h"
#include "entropy/KYL_Coder_Unit.h"
#include "transforms/KYL_BWT_Unit.h"
#include "transforms/KYL_MTF_Unit.h"
#include "transforms/KYL_RLE_EXP_Unit.h"

namespace {

// The block header: length byte, flag byte, then what the stages push.
constexpr std::uint8_t Flag_Transformed = 0x01;
constexpr std::uint8_t Flag_Variant = 0x02;
constexpr std::size_t Transformed_Header_Length = 12;
constexpr std::size_t Stored_Header_Length = 6;

static_assert(Block_Size <= Area_Entries, "a block is gathered in the byte area");
static_assert(2 * Max_Record_Length <= std::size_t(Area_Entries) * 4, "the record window fits the integer area");

}  // namespace

T_KYL_MCP::T_KYL_MCP() : Arena(KYL_Allocate_Block_Memory(std::size_t(Arena_Size), std::size_t(Random_Access_Offset))) {
    Carve_Arena(Arena.get());
    CRC32 = std::make_unique<T_KYL_CRC32>();
    BWT = std::make_unique<T_KYL_BWT>();
    MTF = std::make_unique<T_KYL_MTF>();
    RLE_EXP = std::make_unique<T_KYL_RLE_EXP>();
    Coder = std::make_unique<T_KYL_Coder>();
}

T_KYL_MCP::~T_KYL_MCP() {
    Coder.reset();
    RLE_EXP.reset();
    MTF.reset();
    BWT.reset();
    CRC32.reset();
}

void T_KYL_MCP::Lend_Helpers(T_KYL_Helpers* helpers) {
    BWT->Helpers = helpers;
    MTF->Helpers = helpers;
}

std::span<std::uint8_t> T_KYL_MCP::Block_Gathering_Area() {
    return {Block_Data.Tables->Byte_Area, std::size_t(Block_Size)};
}

std::span<std::uint8_t> T_KYL_MCP::Record_Window_Area() {
    return {reinterpret_cast<std::uint8_t*>(Block_Data.Tables->Integer_Area), 2 * Max_Record_Length};
}

// ------------------------------------------------------------- compression

T_KYL_Record T_KYL_MCP::Compress_Block(std::span<const std::uint8_t> block, std::uint8_t transform) {
    assert(!block.empty() && block.size() <= std::size_t(Block_Size));
    const T_Current_Controller_Scope scope(*this);
    T_Block_Data& data = Block_Data;
    // The stages sort and overwrite the block in place, and a block that
    // ends up stored is written from `block` itself.
    std::memcpy(data.Source->Data, block.data(), block.size());
    data.Source->Len = std::int32_t(block.size());
    data.Transform_Flag = transform;
    data.Variant_Flag = 0;
    data.Header->Len = 2;  // length and flags are filled in last
    std::span<const std::uint8_t> payload = block;
    if (Encode_Block()) {
        payload = {data.Target->Data, std::size_t(data.Target->Len)};
    } else {
        data.Transform_Flag = 0;
        data.Header->Len = std::int32_t(Stored_Header_Length);  // the length, the flags and the CRC-32
    }
    T_Buffer& header = *data.Header;
    header.Data[0] = std::uint8_t(header.Len);
    header.Data[1] = std::uint8_t((data.Transform_Flag == 1 ? Flag_Transformed : 0) |
                                  (data.Variant_Flag == 1 ? Flag_Variant : 0));
    return {{header.Data, std::size_t(header.Len)}, payload};
}

bool T_KYL_MCP::Encode_Block() {
    T_Block_Data& data = Block_Data;
    data.Tables->Run_Count = 0;
    data.Stored_CRC = CRC32->Compute(data.Source->Data, data.Source->Len);
    Push_LE(*data.Header, data.Stored_CRC, 4);
    if (data.Transform_Flag != 1) return false;
    BWT->Encode(data);
    Swap_Buffers(data);
    // The format's run threshold, set for every block: the stage's field is
    // public and nothing of a block may depend on the one before.
    RLE_EXP->Threshold = 2;
    RLE_EXP->Encode(data);
    Swap_Buffers(data);
    MTF->Encode(data);
    Swap_Buffers(data);
    const bool coded = Coder->Encode(data);
    // The two swaps cancel: the first ends the coder's step as every stage's
    // ends, the second leaves the payload in Target, where the coder wrote it
    // and the record is taken from.
    Swap_Buffers(data);
    Swap_Buffers(data);
    return coded;
}

// --------------------------------------------------------------- expansion

std::size_t T_KYL_MCP::Record_Length(std::span<const std::uint8_t> input, bool input_ends) {
    if (input.empty()) return 0;
    const std::size_t header_length = input[0];
    Require_Intact(header_length > 0, "header length 0");
    if (input.size() < header_length) {
        Require_Whole(!input_ends, "truncated header");
        return 0;
    }
    Require_Intact(header_length >= 2, "header without flags");
    const bool transformed = (input[1] & Flag_Transformed) != 0;
    Require_Intact(header_length >= (transformed ? Transformed_Header_Length : Stored_Header_Length),
                   "header too short for its flags");
    const std::size_t available = input.size() - header_length;
    if (transformed) {
        // The coder pushed the payload length last, so it ends the header.
        // The header alone frames the record, a payload length of 0 too: a
        // record is framed alike whether bytes follow it or not, as a worker
        // that gets the record alone frames it again.
        const std::size_t payload_length = Get_LE(&input[header_length - 3], 3);
        Require_Intact(payload_length <= std::size_t(Read_Ahead), "payload length past the bytes read");
        if (available < payload_length) {
            Require_Whole(!input_ends, "truncated payload");
            return 0;
        }
        return header_length + payload_length;
    }
    // A stored block runs to the block size or to the end of the input.
    if (available == 0) {
        Require_Whole(!input_ends, "block without payload");
        return 0;
    }
    if (available < std::size_t(Block_Size) && !input_ends) return 0;
    return header_length + std::min(available, std::size_t(Block_Size));
}

std::size_t T_KYL_MCP::Block_Bound(std::span<const std::uint8_t> record) {
    if ((record[1] & Flag_Transformed) != 0) return std::size_t(Block_Size);
    return record.size() - record[0];
}

T_KYL_Expanded_Record T_KYL_MCP::Expand_Record(std::span<const std::uint8_t> input, bool input_ends) {
    const std::size_t length = Record_Length(input, input_ends);
    if (length == 0) return {};
    const T_Current_Controller_Scope scope(*this);
    const std::span<const std::uint8_t> record = input.first(length);
    const std::size_t header_length = record[0];
    if ((record[1] & Flag_Transformed) == 0) return {length, Expand_Stored(record, header_length)};
    try {
        Decode_Record(record, header_length, false);
    } catch (const T_KYL_Damaged_Block&) {
        // A valid block can fail when the bytes after one of its sections
        // spoil that section's last symbol; it is decoded once more with
        // those bytes read as zero before it is called damaged.
        Decode_Record(record, header_length, true);
    }
    return {length, {Block_Data.Target->Data, std::size_t(Block_Data.Target->Len)}};
}

void T_KYL_MCP::Load_Header(std::span<const std::uint8_t> header) {
    T_Block_Data& data = Block_Data;
    std::memcpy(data.Header->Data, header.data(), header.size());
    data.Header->Len = std::int32_t(header.size());
    data.Transform_Flag = (header[1] & Flag_Transformed) != 0 ? 1 : 0;
    data.Variant_Flag = (header[1] & Flag_Variant) != 0 ? 1 : 0;
}

std::span<const std::uint8_t> T_KYL_MCP::Expand_Stored(std::span<const std::uint8_t> record,
                                                       std::size_t header_length) {
    T_Block_Data& data = Block_Data;
    Load_Header(record.first(header_length));
    const std::span<const std::uint8_t> block = record.subspan(header_length);
    data.Computed_CRC = CRC32->Compute(block.data(), std::int32_t(block.size()));
    data.Stored_CRC = Pop_LE(*data.Header, 4);
    Require_Intact(data.Stored_CRC == data.Computed_CRC, "CRC-32 mismatch");
    return block;
}

void T_KYL_MCP::Decode_Record(std::span<const std::uint8_t> record, std::size_t header_length,
                              bool zero_section_tails) {
    T_Block_Data& data = Block_Data;
    Load_Header(record.first(header_length));
    const std::span<const std::uint8_t> payload = record.subspan(header_length);
    std::memcpy(data.Source->Data, payload.data(), payload.size());
    data.Source->Len = std::int32_t(payload.size());
    Decode_Block(zero_section_tails);
}

void T_KYL_MCP::Decode_Block(bool zero_section_tails) {
    T_Block_Data& data = Block_Data;
    Coder->Decode(data, zero_section_tails ? T_KYL_Coder::T_Section_Tails::Zero : T_KYL_Coder::T_Section_Tails::As_Stored);
    Swap_Buffers(data);
    MTF->Decode(data);
    Swap_Buffers(data);
    RLE_EXP->Threshold = 2;  // as in Encode_Block
    RLE_EXP->Decode(data);
    Swap_Buffers(data);
    BWT->Decode(data);
    Swap_Buffers(data);
    data.Computed_CRC = CRC32->Compute(data.Source->Data, data.Source->Len);
    data.Stored_CRC = Pop_LE(*data.Header, 4);
    Swap_Buffers(data);
    Require_Intact(data.Stored_CRC == data.Computed_CRC, "CRC-32 mismatch");
}
