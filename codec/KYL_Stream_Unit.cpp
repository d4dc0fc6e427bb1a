#include "codec/KYL_Stream_Unit.h"

#include <algorithm>
#include <cassert>
#include <cstring>

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

std::size_t T_KYL_Compress_Stream::Feed(std::span<const std::uint8_t> input) {
    return Feed_Stream(*this, input);
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
}

std::span<const std::uint8_t> T_KYL_Compress_Stream::Output() const {
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

// The window is twice the longest record.  Its bytes move to the front only
// once the next record starts in its second half, so each byte moves at most
// once, and a full window always holds a whole record.
std::span<std::uint8_t> T_KYL_Expand_Stream::Input_Space() {
    if (Input_Ended || !Block.empty()) return {};
    if (Begin >= Max_Record_Length) {
        std::memmove(Window.data(), Window.data() + Begin, End - Begin);
        End -= Begin;
        Begin = 0;
    }
    return Window.subspan(End);
}

void T_KYL_Expand_Stream::Commit_Input(std::size_t count) {
    assert(count <= Window.size() - End);
    End += count;
}

std::size_t T_KYL_Expand_Stream::Feed(std::span<const std::uint8_t> input) {
    return Feed_Stream(*this, input);
}

void T_KYL_Expand_Stream::Finish_Input() { Input_Ended = true; }

std::span<const std::uint8_t> T_KYL_Expand_Stream::Output() {
    // A record may expand to an empty block; the loop goes on to the next.
    while (Block.empty()) {
        const std::span<const std::uint8_t> held(Window.data() + Begin, End - Begin);
        T_KYL_Expanded_Record record;
        try {
            record = Controller.Expand_Record(held, Input_Ended);
        } catch (T_KYL_Damaged_Block& damage) {
            damage.Set_Block_Index(Block_Index);
            throw;
        }
        if (record.Consumed == 0) return {};
        Begin += record.Consumed;
        ++Block_Index;
        Block = record.Block;
    }
    return Block;
}

void T_KYL_Expand_Stream::Take_Output(std::size_t count) {
    assert(count <= Block.size());
    Block = Block.subspan(count);
}
