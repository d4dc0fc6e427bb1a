// The file codec controller: the shared block record, the one block-memory
// arena, and T_KYL_MCP, which cuts files into blocks, drives the stage chains
// and reads and writes the block container.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/KYL_Platform.h"

// Sizes of the block memory.  A block read for compression is at most
// Block_Size bytes; the areas hold Read_Ahead entries, the margin being what
// the stages add to a block (the forward transform writes one byte more than
// it reads and keeps 257 zero bytes after the block).
inline constexpr std::int32_t Block_Size = 0x500000;             // 5,242,880
inline constexpr std::int32_t Read_Ahead = 0x550000;             // 5,570,560
inline constexpr std::int32_t Block_Region_Size = 0x550020;      // 5,570,592
inline constexpr std::int32_t Block_Buffer_Offset = 16;          // Data stands 16 bytes in
inline constexpr std::int32_t Block_Buffer_Capacity =            // 5,570,576 bytes from Data
    Block_Region_Size - Block_Buffer_Offset;
inline constexpr std::int32_t Header_Capacity = 0x50000;         // 327,680
inline constexpr std::int32_t Area_Entries = Read_Ahead;         // entries of each 32-bit area
inline constexpr std::int64_t Arena_Size = 106'168'384;          // 0x6540040
// The longest transformed block: a full block plus its end-of-block row.
inline constexpr std::int32_t Max_Transformed_Length = Block_Size + 1;
// Exponent classes 0..23 of run values.
inline constexpr int Class_Count = 24;

// One byte buffer of the block record.  For the Header buffer Len is also the
// append position: bytes are pushed at Data[Len] and popped from Data[Len-1].
struct T_Buffer {
    std::uint8_t* Data = nullptr;
    std::int32_t Len = 0;
};

// Side tables of the run-length values.  Stages name the integers by slot
// number 0..168; slots 25 and 51 hold pointers, kept here as real pointer
// fields at those places so that every other slot keeps its number.
struct T_Block_Tables {
    std::uint8_t* Byte_Area = nullptr;        // reserved
    std::int32_t Reserved_0_24[25] = {};
    std::int32_t* Integer_Area = nullptr;     // slot 25, reserved
    std::int32_t Reserved_26_50[25] = {};
    std::int32_t* Run_Array = nullptr;        // slot 51
    std::int32_t Run_Count = 0;               // slot 52
    std::int32_t Run_Class_Count[Class_Count] = {};  // slots 53..76, class e at 53 + e
    std::int32_t Run_Class_Start[Class_Count] = {};  // slots 77..100, class e at 77 + e
    std::int32_t Reserved_101_168[68] = {};

    // The integer slot with number `slot` (0..168, not 25 or 51).
    std::int32_t& Slot(int slot);
};

// The record passed to every stage of the chain.
struct T_Block_Data {
    T_Buffer* Source = nullptr;
    T_Buffer* Target = nullptr;
    T_Buffer* Header = nullptr;
    T_Block_Tables* Tables = nullptr;
    std::int32_t* Index_Array = nullptr;      // Area_Entries entries
    std::uint32_t* Work_Array = nullptr;      // Area_Entries entries
    std::uint8_t Transform_Flag = 0;          // header flag bit 0
    std::uint8_t Variant_Flag = 0;            // header flag bit 1
    std::uint32_t Stored_CRC = 0;
    std::uint32_t Computed_CRC = 0;
};

// Thrown by any stage that finds a compressed block damaged (a length, index
// or count that would lead outside the buffers).  Only the controller catches
// it; the block is then reported exactly like a CRC mismatch.
class T_KYL_Damaged_Block : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The check every decoder makes on bytes that came from a file.
inline void Require_Intact(bool condition, const char* what) {
    if (!condition) throw T_KYL_Damaged_Block(what);
}

// Thrown by Expand_File after it has printed the CRC message.  The batch
// driver ends the run with exit status 2 and no summary.
class T_KYL_CRC_Failure : public std::runtime_error {
public:
    T_KYL_CRC_Failure() : std::runtime_error("CRC is not valid") {}
};

class T_KYL_CRC32;
class T_KYL_BWT;
class T_KYL_RLE_EXP;
class T_KYL_MTF;
class T_KYL_Coder;

class T_KYL_MCP {
public:
    // Allocates and carves the arena, then creates the stages.
    T_KYL_MCP();
    ~T_KYL_MCP();
    T_KYL_MCP(const T_KYL_MCP&) = delete;
    T_KYL_MCP& operator=(const T_KYL_MCP&) = delete;

    // Compresses one file; `transform` becomes the Transform_Flag of every
    // block.  Throws T_KYL_Platform_Error on a file failure.
    void Compress_File(const std::string& input_name, const std::string& output_name,
                       std::uint8_t transform);
    // Expands one file.  On a damaged block or a CRC mismatch it prints the
    // CRC message and throws T_KYL_CRC_Failure; the blocks before it are
    // kept under the output name unless a file stood there.
    void Expand_File(const std::string& input_name, const std::string& output_name);

    // Services the stages call on Current_Controller.
    void Swap_Buffers(T_Block_Data& data) const;
    void Get_Block_Data(T_Block_Data& copy) const { copy = Block_Data; }
    std::uint8_t Variant_Flag() const { return Block_Data.Variant_Flag; }
    // floor(log2(x + 1)) for x >= 0: the index of the highest set bit of x + 1.
    static std::int32_t Log2_Floor(std::int32_t x) {
        return std::bit_width(std::uint32_t(x) + 1) - 1;
    }

    T_Block_Data Block_Data;

    // The block coder, for tests that lower its payload capacity.
    T_KYL_Coder& Block_Coder() { return *Coder; }

    // Block steps, public for the tests that drive single blocks.
    void Encode_Block();
    void Decode_Block();

private:
    class T_Stream_Guard {
    public:
        T_Stream_Guard(T_KYL_MCP& owner, const std::string& input_name, const std::string& output_name);
        ~T_Stream_Guard();
        T_Stream_Guard(const T_Stream_Guard&) = delete;
        T_Stream_Guard& operator=(const T_Stream_Guard&) = delete;

    private:
        T_KYL_MCP& Owner;
    };

    void Write_Block();
    bool Read_Block();
    // Reads, decodes, checks and writes the next block; false at the end of
    // the file.  Throws T_KYL_Damaged_Block for a block that stays damaged
    // on a second decode.
    bool Expand_Next_Block();
    // Decode_Block; true when the block decoded and its CRC-32 matches.
    bool Decode_Block_Intact();
    void Store_Block_Raw(std::int32_t block_length);
    [[noreturn]] void Report_Damaged_Block();

    // File position of the block in work: its first input byte when
    // compressing, its header when expanding.
    std::int64_t Block_Start = 0;

    T_KYL_Block_Memory Arena;
    std::unique_ptr<T_Buffer> Source_Buffer, Target_Buffer, Header_Buffer;
    std::unique_ptr<T_Block_Tables> Tables;
    std::unique_ptr<T_KYL_Input_File> Input_File;
    std::unique_ptr<T_KYL_Output_File> Output_File;

    std::unique_ptr<T_KYL_CRC32> CRC32;
    std::unique_ptr<T_KYL_BWT> BWT;
    std::unique_ptr<T_KYL_RLE_EXP> RLE_EXP;
    std::unique_ptr<T_KYL_MTF> MTF;
    std::unique_ptr<T_KYL_Coder> Coder;
};

// The one live controller; set by the batch driver right after creating it.
extern T_KYL_MCP* Current_Controller;

// Sets Current_Controller for a scope and clears it again on every exit path.
class T_Current_Controller_Scope {
public:
    explicit T_Current_Controller_Scope(T_KYL_MCP& controller) { Current_Controller = &controller; }
    ~T_Current_Controller_Scope() { Current_Controller = nullptr; }
    T_Current_Controller_Scope(const T_Current_Controller_Scope&) = delete;
    T_Current_Controller_Scope& operator=(const T_Current_Controller_Scope&) = delete;
};
