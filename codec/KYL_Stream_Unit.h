// Compression and expansion of a byte stream that arrives in pieces of any
// size, on one controller.  Neither ever seeks; each holds at most one block
// (or one record window) of input and one record (or one block) of output,
// all inside the controller's arena, and each gives the same bytes whatever
// the sizes of the pieces.
//
// Both are used the same way: put input into Input_Space and Commit_Input it
// (or Feed it), take what Output offers with Take_Output, and call
// Finish_Input once the input ends; Finished tells when all is out.  Input
// is refused (Input_Space is empty) while output waits to be taken.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "codec/KYL_MCP_Unit.h"

// Feed for every stream: copies what fits of `input` into the stream's
// Input_Space and commits it; returns the bytes taken.
template <class T_Stream>
std::size_t Feed_Stream(T_Stream& stream, std::span<const std::uint8_t> input) {
    const std::span<std::uint8_t> space = stream.Input_Space();
    const std::size_t count = std::min(space.size(), input.size());
    if (count > 0) std::memcpy(space.data(), input.data(), count);
    stream.Commit_Input(count);
    return count;
}

class T_KYL_Compress_Stream {
public:
    // `transform`: the Transform_Flag of every block (see Compress_Block).
    explicit T_KYL_Compress_Stream(T_KYL_MCP& controller, std::uint8_t transform = 1);

    // The rest of the block being gathered; empty while a record waits and
    // after Finish_Input.
    std::span<std::uint8_t> Input_Space();
    // Counts `count` bytes written to Input_Space as input; a block that is
    // full is compressed at once.
    void Commit_Input(std::size_t count);
    // Copies what Input_Space takes of `input`; returns how many bytes.
    std::size_t Feed(std::span<const std::uint8_t> input);
    // Ends the input; the last, shorter block is compressed.
    void Finish_Input();

    // The rest of the current record; empty when more input (or the end of
    // it) is needed, and when all is done.
    std::span<const std::uint8_t> Output() const;
    void Take_Output(std::size_t count);
    bool Finished() const { return Input_Ended && Taken == Record.Size(); }

private:
    void Compress_Gathered();

    T_KYL_MCP& Controller;
    std::uint8_t Transform;
    std::span<std::uint8_t> Gathering;
    std::size_t Gathered = 0;
    T_KYL_Record Record;
    std::size_t Taken = 0;  // bytes of Record taken
    bool Input_Ended = false;
};

class T_KYL_Expand_Stream {
public:
    explicit T_KYL_Expand_Stream(T_KYL_MCP& controller);

    // Free room in the record window; empty while a block waits and after
    // Finish_Input.  Whenever it is empty otherwise, the window holds a whole
    // record, which Output expands.
    std::span<std::uint8_t> Input_Space();
    void Commit_Input(std::size_t count);
    std::size_t Feed(std::span<const std::uint8_t> input);
    void Finish_Input();

    // The rest of the current block.  Once it has all been taken, expands the
    // next record when the window holds all of it; empty when more input is
    // needed, and when all is done.  Throws T_KYL_Damaged_Block, carrying the
    // block's index in the stream, at the first damaged block.
    std::span<const std::uint8_t> Output();
    void Take_Output(std::size_t count);
    bool Finished() const { return Input_Ended && Begin == End && Block.empty(); }

private:
    T_KYL_MCP& Controller;
    std::span<std::uint8_t> Window;
    std::size_t Begin = 0;  // the next record starts at Window[Begin]
    std::size_t End = 0;    // input held: Window[Begin..End-1]
    std::span<const std::uint8_t> Block;
    std::int64_t Block_Index = 0;
    bool Input_Ended = false;
};
