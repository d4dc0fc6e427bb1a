// SPDX-License-Identifier: MIT
// The C library over the block codec: one-shot calls and streams on
// memory.  Every C++ failure stops at this file's edge and becomes a status.
#include "kyl.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>

#include "codec/KYL_MCP_Unit.h"
#include "codec/KYL_Stream_Unit.h"

struct kyl_stream {
    kyl_stream(int direction, unsigned threads)
        : Factory(threads),
          Stream(direction == KYL_STREAM_COMPRESS ? Factory.Compress_Stream() : Factory.Expand_Stream()) {}

    // The stream after its factory, so that it goes first (a parallel stream
    // joins its workers as it goes).
    T_KYL_Stream_Factory Factory;
    std::unique_ptr<T_KYL_Stream> Stream;
    bool Input_Ended = false;
    int Failure = KYL_OK;  // the first failure, returned by every later call
};

namespace {

static_assert(KYL_VERSION_NUMBER == KYL_VERSION_MAJOR * 10000 + KYL_VERSION_MINOR * 100 + KYL_VERSION_PATCH);

// Runs `work` and turns what it throws into a status.
template <class T_Work>
int Guarded(T_Work&& work) noexcept {
    try {
        return work();
    } catch (const T_KYL_Truncated_Block&) {
        return KYL_TRUNCATED;
    } catch (const T_KYL_Damaged_Block&) {
        return KYL_DAMAGED;
    } catch (const std::bad_alloc&) {
        return KYL_NO_MEMORY;
    } catch (const T_KYL_Platform_Error&) {
        // In memory work the one platform failure is a thread that cannot
        // be started, for want of the same resources.
        return KYL_NO_MEMORY;
    } catch (...) {
        return KYL_INTERNAL_ERROR;
    }
}

// The same for a stream: a failure sticks to it.
template <class T_Work>
int Guarded(kyl_stream& stream, T_Work&& work) noexcept {
    if (stream.Failure != KYL_OK) return stream.Failure;
    const int status = Guarded(work);
    if (status != KYL_OK && status != KYL_BAD_ARGUMENT) stream.Failure = status;
    return status;
}

// The most payload bytes the block coder can write for a block of `length`
// bytes.  A coded symbol narrows the coder's range by at most a factor of
// 2^16 * 128/127 (model totals stay below 2^16, every frequency is at least
// 1, and the range is above 2^23 when a symbol is coded), so it costs at most
// 16.02 bits; each section adds two bytes to the bits it loses.  A block of N
// bytes gives at most N + 1 ranks and the end symbol (three steps each), at
// most (N + 1) / 3 mantissa steps (one per three bytes of runs at most) and
// 219 count steps: at most 6.68 N + 460 bytes.
constexpr std::size_t Payload_Bound(std::size_t length) { return 7 * length + 512; }

// The longest record of a block of `length` bytes: coded, or stored when the
// payload would pass Read_Ahead.
constexpr std::size_t Record_Bound(std::size_t length) {
    return std::max(6 + length, 12 + std::min(Payload_Bound(length), std::size_t(Read_Ahead)));
}

// `input` through a stream of `threads`; the output goes to dst while it
// fits.  Each piece of output is a whole record or block, so the statuses are
// those of one thread whatever the number.
int Through_Stream(int direction, std::span<const std::uint8_t> input, unsigned threads, std::uint64_t blocks,
                   std::uint8_t* dst, std::size_t capacity, std::size_t& written) {
    T_KYL_Stream_Factory factory(threads, blocks);
    const std::unique_ptr<T_KYL_Stream> stream =
        direction == KYL_STREAM_COMPRESS ? factory.Compress_Stream() : factory.Expand_Stream();
    // False when output is left that the destination has no room for.
    const auto drain = [&] {
        KYL_Drain_Stream(*stream, capacity - written, [&](std::span<const std::uint8_t> piece) {
            std::memcpy(dst + written, piece.data(), piece.size());
            written += piece.size();
        });
        return written < capacity || stream->Output().empty();
    };
    while (!input.empty()) {
        input = input.subspan(stream->Feed(input));
        if (!drain()) return KYL_DST_TOO_SMALL;
    }
    stream->Finish_Input();
    return drain() ? KYL_OK : KYL_DST_TOO_SMALL;
}

// The most blocks of `input`, as the factory takes them: no more workers
// start than there are blocks, and none for an input of one block's size or
// less.  Compressed records differ in length, so an expansion's blocks are
// not known before they are framed; its workers start as they are.
std::uint64_t Blocks_Of(int direction, std::span<const std::uint8_t> input) {
    if (input.size() <= std::size_t(Block_Size)) return 1;
    if (direction == KYL_STREAM_EXPAND) return UINT64_MAX;
    return (input.size() - 1) / std::size_t(Block_Size) + 1;
}

int Compress_All(std::span<const std::uint8_t> input, unsigned threads, std::uint8_t* dst, std::size_t capacity,
                 std::size_t& written) {
    if (input.empty()) return KYL_OK;
    const std::uint64_t blocks = Blocks_Of(KYL_STREAM_COMPRESS, input);
    return Through_Stream(KYL_STREAM_COMPRESS, input, threads, blocks, dst, capacity, written);
}

int Expand_All(std::span<const std::uint8_t> input, unsigned threads, std::uint8_t* dst, std::size_t capacity,
               std::size_t& written) {
    if (input.empty()) return KYL_OK;
    const std::uint64_t blocks = Blocks_Of(KYL_STREAM_EXPAND, input);
    return Through_Stream(KYL_STREAM_EXPAND, input, threads, blocks, dst, capacity, written);
}

// The most bytes the records of `input` expand to, from their headers alone;
// throws as Record_Length does.
std::size_t Expansion_Bound(std::span<const std::uint8_t> input) {
    std::size_t bound = 0;
    while (!input.empty()) {
        const std::size_t length = T_KYL_MCP::Record_Length(input, true);
        const std::size_t block = T_KYL_MCP::Block_Bound(input.first(length));
        if (block > std::numeric_limits<std::size_t>::max() - bound) return std::numeric_limits<std::size_t>::max();
        bound += block;
        input = input.subspan(length);
    }
    return bound;
}

using T_One_Shot = int (*)(std::span<const std::uint8_t>, unsigned, std::uint8_t*, std::size_t, std::size_t&);

int Run_One_Shot(T_One_Shot work, const void* src, std::size_t src_size, void* dst, std::size_t dst_capacity,
                 std::size_t* dst_size, unsigned threads) {
    if (dst_size == nullptr) return KYL_BAD_ARGUMENT;
    *dst_size = 0;
    if ((src == nullptr && src_size > 0) || (dst == nullptr && dst_capacity > 0)) return KYL_BAD_ARGUMENT;
    std::size_t written = 0;
    const int status = Guarded([&] {
        return work({static_cast<const std::uint8_t*>(src), src_size}, threads, static_cast<std::uint8_t*>(dst),
                    dst_capacity, written);
    });
    if (status == KYL_OK) *dst_size = written;
    return status;
}

}  // namespace

extern "C" {

const char* kyl_status_text(int status) {
    switch (status) {
        case KYL_OK: return "success";
        case KYL_DAMAGED: return "the compressed data is damaged";
        case KYL_DST_TOO_SMALL: return "the destination is too small";
        case KYL_NO_MEMORY: return "out of memory";
        case KYL_BAD_ARGUMENT: return "bad argument";
        case KYL_INTERNAL_ERROR: return "internal error";
        case KYL_TRUNCATED: return "the compressed data ends inside a block";
        default: return "unknown status";
    }
}

unsigned kyl_thread_limit(unsigned threads) {
    try {
        return T_KYL_Stream_Factory::Thread_Limit(threads);
    } catch (...) {
        // Not even the machine's figures could be read into memory.
        return 1;
    }
}

unsigned kyl_version_number(void) { return KYL_VERSION_NUMBER; }
const char* kyl_version_string(void) { return KYL_VERSION_STRING; }

size_t kyl_compress_bound(size_t src_size) {
    const std::size_t full_blocks = src_size / std::size_t(Block_Size);
    const std::size_t rest = src_size % std::size_t(Block_Size);
    const std::size_t per_block = Record_Bound(std::size_t(Block_Size));
    if (full_blocks > (std::numeric_limits<std::size_t>::max() - Record_Bound(rest)) / per_block) return 0;
    return full_blocks * per_block + (rest > 0 ? Record_Bound(rest) : 0);
}

int kyl_compress(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
                 unsigned threads) {
    return Run_One_Shot(Compress_All, src, src_size, dst, dst_capacity, dst_size, threads);
}

int kyl_expand(const void* src, size_t src_size, void* dst, size_t dst_capacity, size_t* dst_size,
               unsigned threads) {
    return Run_One_Shot(Expand_All, src, src_size, dst, dst_capacity, dst_size, threads);
}

int kyl_expand_bound(const void* src, size_t src_size, size_t* bound) {
    if (bound == nullptr) return KYL_BAD_ARGUMENT;
    *bound = 0;
    if (src == nullptr && src_size > 0) return KYL_BAD_ARGUMENT;
    return Guarded([&] {
        *bound = Expansion_Bound({static_cast<const std::uint8_t*>(src), src_size});
        return KYL_OK;
    });
}

int kyl_stream_create(kyl_stream** stream, int direction, unsigned threads) {
    if (stream == nullptr) return KYL_BAD_ARGUMENT;
    *stream = nullptr;
    if (direction != KYL_STREAM_COMPRESS && direction != KYL_STREAM_EXPAND) return KYL_BAD_ARGUMENT;
    return Guarded([&] {
        *stream = std::make_unique<kyl_stream>(direction, threads).release();
        return KYL_OK;
    });
}

int kyl_stream_feed(kyl_stream* stream, const void* src, size_t src_size, size_t* consumed) {
    if (stream == nullptr || consumed == nullptr) return KYL_BAD_ARGUMENT;
    *consumed = 0;
    if (src == nullptr && src_size > 0) return KYL_BAD_ARGUMENT;
    return Guarded(*stream, [&] {
        if (stream->Input_Ended) return src_size > 0 ? KYL_BAD_ARGUMENT : KYL_OK;
        const std::span<const std::uint8_t> input(static_cast<const std::uint8_t*>(src), src_size);
        *consumed = stream->Stream->Feed(input);
        return KYL_OK;
    });
}

int kyl_stream_finish(kyl_stream* stream) {
    if (stream == nullptr) return KYL_BAD_ARGUMENT;
    return Guarded(*stream, [&] {
        stream->Input_Ended = true;
        stream->Stream->Finish_Input();
        return KYL_OK;
    });
}

int kyl_stream_take(kyl_stream* stream, void* dst, size_t dst_capacity, size_t* taken) {
    if (stream == nullptr || taken == nullptr) return KYL_BAD_ARGUMENT;
    *taken = 0;
    if (dst == nullptr && dst_capacity > 0) return KYL_BAD_ARGUMENT;
    auto* out = static_cast<std::uint8_t*>(dst);
    std::size_t copied = 0;
    const int status = Guarded(*stream, [&] {
        KYL_Drain_Stream(*stream->Stream, dst_capacity, [&](std::span<const std::uint8_t> piece) {
            std::memcpy(out + copied, piece.data(), piece.size());
            copied += piece.size();
        });
        return KYL_OK;
    });
    *taken = copied;
    return status;
}

int kyl_stream_blocks(const kyl_stream* stream, unsigned long long* blocks) {
    if (blocks == nullptr) return KYL_BAD_ARGUMENT;
    *blocks = 0;
    if (stream == nullptr) return KYL_BAD_ARGUMENT;
    *blocks = stream->Stream->Blocks_Out();
    return KYL_OK;
}

void kyl_stream_free(kyl_stream* stream) { std::unique_ptr<kyl_stream> owned(stream); }

}  // extern "C"
