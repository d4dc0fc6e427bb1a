#include "codec/KYL_MCP_Unit.h"

#include <algorithm>
#include <cstring>

#include "codec/KYL_CRC_Unit.h"
#include "entropy/KYL_Coder_Unit.h"
#include "transforms/KYL_BWT_Unit.h"
#include "transforms/KYL_MTF_Unit.h"
#include "transforms/KYL_RLE_EXP_Unit.h"

T_KYL_MCP* Current_Controller = nullptr;

std::int32_t& T_Block_Tables::Slot(int slot) {
    if (slot >= 0 && slot <= 24) return Reserved_0_24[slot];
    if (slot >= 26 && slot <= 50) return Reserved_26_50[slot - 26];
    if (slot == 52) return Run_Count;
    if (slot >= 53 && slot <= 76) return Run_Class_Count[slot - 53];
    if (slot >= 77 && slot <= 100) return Run_Class_Start[slot - 77];
    if (slot >= 101 && slot <= 168) return Reserved_101_168[slot - 101];
    throw std::out_of_range("T_Block_Tables has no integer slot " + std::to_string(slot));
}

namespace {

// The block header: length byte, flag byte, then what the stages push.
constexpr std::uint8_t Flag_Transformed = 0x01;
constexpr std::uint8_t Flag_Variant = 0x02;
constexpr std::int32_t Transformed_Header_Length = 12;
constexpr std::int32_t Stored_Header_Length = 6;
// Zero bytes kept after whatever a read brought into a block buffer, so the
// range decoder's look past a section never sees stale bytes.
constexpr std::int32_t Zero_Tail = Block_Buffer_Capacity - Read_Ahead;

void Push_Byte(T_Buffer& header, std::uint8_t value) { header.Data[header.Len++] = value; }
std::uint8_t Pop_Byte(T_Buffer& header) { return header.Data[--header.Len]; }

}  // namespace

// Region offsets of the arena, in carving order.
T_KYL_MCP::T_KYL_MCP()
    : Arena(KYL_Allocate_Block_Memory(std::size_t(Arena_Size))),
      Source_Buffer(std::make_unique<T_Buffer>()),
      Target_Buffer(std::make_unique<T_Buffer>()),
      Header_Buffer(std::make_unique<T_Buffer>()),
      Tables(std::make_unique<T_Block_Tables>()) {
    std::uint8_t* region = Arena.get();
    Source_Buffer->Data = region + Block_Buffer_Offset;
    region += Block_Region_Size;
    Target_Buffer->Data = region + Block_Buffer_Offset;
    region += Block_Region_Size;
    Header_Buffer->Data = region;
    region += Header_Capacity;
    Tables->Byte_Area = region;
    region += Area_Entries;
    const std::size_t area_bytes = std::size_t(Area_Entries) * 4;
    Tables->Integer_Area = reinterpret_cast<std::int32_t*>(region);
    region += area_bytes;
    Tables->Run_Array = reinterpret_cast<std::int32_t*>(region);
    region += area_bytes;
    Block_Data.Index_Array = reinterpret_cast<std::int32_t*>(region);
    region += area_bytes;
    Block_Data.Work_Array = reinterpret_cast<std::uint32_t*>(region);
    region += area_bytes;

    Block_Data.Source = Source_Buffer.get();
    Block_Data.Target = Target_Buffer.get();
    Block_Data.Header = Header_Buffer.get();
    Block_Data.Tables = Tables.get();

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

void T_KYL_MCP::Swap_Buffers(T_Block_Data& data) const { std::swap(data.Source, data.Target); }

// Opens the input, refuses an output that is the input itself (through a
// link, say), creates the output; closes both on every exit path, the output
// before the input.
T_KYL_MCP::T_Stream_Guard::T_Stream_Guard(T_KYL_MCP& owner, const std::string& input_name,
                                          const std::string& output_name)
    : Owner(owner) {
    Owner.Input_File = std::make_unique<T_KYL_Input_File>(input_name);
    try {
        if (Owner.Input_File->Is_Same_File(output_name))
            throw T_KYL_Platform_Error("cannot create \"" + output_name + "\": it is the input file itself");
        Owner.Output_File = std::make_unique<T_KYL_Output_File>(output_name);
    } catch (...) {
        Owner.Input_File.reset();
        throw;
    }
}

T_KYL_MCP::T_Stream_Guard::~T_Stream_Guard() {
    Owner.Output_File.reset();
    Owner.Input_File.reset();
}

// ------------------------------------------------------------- compression

void T_KYL_MCP::Compress_File(const std::string& input_name, const std::string& output_name,
                              std::uint8_t transform) {
    const T_Stream_Guard streams(*this, input_name, output_name);

    // Each block is read into whichever buffer Source describes by then.
    auto read_block = [this] {
        T_Buffer& source = *Block_Data.Source;
        source.Len = std::int32_t(Input_File->Read(source.Data, Block_Size));
        return source.Len;
    };
    Block_Start = 0;
    for (std::int32_t block_length = read_block(); block_length > 0; block_length = read_block()) {
        Block_Data.Transform_Flag = transform;
        Block_Data.Header->Len = 2;  // length and flags are filled by Write_Block
        Encode_Block();
        Write_Block();
        Block_Start += block_length;
    }
    Output_File->Commit(Input_File->Attributes());
}

void T_KYL_MCP::Encode_Block() {
    T_Block_Data& data = Block_Data;
    data.Tables->Run_Count = 0;
    const std::int32_t block_length = data.Source->Len;
    data.Stored_CRC = CRC32->Compute(data.Source->Data, block_length);
    for (int shift = 0; shift < 32; shift += 8) Push_Byte(*data.Header, std::uint8_t(data.Stored_CRC >> shift));
    if (data.Transform_Flag == 1) {
        data.Variant_Flag = 0;
        BWT->Encode(data);
        Swap_Buffers(data);
        RLE_EXP->Threshold = 2;
        RLE_EXP->Encode(data);
        Swap_Buffers(data);
        MTF->Encode(data);
        Swap_Buffers(data);
        if (Coder->Encode(data)) {
            Swap_Buffers(data);
        } else {
            Store_Block_Raw(block_length);
        }
    }
    Swap_Buffers(data);
}

// A block whose coded payload would not fit its buffer is written as it came
// from the file, behind a 6-byte header.  The stages have overwritten both
// block buffers by now, so the block is read again.
void T_KYL_MCP::Store_Block_Raw(std::int32_t block_length) {
    T_Block_Data& data = Block_Data;
    data.Transform_Flag = 0;
    data.Header->Len = Stored_Header_Length;
    Input_File->Seek(Block_Start);
    T_Buffer& raw = *data.Source;  // becomes Target with the final exchange
    raw.Len = std::int32_t(Input_File->Read(raw.Data, std::size_t(block_length)));
    if (raw.Len != block_length || CRC32->Compute(raw.Data, raw.Len) != data.Stored_CRC)
        throw T_KYL_Platform_Error("cannot read \"" + Input_File->Name() + "\": the file changed while it was read");
}

void T_KYL_MCP::Write_Block() {
    T_Block_Data& data = Block_Data;
    data.Header->Data[0] = std::uint8_t(data.Header->Len);
    data.Header->Data[1] = std::uint8_t((data.Transform_Flag == 1 ? Flag_Transformed : 0) |
                                        (data.Variant_Flag == 1 ? Flag_Variant : 0));
    Output_File->Write(data.Header->Data, std::size_t(data.Header->Len));
    Output_File->Write(data.Target->Data, std::size_t(data.Target->Len));
}

// --------------------------------------------------------------- expansion

void T_KYL_MCP::Expand_File(const std::string& input_name, const std::string& output_name) {
    const T_Stream_Guard streams(*this, input_name, output_name);

    Block_Start = 0;
    try {
        while (Expand_Next_Block()) {
        }
    } catch (const T_KYL_Damaged_Block&) {
        // The blocks before the damaged one are kept, but never in place of
        // a file that stood at the output name: that one stays as it was.
        if (!Output_File->Replaces_An_Entry()) Output_File->Commit(Input_File->Attributes());
        Report_Damaged_Block();
    }
    Output_File->Commit(Input_File->Attributes());
}

bool T_KYL_MCP::Expand_Next_Block() {
    if (!Read_Block()) return false;
    const std::int32_t header_length = Block_Data.Header->Len;
    if (!Decode_Block_Intact()) {
        // A valid block can fail when the bytes after one of its sections
        // spoil that section's last symbol; decode it once more with those
        // bytes read as zero before calling it damaged.
        struct T_Zero_Tails {
            T_KYL_Coder& Coder;
            explicit T_Zero_Tails(T_KYL_Coder& coder) : Coder(coder) { Coder.Zero_Section_Tails = true; }
            ~T_Zero_Tails() { Coder.Zero_Section_Tails = false; }
        } zero_tails(*Coder);
        Input_File->Seek(Block_Start);
        Require_Intact(Read_Block(), "block gone on the second read");
        Require_Intact(Decode_Block_Intact(), "CRC mismatch");
    }
    Output_File->Write(Block_Data.Target->Data, std::size_t(Block_Data.Target->Len));
    Block_Start += header_length + Block_Data.Source->Len;
    Input_File->Seek(Block_Start);
    return true;
}

bool T_KYL_MCP::Decode_Block_Intact() {
    try {
        Decode_Block();
    } catch (const T_KYL_Damaged_Block&) {
        return false;
    }
    return Block_Data.Stored_CRC == Block_Data.Computed_CRC;
}

void T_KYL_MCP::Report_Damaged_Block() {
    T_KYL_Console::Line();
    T_KYL_Console::Line("CRC is not valid. Program execution terminated!");
    T_KYL_Console::Flush();
    throw T_KYL_CRC_Failure();
}

// Reads one block header and the payload window behind it.  Returns false at
// the clean end of the file (no byte left where a header would start); any
// other shortfall is a truncated file.
bool T_KYL_MCP::Read_Block() {
    T_Block_Data& data = Block_Data;
    T_Buffer& header = *data.Header;
    if (Input_File->Read(header.Data, 1) == 0) {
        data.Source->Len = 0;
        return false;
    }
    header.Len = header.Data[0];
    Require_Intact(header.Len > 0, "header length 0");
    const std::size_t rest = std::size_t(header.Len - 1);
    Require_Intact(Input_File->Read(header.Data + 1, rest) == rest, "truncated header");
    Require_Intact(header.Len >= 2, "header without flags");
    data.Transform_Flag = header.Data[1] & Flag_Transformed ? 1 : 0;
    data.Variant_Flag = header.Data[1] & Flag_Variant ? 1 : 0;
    Require_Intact(header.Len >= (data.Transform_Flag ? Transformed_Header_Length : Stored_Header_Length),
                   "header too short for its flags");

    T_Buffer& source = *data.Source;
    source.Len = std::int32_t(Input_File->Read(source.Data, Read_Ahead));
    std::memset(source.Data + source.Len, 0, Zero_Tail);
    Require_Intact(source.Len > 0, "block without payload");
    return true;
}

void T_KYL_MCP::Decode_Block() {
    T_Block_Data& data = Block_Data;
    std::int32_t payload_length = 0;
    if (data.Transform_Flag == 1) {
        Coder->Decode(data);
        Swap_Buffers(data);
        payload_length = data.Target->Len;
        MTF->Decode(data);
        Swap_Buffers(data);
        RLE_EXP->Threshold = 2;
        RLE_EXP->Decode(data);
        Swap_Buffers(data);
        BWT->Decode(data);
        Swap_Buffers(data);
    } else {
        // A stored block runs to the block size or to the end of the file.
        payload_length = std::min(Block_Size, data.Source->Len);
        data.Source->Len = payload_length;
    }
    data.Computed_CRC = CRC32->Compute(data.Source->Data, data.Source->Len);
    std::uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) stored = (stored << 8) | Pop_Byte(*data.Header);
    data.Stored_CRC = stored;
    Swap_Buffers(data);
    data.Source->Len = payload_length;
}
