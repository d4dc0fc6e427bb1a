// SPDX-License-Identifier: MIT
// The C library: one-shot calls against the program's own files, streams in
// pieces of any size, contexts on several threads, and exact destinations.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <thread>

#include "KYL_Test_Seam.h"
#include "KYL_Test_Support.h"
#include "block/KYL_Block_Unit.h"
#include "kyl.h"

namespace {

using namespace kyl_test;
using T_Bytes = std::vector<std::uint8_t>;

T_Bytes Compress(const T_Bytes& original, unsigned threads = 1) {
    T_Bytes compressed(kyl_compress_bound(original.size()));
    std::size_t size = 0;
    EXPECT_EQ(kyl_compress(original.data(), original.size(), compressed.data(), compressed.size(), &size, threads),
              KYL_OK);
    compressed.resize(size);
    return compressed;
}

T_Bytes Expand(const T_Bytes& compressed, std::size_t capacity, unsigned threads = 1) {
    T_Bytes expanded(capacity);
    std::size_t size = 0;
    EXPECT_EQ(kyl_expand(compressed.data(), compressed.size(), expanded.data(), expanded.size(), &size, threads),
              KYL_OK);
    expanded.resize(size);
    return expanded;
}

// Runs `input` through a stream of `direction` on `threads` threads, fed and
// taken in pieces of random sizes up to `largest` bytes.
T_Bytes Through_Stream(int direction, const T_Bytes& input, std::size_t largest, std::uint32_t seed,
                       unsigned threads = 1) {
    std::mt19937 random(seed);
    kyl_stream* stream = nullptr;
    EXPECT_EQ(kyl_stream_create(&stream, direction, threads), KYL_OK);
    T_Bytes output;
    std::vector<std::uint8_t> piece(largest);
    auto take_all = [&] {
        for (std::size_t taken = 1; taken > 0;) {
            const std::size_t capacity = 1 + random() % largest;
            ASSERT_EQ(kyl_stream_take(stream, piece.data(), capacity, &taken), KYL_OK);
            output.insert(output.end(), piece.begin(), piece.begin() + long(taken));
        }
    };
    for (std::size_t at = 0; at < input.size();) {
        std::size_t consumed = 0;
        const std::size_t offered = std::min(input.size() - at, 1 + random() % largest);
        EXPECT_EQ(kyl_stream_feed(stream, input.data() + at, offered, &consumed), KYL_OK);
        at += consumed;
        take_all();
    }
    EXPECT_EQ(kyl_stream_finish(stream), KYL_OK);
    take_all();
    kyl_stream_free(stream);
    return output;
}

// Two blocks of text and what `kyl -c` makes of them.
class Library : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Original = Text_Like_Bytes(std::size_t(Block_Size) + 70000, 17);
        T_Temp_Dir dir;
        Write_File(dir / "text.txt", Original);
        ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "text.txt"}).Exit_Status, 0);
        Program_Output = Read_File(dir / "text.kyl");
    }
    static inline T_Bytes Original;
    static inline T_Bytes Program_Output;
};

TEST_F(Library, One_Shot_Calls_Write_What_The_Program_Writes_And_Read_It_Back) {
    EXPECT_EQ(Compress(Original), Program_Output);
    EXPECT_EQ(Expand(Program_Output, Original.size()), Original);
    EXPECT_LE(Program_Output.size(), kyl_compress_bound(Original.size()));
}

TEST_F(Library, Streams_In_Pieces_Of_Any_Size_Give_The_One_Shot_Bytes) {
    EXPECT_EQ(Through_Stream(KYL_STREAM_COMPRESS, Original, 70000, 1), Program_Output);
    EXPECT_EQ(Through_Stream(KYL_STREAM_EXPAND, Program_Output, 3000, 2), Original);
    const T_Bytes small = Text_Like_Bytes(5000, 3);
    EXPECT_EQ(Through_Stream(KYL_STREAM_COMPRESS, small, 7, 4), Compress(small));
    EXPECT_EQ(Through_Stream(KYL_STREAM_EXPAND, Compress(small), 5, 5), small);
    EXPECT_TRUE(Through_Stream(KYL_STREAM_COMPRESS, {}, 5, 6).empty());
}

// Blocks coded on several threads give the bytes of one thread.  A stream
// freed with its blocks in work waits for its workers.
TEST_F(Library, Threads_Give_The_Bytes_Of_One_In_Calls_And_Streams) {
    EXPECT_EQ(Compress(Original, 3), Program_Output);
    EXPECT_EQ(Expand(Program_Output, Original.size(), 0), Original);
    EXPECT_EQ(Through_Stream(KYL_STREAM_COMPRESS, Original, 70000, 7, 2), Program_Output);
    EXPECT_EQ(Through_Stream(KYL_STREAM_EXPAND, Program_Output, 3000, 8, 3), Original);

    kyl_stream* stream = nullptr;
    ASSERT_EQ(kyl_stream_create(&stream, KYL_STREAM_COMPRESS, 2), KYL_OK);
    std::size_t consumed = 0;
    for (std::size_t at = 0; at < Original.size(); at += consumed)
        ASSERT_EQ(kyl_stream_feed(stream, Original.data() + at, Original.size() - at, &consumed), KYL_OK);
    kyl_stream_free(stream);
}

// Each thread has its own stream; together they give what each gives alone.
TEST(Library_Threads, Contexts_On_Two_Threads_Give_The_Bytes_Of_One_After_The_Other) {
    const T_Bytes inputs[2] = {Text_Like_Bytes(900000, 21), Random_Bytes(300000, 22)};
    const T_Bytes alone[2] = {Compress(inputs[0]), Compress(inputs[1])};
    T_Bytes together[2];
    std::thread second([&] { together[1] = Through_Stream(KYL_STREAM_COMPRESS, inputs[1], 50000, 23); });
    together[0] = Through_Stream(KYL_STREAM_COMPRESS, inputs[0], 50000, 24);
    second.join();
    EXPECT_EQ(together[0], alone[0]);
    EXPECT_EQ(together[1], alone[1]);
}

// The threads a request gets: as asked while they fit half the available
// memory at 60 MB each, then as many as fit, and always one.
TEST(Library_Threads, The_Limit_Is_The_Request_Within_The_Memory_Budget) {
    T_KYL_Test_Seam::Set_Available_Memory(400'000'000);
    const unsigned asked_2 = kyl_thread_limit(2), asked_64 = kyl_thread_limit(64);
    T_KYL_Test_Seam::Set_Available_Memory(1'000'000);
    const unsigned starved = kyl_thread_limit(64);
    T_KYL_Test_Seam::Set_Available_Memory(0);
    EXPECT_EQ(asked_2, 2u);
    EXPECT_EQ(asked_64, 3u);
    EXPECT_EQ(starved, 1u);
}

// One byte short of the output is too small, in both directions, and not a
// byte is written past the destination.
TEST(Library_Destinations, Exact_Size_Fits_And_One_Byte_Less_Does_Not) {
    const T_Bytes original = Text_Like_Bytes(40000, 31);
    const T_Bytes compressed = Compress(original);
    using T_Call = int (*)(const void*, size_t, void*, size_t, size_t*, unsigned);
    auto check = [](T_Call call, const T_Bytes& input, const T_Bytes& output) {
        T_Bytes buffer(output.size() + 16, 0xA5);
        std::size_t size = 1;
        EXPECT_EQ(call(input.data(), input.size(), buffer.data(), output.size() - 1, &size, 1), KYL_DST_TOO_SMALL);
        EXPECT_EQ(size, 0u);
        EXPECT_TRUE(std::all_of(buffer.begin() + long(output.size()) - 1, buffer.end(), [](auto b) { return b == 0xA5; }));
        ASSERT_EQ(call(input.data(), input.size(), buffer.data(), output.size(), &size, 1), KYL_OK);
        EXPECT_TRUE(std::equal(output.begin(), output.end(), buffer.begin()));
        EXPECT_TRUE(std::all_of(buffer.begin() + long(output.size()), buffer.end(), [](auto b) { return b == 0xA5; }));
    };
    check(kyl_compress, original, compressed);
    check(kyl_expand, compressed, original);
}

// The expansion bound, from the headers alone: a whole block for every coded
// record and its own bytes for a stored one, so that one kyl_expand into that
// much always fits; headers that do not chain give no bound.
TEST(Library_Destinations, The_Expand_Bound_Fits_The_Expansion_Within_A_Block_Per_Record) {
    // Files of 0, 1, Block_Size - 1, Block_Size + 1 and 2 * Block_Size + 5
    // bytes and a stored record of one, joined: each bound is its own, and the
    // joined expansion fits the sum of them exactly.
    const std::size_t block = std::size_t(Block_Size);
    const T_Bytes text = Text_Like_Bytes(2 * block + 5, 61);
    T_Bytes joined, joined_original;
    std::size_t joined_records = 0;
    for (const std::size_t size : {std::size_t(0), std::size_t(1), block - 1, block + 1, 2 * block + 5}) {
        const T_Bytes original(text.begin(), text.begin() + long(size));
        const T_Bytes compressed = Compress(original, 2);
        const std::size_t records = (size + block - 1) / block;
        std::size_t bound = 1;
        ASSERT_EQ(kyl_expand_bound(compressed.data(), compressed.size(), &bound), KYL_OK);
        EXPECT_EQ(bound, records * block) << size;
        joined.insert(joined.end(), compressed.begin(), compressed.end());
        joined_original.insert(joined_original.end(), original.begin(), original.end());
        joined_records += records;
    }
    const T_Bytes stored_a = {0x06, 0x00, 0x43, 0xBE, 0xB7, 0xE8, 'a'};
    joined.insert(joined.end(), stored_a.begin(), stored_a.end());
    joined_original.push_back('a');
    std::size_t bound = 0;
    ASSERT_EQ(kyl_expand_bound(joined.data(), joined.size(), &bound), KYL_OK);
    EXPECT_EQ(bound, joined_records * block + 1);
    EXPECT_EQ(Expand(joined, bound, 2), joined_original);

    const T_Bytes record = Compress(Text_Like_Bytes(3000, 62));
    T_Bytes second_unchained = record;
    second_unchained.insert(second_unchained.end(), record.begin(), record.end());
    second_unchained[record.size()] = 0;  // header length 0
    T_Bytes payload_too_long = record;
    payload_too_long[9] = payload_too_long[10] = payload_too_long[11] = 0xFF;
    const T_Bytes too_short_for_flags = {0x03, 0x01, 0x00, 0x00};
    for (const T_Bytes& damaged : {second_unchained, payload_too_long, too_short_for_flags}) {
        bound = 1;
        EXPECT_EQ(kyl_expand_bound(damaged.data(), damaged.size(), &bound), KYL_DAMAGED);
        EXPECT_EQ(bound, 0u);
    }
    EXPECT_EQ(kyl_expand_bound(record.data(), record.size() - 1, &bound), KYL_TRUNCATED);
    EXPECT_EQ(kyl_expand_bound(nullptr, 1, &bound), KYL_BAD_ARGUMENT);
    EXPECT_EQ(kyl_expand_bound(nullptr, 0, &bound), KYL_OK);
    EXPECT_EQ(bound, 0u);
}

TEST(Library_Edges, Bounds_Statuses_Versions_And_Bad_Arguments) {
    EXPECT_EQ(kyl_compress_bound(0), 0u);
    EXPECT_EQ(kyl_compress_bound(std::numeric_limits<std::size_t>::max()), 0u);
    const T_Bytes noise = Random_Bytes(100000, 41);
    EXPECT_LE(Compress(noise).size(), kyl_compress_bound(noise.size()));
    EXPECT_EQ(Compress({}).size(), 0u);

    EXPECT_STRNE(kyl_status_text(KYL_DAMAGED), kyl_status_text(KYL_DST_TOO_SMALL));
    EXPECT_STRNE(kyl_status_text(KYL_TRUNCATED), kyl_status_text(99));
    EXPECT_STREQ(kyl_status_text(99), "unknown status");
    EXPECT_EQ(kyl_version_number(), unsigned(KYL_VERSION_NUMBER));
    EXPECT_STREQ(kyl_version_string(), KYL_VERSION_STRING);

    std::size_t size = 0;
    std::uint8_t byte = 0;
    EXPECT_EQ(kyl_compress(nullptr, 1, &byte, 1, &size, 1), KYL_BAD_ARGUMENT);
    EXPECT_EQ(kyl_expand(&byte, 1, &byte, 1, nullptr, 1), KYL_BAD_ARGUMENT);
    kyl_stream* stream = nullptr;
    EXPECT_EQ(kyl_stream_create(&stream, 7, 1), KYL_BAD_ARGUMENT);
    EXPECT_EQ(stream, nullptr);
    ASSERT_EQ(kyl_stream_create(&stream, KYL_STREAM_EXPAND, 1), KYL_OK);
    ASSERT_EQ(kyl_stream_finish(stream), KYL_OK);
    EXPECT_EQ(kyl_stream_feed(stream, &byte, 1, &size), KYL_BAD_ARGUMENT);
    kyl_stream_free(stream);
}

// A damaged stream keeps the blocks before the damage and says so from then on.
TEST(Library_Damage, A_Stream_Reports_Damage_After_The_Intact_Blocks) {
    const T_Bytes original = Text_Like_Bytes(1000, 51);
    T_Bytes compressed = Compress(original);
    const std::size_t second_record = compressed.size();
    compressed.insert(compressed.end(), compressed.begin(), compressed.end());
    compressed[second_record + 2] ^= 0x10;  // its CRC-32
    kyl_stream* stream = nullptr;
    ASSERT_EQ(kyl_stream_create(&stream, KYL_STREAM_EXPAND, 1), KYL_OK);
    std::size_t consumed = 0;
    ASSERT_EQ(kyl_stream_feed(stream, compressed.data(), compressed.size(), &consumed), KYL_OK);
    ASSERT_EQ(consumed, compressed.size());
    ASSERT_EQ(kyl_stream_finish(stream), KYL_OK);
    T_Bytes out(4 * original.size());
    std::size_t taken = 0;
    EXPECT_EQ(kyl_stream_take(stream, out.data(), out.size(), &taken), KYL_DAMAGED);
    EXPECT_EQ(taken, original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.end(), out.begin()));
    EXPECT_EQ(kyl_stream_take(stream, out.data(), out.size(), &taken), KYL_DAMAGED);
    EXPECT_EQ(taken, 0u);
    kyl_stream_free(stream);
}

// An input that ends anywhere inside its last record is cut short, in one call
// and at the end of a stream (on one thread and on several, after the blocks
// before it); a changed byte inside that record is damage.
TEST(Library_Damage, A_Cut_Inside_The_Last_Record_Is_Truncated_And_A_Change_Damaged) {
    const T_Bytes original = Text_Like_Bytes(1000, 54);
    const T_Bytes record = Compress(original);
    T_Bytes file = record;
    file.insert(file.end(), record.begin(), record.end());
    auto expand = [&](const T_Bytes& input, std::size_t length) {
        T_Bytes out(2 * original.size());
        std::size_t size = 1;
        const int status = kyl_expand(input.data(), length, out.data(), out.size(), &size, 1);
        EXPECT_EQ(size, 0u);
        return status;
    };
    auto stream_end = [&](const T_Bytes& input, std::size_t length, unsigned threads) {
        kyl_stream* stream = nullptr;
        EXPECT_EQ(kyl_stream_create(&stream, KYL_STREAM_EXPAND, threads), KYL_OK);
        std::size_t consumed = 0, taken = 0;
        EXPECT_EQ(kyl_stream_feed(stream, input.data(), length, &consumed), KYL_OK);
        EXPECT_EQ(consumed, length);
        EXPECT_EQ(kyl_stream_finish(stream), KYL_OK);
        T_Bytes out(2 * original.size());
        const int status = kyl_stream_take(stream, out.data(), out.size(), &taken);
        EXPECT_EQ(taken, original.size()) << "the intact first block";
        EXPECT_EQ(kyl_stream_take(stream, out.data(), out.size(), &taken), status) << "the failure sticks";
        kyl_stream_free(stream);
        return status;
    };
    for (std::size_t cut = record.size() + 1; cut < file.size(); ++cut) {
        EXPECT_EQ(expand(file, cut), KYL_TRUNCATED) << "cut at " << cut;
        for (const unsigned threads : {1u, 3u})
            EXPECT_EQ(stream_end(file, cut, threads), KYL_TRUNCATED) << "cut at " << cut << ", threads " << threads;
    }
    for (const std::size_t changed : {std::size_t(2), std::size_t(6), record.size() / 2, record.size() - 1}) {
        T_Bytes damaged = file;
        damaged[record.size() + changed] ^= 0x10;
        EXPECT_EQ(expand(damaged, damaged.size()), KYL_DAMAGED) << "byte " << changed;
        EXPECT_EQ(stream_end(damaged, damaged.size(), 3), KYL_DAMAGED) << "byte " << changed;
    }
}

// On several threads a stream ends as on one: the intact blocks before a
// record whose CRC-32 fails (found by a worker) or whose header cannot start a
// block (found while framing) are delivered, then KYL_DAMAGED.
TEST(Library_Threads, A_Stream_On_Three_Threads_Stops_After_The_Intact_Blocks) {
    const T_Bytes original = Text_Like_Bytes(1000, 52);
    const T_Bytes record = Compress(original);
    for (const std::size_t damaged_byte : {2u, 0u}) {
        T_Bytes file;
        for (int i = 0; i < 6; ++i) file.insert(file.end(), record.begin(), record.end());
        file[3 * record.size() + damaged_byte] ^= damaged_byte == 0 ? 0x0C : 0x10;
        kyl_stream* stream = nullptr;
        ASSERT_EQ(kyl_stream_create(&stream, KYL_STREAM_EXPAND, 3), KYL_OK);
        std::size_t consumed = 0, taken = 0;
        ASSERT_EQ(kyl_stream_feed(stream, file.data(), file.size(), &consumed), KYL_OK);
        ASSERT_EQ(consumed, file.size());
        ASSERT_EQ(kyl_stream_finish(stream), KYL_OK);
        T_Bytes out(6 * original.size());
        EXPECT_EQ(kyl_stream_take(stream, out.data(), out.size(), &taken), KYL_DAMAGED);
        EXPECT_EQ(taken, 3 * original.size()) << "damage at byte " << damaged_byte;
        EXPECT_EQ(kyl_stream_take(stream, out.data(), out.size(), &taken), KYL_DAMAGED);
        kyl_stream_free(stream);
    }
}

// 300,000 records of one byte each, as a concatenation of tiny compressed
// files gives; bench/many_blocks.sh times it.
TEST(Library_Many_Blocks, A_File_Of_300000_Tiny_Blocks_Expands_To_All_Of_Them) {
    const T_Bytes record = Compress({'a'});
    ASSERT_EQ(record.size(), 22u);
    T_Bytes file;
    file.reserve(record.size() * 300000);
    for (int i = 0; i < 300000; ++i) file.insert(file.end(), record.begin(), record.end());
    T_Temp_Dir dir;
    Write_File(dir / "tiny.kyl", file);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-e", "tiny.kyl"}).Exit_Status, 0);
    EXPECT_EQ(Read_File(dir / "tiny.exp"), T_Bytes(300000, 'a'));
}

}  // namespace
