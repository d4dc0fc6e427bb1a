// SPDX-License-Identifier: MIT
#include "codec/KYL_Stream_Unit.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "codec/KYL_Pipeline_Unit.h"

std::size_t T_KYL_Stream::Feed(std::span<const std::uint8_t> input) {
    const std::span<std::uint8_t> space = Input_Space();
    const std::size_t count = std::min(space.size(), input.size());
    if (count > 0) std::memcpy(space.data(), input.data(), count);
    Commit_Input(count);
    return count;
}

// ----------------------------------------------------------- record window

std::span<std::uint8_t> T_KYL_Record_Window::Space() {
    if (Begin >= Max_Record_Length) {
        std::memmove(Area.data(), Area.data() + Begin, End - Begin);
        End -= Begin;
        Begin = 0;
    }
    return Area.subspan(End);
}

void T_KYL_Record_Window::Commit(std::size_t count) {
    assert(count <= Area.size() - End);
    End += count;
}

void T_KYL_Record_Window::Consume(std::size_t count) {
    assert(count <= End - Begin);
    Begin += count;
}

// ------------------------------------------------------------ compression

T_KYL_Compress_Stream::T_KYL_Compress_Stream(T_KYL_MCP& controller, std::uint8_t transform)
    : Controller(controller), Transform(transform), Gathering(controller.Block_Gathering_Area()) {}

std::span<std::uint8_t> T_KYL_Compress_Stream::Input_Space() {
    if (Input_Ended || Taken < Record.Size()) return {};
    return Gathering.subspan(Gathered);
}

void T_KYL_Compress_Stream::Commit_Input(std::size_t count) {
    assert(count <= Gathering.size() - Gathered);
    Gathered += count;
    if (Gathered == Gathering.size()) Compress_Gathered();
}

void T_KYL_Compress_Stream::Finish_Input() {
    if (Input_Ended) return;
    Input_Ended = true;
    if (Gathered > 0) Compress_Gathered();
}

void T_KYL_Compress_Stream::Compress_Gathered() {
    Record = Controller.Compress_Block(Gathering.first(Gathered), Transform);
    Taken = 0;
    Gathered = 0;
    ++Blocks;
}

std::span<const std::uint8_t> T_KYL_Compress_Stream::Output() {
    if (Taken < Record.Header.size()) return Record.Header.subspan(Taken);
    return Record.Payload.subspan(Taken - Record.Header.size());
}

void T_KYL_Compress_Stream::Take_Output(std::size_t count) {
    assert(count <= Record.Size() - Taken);
    Taken += count;
}

// -------------------------------------------------------------- expansion

T_KYL_Expand_Stream::T_KYL_Expand_Stream(T_KYL_MCP& controller)
    : Controller(controller), Window(controller.Record_Window_Area()) {}

std::span<std::uint8_t> T_KYL_Expand_Stream::Input_Space() {
    if (Input_Ended || !Block.empty()) return {};
    return Window.Space();
}

void T_KYL_Expand_Stream::Commit_Input(std::size_t count) { Window.Commit(count); }

void T_KYL_Expand_Stream::Finish_Input() { Input_Ended = true; }

std::span<const std::uint8_t> T_KYL_Expand_Stream::Output() {
    // A record may expand to an empty block; the loop goes on to the next.
    while (Block.empty()) {
        T_KYL_Expanded_Record record;
        try {
            record = Controller.Expand_Record(Window.Held(), Input_Ended);
        } catch (T_KYL_Damaged_Block& damage) {
            damage.Set_Block_Index(Block_Index);
            throw;
        }
        if (record.Consumed == 0) return {};
        Window.Consume(record.Consumed);
        ++Block_Index;
        Block = record.Block;
    }
    return Block;
}

void T_KYL_Expand_Stream::Take_Output(std::size_t count) {
    assert(count <= Block.size());
    Block = Block.subspan(count);
}

// ----------------------------------------------------------------- factory

// The memory is not read here: the pipeline looks at it when its first
// worker starts, so that an input of one block never reads the machine.
T_KYL_Stream_Factory::T_KYL_Stream_Factory(unsigned threads, std::uint64_t blocks) {
    if (const unsigned request = T_KYL_Pipeline::Thread_Request(threads, blocks); request > 1)
        Pipeline = std::make_unique<T_KYL_Pipeline>(request);
    else Codec = std::make_unique<T_KYL_MCP>();
}

T_KYL_Stream_Factory::~T_KYL_Stream_Factory() = default;

unsigned T_KYL_Stream_Factory::Thread_Limit(unsigned threads) { return T_KYL_Pipeline::Thread_Count(threads); }

std::unique_ptr<T_KYL_Stream> T_KYL_Stream_Factory::Compress_Stream(std::uint8_t transform) {
    if (Pipeline) return std::make_unique<T_KYL_Parallel_Compress_Stream>(*Pipeline, transform);
    return std::make_unique<T_KYL_Compress_Stream>(*Codec, transform);
}

std::unique_ptr<T_KYL_Stream> T_KYL_Stream_Factory::Expand_Stream() {
    if (Pipeline) return std::make_unique<T_KYL_Parallel_Expand_Stream>(*Pipeline);
    return std::make_unique<T_KYL_Expand_Stream>(*Codec);
}
