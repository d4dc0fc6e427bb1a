// SPDX-License-Identifier: MIT
// The block core: the record every stage works on, the sizes of the block
// memory, the damage check, the byte order of the block header, and the part
// of the controller that the stages see.  It depends on the standard library
// only; the stages include this header and never the controller's.
#pragma once

#include <bit>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// Sizes of the block memory.  A block read for compression is at most
// Block_Size bytes; the areas hold Read_Ahead entries, the margin (a
// sixteenth of a block, at least 4 KiB) being what the stages add to a block
// (the forward transform writes one byte more than it reads and keeps 257
// zero bytes after the block).
//
// KYL_TEST_BLOCK_SIZE, defined by the fuzz build alone, makes blocks small so
// that small inputs hold many of them; every size below follows it, and so do
// the records (a stored record runs to the block size), so such a build reads
// only what it wrote.  Without it every size is the format's.
#ifdef KYL_TEST_BLOCK_SIZE
inline constexpr std::int32_t Block_Size = KYL_TEST_BLOCK_SIZE;
static_assert(Block_Size >= 4096 && Block_Size % 16 == 0, "room for the header and the stages' margin");
#else
inline constexpr std::int32_t Block_Size = 0x500000;             // 5,242,880
#endif
inline constexpr std::int32_t Read_Ahead =  // 5,570,560
    Block_Size + (Block_Size / 16 > 4096 ? Block_Size / 16 : 4096);
inline constexpr std::int32_t Block_Region_Size = Read_Ahead + 32;  // 5,570,592
inline constexpr std::int32_t Block_Buffer_Offset = 16;          // Data stands 16 bytes in
inline constexpr std::int32_t Block_Buffer_Capacity =            // 5,570,576 bytes from Data
    Block_Region_Size - Block_Buffer_Offset;
inline constexpr std::int32_t Header_Capacity = Block_Size / 16;  // 327,680
inline constexpr std::int32_t Area_Entries = Read_Ahead;          // entries of each 32-bit area
// Where Index_Array starts in the arena; it and Work_Array behind it, the
// suffix array and the inverse walk's vector, are used in full by a large
// block and read at random.
inline constexpr std::int64_t Random_Access_Offset =
    2 * std::int64_t(Block_Region_Size) + Header_Capacity + Area_Entries + 2 * std::int64_t(Area_Entries) * 4;
// The two block regions, the header, the byte area and four 32-bit areas.
inline constexpr std::int64_t Arena_Size =  // 106,168,384
    Random_Access_Offset + 2 * std::int64_t(Area_Entries) * 4;
#ifndef KYL_TEST_BLOCK_SIZE
static_assert(Read_Ahead == 0x550000 && Block_Region_Size == 0x550020 && Header_Capacity == 0x50000 &&
                  Arena_Size == 0x6540040,
              "the block memory of the format's block size");
#endif
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

// Side tables of the run-length values, laid out as 169 numbered slots: slots
// 25 and 51 hold pointers, kept as real pointer fields at those places so that
// every other slot keeps its number.  The stages use the named fields.
struct T_Block_Tables {
    std::uint8_t* Byte_Area = nullptr;        // no stage uses it; the controller gathers input blocks there
    std::int32_t Reserved_0_24[25] = {};
    std::int32_t* Integer_Area = nullptr;     // slot 25; no stage uses it; the controller's record window
    std::int32_t Reserved_26_50[25] = {};
    std::int32_t* Run_Array = nullptr;        // slot 51
    std::int32_t Run_Count = 0;               // slot 52
    std::int32_t Run_Class_Count[Class_Count] = {};  // slots 53..76, class e at 53 + e
    std::int32_t Run_Class_Start[Class_Count] = {};  // slots 77..100, class e at 77 + e
    std::int32_t Reserved_101_168[68] = {};
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

// ------------------------------------------------------------------ damage

// The one way a damaged compressed block is reported, from any stage or from
// the container: a length, index or count that would lead outside the
// buffers, a payload that does not decode, a block cut short, or a CRC-32
// that does not match.  Block_Index is the block's place in its file or
// stream (0 for the first), known once the code that counts blocks has seen
// the error; -1 before.
class T_KYL_Damaged_Block : public std::runtime_error {
public:
    explicit T_KYL_Damaged_Block(const std::string& what) : std::runtime_error(what) {}

    std::int64_t Block_Index() const { return Index; }
    void Set_Block_Index(std::int64_t index) { Index = index; }

private:
    std::int64_t Index = -1;
};

// Damage of one kind: the input ends inside a record, so that what is there
// may be intact but is not all of it.  Code that does not care which kind
// catches T_KYL_Damaged_Block alone.
class T_KYL_Truncated_Block : public T_KYL_Damaged_Block {
public:
    using T_KYL_Damaged_Block::T_KYL_Damaged_Block;
};

// The check every decoder makes on bytes that came from a compressed file.
inline void Require_Intact(bool condition, const char* what) {
    if (!condition) throw T_KYL_Damaged_Block(what);
}
// The check that the input goes on as far as a record says it does.
inline void Require_Whole(bool condition, const char* what) {
    if (!condition) throw T_KYL_Truncated_Block(what);
}

// -------------------------------------------------------------- byte order

// Numbers in the block header are stored least significant byte first.  The
// header is a stack: an encoding stage pushes its number's bytes low byte
// first, and the decoding stage pops them back high byte first.
inline void Push_LE(T_Buffer& header, std::uint32_t value, int byte_count) {
    for (int i = 0; i < byte_count; ++i) header.Data[header.Len++] = std::uint8_t(value >> (8 * i));
}
inline std::uint32_t Pop_LE(T_Buffer& header, int byte_count) {
    std::uint32_t value = 0;
    for (int i = 0; i < byte_count; ++i) value = (value << 8) | header.Data[--header.Len];
    return value;
}
// The number stored in bytes[0..byte_count-1], least significant byte first.
inline std::uint32_t Get_LE(const std::uint8_t* bytes, int byte_count) {
    std::uint32_t value = 0;
    for (int i = byte_count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// -------------------------------------------------------- the controller

// Threads that a block codec's owner lends to the block in work while they
// would otherwise wait: the codec hands them to its stages, which may give
// out independent parts of their work through them.
class T_KYL_Helpers {
public:
    // Calls part(k) once for every k in 0..count-1, on the calling thread and
    // on any lent thread that joins in, and returns once all calls have
    // returned; rethrows the first exception a call threw.
    virtual void Run_Parts(int count, const std::function<void(int)>& part) = 0;
    // True while a lent thread waits for work, so that parts handed out now
    // would run beside the caller.  A stage whose way in parts costs more on
    // one thread than its own way asks first.
    virtual bool Thread_Waiting() const { return true; }

protected:
    ~T_KYL_Helpers() = default;
};

// What the stages see of the controller: the one block record and the
// services they call on Current_Controller.  The controller (T_KYL_MCP)
// derives from it, owns the arena and points the record into it with
// Carve_Arena.
class T_KYL_Block_Controller {
public:
    T_KYL_Block_Controller(const T_KYL_Block_Controller&) = delete;
    T_KYL_Block_Controller& operator=(const T_KYL_Block_Controller&) = delete;

    // Exchanges the Source and Target descriptors of `data`; no byte moves.
    void Swap_Buffers(T_Block_Data& data) const;
    // Copies all ten fields of the controller's record.
    void Get_Block_Data(T_Block_Data& copy) const { copy = Block_Data; }
    // floor(log2(x + 1)) for x >= 0: the index of the highest set bit of x + 1.
    static std::int32_t Log2_Floor(std::int32_t x) { return std::bit_width(std::uint32_t(x) + 1) - 1; }

protected:
    // Makes the three buffer descriptors and the side tables; the record
    // points nowhere until Carve_Arena.
    T_KYL_Block_Controller();
    ~T_KYL_Block_Controller();

    // Points the record at the eight regions of `arena` (Arena_Size bytes,
    // owned by the caller for the controller's lifetime), in carving order:
    // Source and Target 16 bytes into the two block regions, Header, the
    // byte area, the integer area, the run-value area, Index_Array and
    // Work_Array.
    void Carve_Arena(std::uint8_t* arena);

    T_Block_Data Block_Data;

private:
    std::unique_ptr<T_Buffer> Source_Buffer, Target_Buffer, Header_Buffer;
    std::unique_ptr<T_Block_Tables> Tables;
};

// The controller that the calling thread works for; each thread has its own,
// so that controllers on different threads never meet.  Constant-initialised,
// so every access is a plain thread-local load without an initialisation check.
extern thread_local constinit T_KYL_Block_Controller* Current_Controller;

// Sets Current_Controller for a scope and puts the one it found back on every
// exit path, so scopes nest.
class T_Current_Controller_Scope {
public:
    explicit T_Current_Controller_Scope(T_KYL_Block_Controller& controller)
        : Previous(Current_Controller) {
        Current_Controller = &controller;
    }
    ~T_Current_Controller_Scope() { Current_Controller = Previous; }
    T_Current_Controller_Scope(const T_Current_Controller_Scope&) = delete;
    T_Current_Controller_Scope& operator=(const T_Current_Controller_Scope&) = delete;

private:
    T_KYL_Block_Controller* Previous;
};
