// SPDX-License-Identifier: MIT
// Compression and expansion of a byte stream that arrives in pieces of any
// size.  T_KYL_Stream is what every client sees; the one-thread streams here
// work on one block codec, the parallel ones (KYL_Pipeline_Unit.h) on a
// pipeline of them, and T_KYL_Stream_Factory picks one or the other from a
// thread count.  Neither ever seeks; each holds at most one block (or one
// record window) of input and one record (or one block) of output per
// block codec, and each gives the same bytes whatever the sizes of the
// pieces and the number of threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "codec/KYL_MCP_Unit.h"

// Every stream is used the same way: put input into Input_Space and
// Commit_Input it (or Feed it), take what Output offers with Take_Output, and
// call Finish_Input once the input ends; Finished tells when all is out.
// Input is refused (Input_Space is empty) while output waits to be taken.
class T_KYL_Stream {
public:
    virtual ~T_KYL_Stream() = default;

    // Room for the next input; empty while output waits and after
    // Finish_Input.
    virtual std::span<std::uint8_t> Input_Space() = 0;
    // Counts `count` bytes written to Input_Space as input.
    virtual void Commit_Input(std::size_t count) = 0;
    // Copies what Input_Space takes of `input` and commits it; returns how
    // many bytes.
    std::size_t Feed(std::span<const std::uint8_t> input);
    // Ends the input; the last, shorter block is coded.
    virtual void Finish_Input() = 0;

    // The rest of the current record or block; empty when more input (or the
    // end of it) is needed, and when all is done.  An expansion throws
    // T_KYL_Damaged_Block, carrying the block's index in the stream, at the
    // first damaged block, once the blocks before it are out.
    virtual std::span<const std::uint8_t> Output() = 0;
    virtual void Take_Output(std::size_t count) = 0;
    virtual bool Finished() const = 0;
    // The blocks whose records (compressing) or blocks (expanding) have been
    // taken whole.
    virtual std::uint64_t Blocks_Out() const = 0;

protected:
    T_KYL_Stream() = default;
    T_KYL_Stream(const T_KYL_Stream&) = delete;
    T_KYL_Stream& operator=(const T_KYL_Stream&) = delete;
};

// Moves the output `stream` has ready, at most `room` bytes, to `put`, which
// takes every piece it is given whole; returns the bytes moved.  Once the
// room is used up the stream is not asked for more, so that it codes no
// block ahead of the taker (nor finds a damaged one early).
template <class T_Put>
std::size_t KYL_Drain_Stream(T_KYL_Stream& stream, std::size_t room, T_Put&& put) {
    std::size_t moved = 0;
    while (moved < room) {
        std::span<const std::uint8_t> piece = stream.Output();
        if (piece.empty()) break;
        piece = piece.first(std::min(piece.size(), room - moved));
        put(piece);
        stream.Take_Output(piece.size());
        moved += piece.size();
    }
    return moved;
}

// Compressed input gathered until it holds a whole record.  The window is
// twice the longest record; its bytes move to the front only once the next
// record starts in its second half, so each byte moves at most once, and a
// window with no room left always holds a whole record.
class T_KYL_Record_Window {
public:
    // `area`: 2 * Max_Record_Length bytes, for the window's lifetime.
    explicit T_KYL_Record_Window(std::span<std::uint8_t> area) : Area(area) {}

    // Free room behind the bytes held.
    std::span<std::uint8_t> Space();
    void Commit(std::size_t count);
    // The bytes held, the next record first.
    std::span<const std::uint8_t> Held() const { return {Area.data() + Begin, End - Begin}; }
    // Drops the first `count` bytes held: the record they were.
    void Consume(std::size_t count);
    bool Empty() const { return Begin == End; }

private:
    std::span<std::uint8_t> Area;
    std::size_t Begin = 0;  // the next record starts at Area[Begin]
    std::size_t End = 0;    // input held: Area[Begin..End-1]
};

// A compression stream on one block codec, which it borrows.
class T_KYL_Compress_Stream final : public T_KYL_Stream {
public:
    // `transform`: the Transform_Flag of every block (see Compress_Block).
    explicit T_KYL_Compress_Stream(T_KYL_MCP& controller, std::uint8_t transform = 1);

    // The rest of the block being gathered; a block that is full is
    // compressed at once.
    std::span<std::uint8_t> Input_Space() override;
    void Commit_Input(std::size_t count) override;
    void Finish_Input() override;

    std::span<const std::uint8_t> Output() override;
    void Take_Output(std::size_t count) override;
    bool Finished() const override { return Input_Ended && Taken == Record.Size(); }
    std::uint64_t Blocks_Out() const override { return Blocks - (Taken < Record.Size() ? 1 : 0); }

private:
    void Compress_Gathered();

    T_KYL_MCP& Controller;
    std::uint8_t Transform;
    std::span<std::uint8_t> Gathering;
    std::size_t Gathered = 0;
    T_KYL_Record Record;
    std::size_t Taken = 0;  // bytes of Record taken
    std::uint64_t Blocks = 0;  // records made
    bool Input_Ended = false;
};

// An expansion stream on one block codec, which it borrows.
class T_KYL_Expand_Stream final : public T_KYL_Stream {
public:
    explicit T_KYL_Expand_Stream(T_KYL_MCP& controller);

    // Free room in the record window; empty while a block waits and after
    // Finish_Input.  Whenever it is empty otherwise, the window holds a whole
    // record, which Output expands.
    std::span<std::uint8_t> Input_Space() override;
    void Commit_Input(std::size_t count) override;
    void Finish_Input() override;

    // The rest of the current block.  Once it has all been taken, expands the
    // next record when the window holds all of it.
    std::span<const std::uint8_t> Output() override;
    void Take_Output(std::size_t count) override;
    bool Finished() const override { return Input_Ended && Window.Empty() && Block.empty(); }
    std::uint64_t Blocks_Out() const override { return std::uint64_t(Block_Index) - (Block.empty() ? 0 : 1); }

private:
    T_KYL_MCP& Controller;
    T_KYL_Record_Window Window;
    std::span<const std::uint8_t> Block;
    std::int64_t Block_Index = 0;  // records expanded
    bool Input_Ended = false;
};

class T_KYL_Pipeline;

// The streams of one thread count: a block codec for one thread, a pipeline
// of them for more, made once and lent to every stream it makes, one stream
// at a time.  The thread count is settled here and nowhere else.
class T_KYL_Stream_Factory {
public:
    // `threads` and `blocks` (the most blocks an input will have, where
    // that is known) as T_KYL_Pipeline::Thread_Request takes them; the
    // memory budget limits the workers further as they start.  Throws std::bad_alloc when the
    // memory cannot be had.
    explicit T_KYL_Stream_Factory(unsigned threads, std::uint64_t blocks = UINT64_MAX);
    ~T_KYL_Stream_Factory();
    T_KYL_Stream_Factory(const T_KYL_Stream_Factory&) = delete;
    // The most threads a factory made now for `threads` runs, within the
    // memory budget (T_KYL_Pipeline::Thread_Count).
    static unsigned Thread_Limit(unsigned threads);
    T_KYL_Stream_Factory& operator=(const T_KYL_Stream_Factory&) = delete;

    // A stream that compresses with `transform` as the Transform_Flag of
    // every block, or one that expands.  The stream must go before the next
    // is made and before the factory.
    std::unique_ptr<T_KYL_Stream> Compress_Stream(std::uint8_t transform = 1);
    std::unique_ptr<T_KYL_Stream> Expand_Stream();

private:
    friend struct T_KYL_Test_Seam;

    std::unique_ptr<T_KYL_MCP> Codec;          // for one thread
    std::unique_ptr<T_KYL_Pipeline> Pipeline;  // for more
};
