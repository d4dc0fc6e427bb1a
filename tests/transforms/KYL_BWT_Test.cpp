// SPDX-License-Identifier: MIT
#include "transforms/KYL_BWT_Unit.h"

#include <functional>

#include "KYL_Test_Seam.h"
#include "tests/transforms/KYL_Transforms_Test_Support.h"

namespace {

using T_Mode = T_KYL_BWT::T_Sort_Mode;

struct T_Transformed {
    T_Bytes Output;
    std::int32_t Primary = -1;
    T_Bytes Header;  // the bytes Encode appended
};

class T_BWT_Test : public T_Block_Test {
protected:
    T_KYL_BWT BWT;

    T_Transformed Encode(const T_Bytes& block, T_Mode mode = T_Mode::Automatic, bool whole_block = false) {
        T_KYL_Test_Seam::Forced_Mode(BWT) = mode;
        T_KYL_Test_Seam::Force_Whole_Block_Sort(BWT) = whole_block;
        Data.Header->Len = 0;
        Set_Source(block);
        BWT.Encode(Data);
        T_Transformed result;
        result.Output = Target_Bytes();
        result.Header = Header_Bytes();
        result.Primary = BWT.Primary_Index;
        return result;
    }

    // Feeds a transformed block and its header bytes to Decode.
    T_Bytes Decode(const T_Bytes& transformed, const T_Bytes& header) {
        Fill(*Data.Header, header);
        Set_Source(transformed);
        BWT.Decode(Data);
        return Target_Bytes();
    }

    static T_Bytes Index_Bytes(std::int32_t primary) {
        return {std::uint8_t(primary), std::uint8_t(primary >> 8), std::uint8_t(primary >> 16)};
    }

    // Encodes in both modes and by the induced sort alone, checks the three
    // agree with the reference transform of `order`, and that Decode inverts it.
    void Expect_Transform(const T_Bytes& block, const std::vector<std::int32_t>& order) {
        std::int32_t primary = -1;
        const T_Bytes expected = Transform_Of(block, order, primary);
        for (const auto& [mode, whole] : {std::pair{T_Mode::Ascending, false}, std::pair{T_Mode::Descending, false},
                                          std::pair{T_Mode::Automatic, true}}) {
            const T_Transformed got = Encode(block, mode, whole);
            ASSERT_EQ(got.Output, expected) << "mode " << int(mode) << " whole block " << whole;
            ASSERT_EQ(got.Primary, primary);
            ASSERT_EQ(got.Header, Index_Bytes(primary));
        }
        ASSERT_EQ(Decode(expected, Index_Bytes(primary)), block);
        ASSERT_EQ(Data.Header->Len, 0);
    }
};

// ---------------------------------------------------------- golden blocks

TEST_F(T_BWT_Test, Encodes_Banana) {
    Data.Header->Data[0] = 0xAB;
    Data.Header->Len = 1;
    Set_Source(Bytes_Of("banana"));
    BWT.Encode(Data);
    EXPECT_EQ(Target_Bytes(), (T_Bytes{'a', 'n', 'n', 'b', 0, 'a', 'a'}));
    EXPECT_EQ(BWT.Primary_Index, 4);
    EXPECT_EQ(Header_Bytes(), (T_Bytes{0xAB, 4, 0, 0}));
    // The suffix array sits one entry into Index_Array.
    const std::vector<std::int32_t> rows(Data.Index_Array + 1, Data.Index_Array + 8);
    EXPECT_EQ(rows, (std::vector<std::int32_t>{6, 5, 3, 1, 0, 4, 2}));
}

TEST_F(T_BWT_Test, Encodes_Abracadabra) {
    const T_Transformed got = Encode(Bytes_Of("abracadabra"));
    EXPECT_EQ(got.Output, (T_Bytes{'a', 'r', 'd', 0, 'r', 'c', 'a', 'a', 'a', 'a', 'b', 'b'}));
    EXPECT_EQ(got.Primary, 3);
}

TEST_F(T_BWT_Test, Encodes_One_Byte_Blocks) {
    for (int b : {0, int('b'), 255}) {
        const T_Transformed got = Encode(T_Bytes{std::uint8_t(b)});
        EXPECT_EQ(got.Output, (T_Bytes{std::uint8_t(b), 0})) << b;
        EXPECT_EQ(got.Primary, 1);
        EXPECT_EQ(Data.Target->Len, 2);
        EXPECT_EQ(Decode(got.Output, got.Header), T_Bytes{std::uint8_t(b)});
    }
}

TEST_F(T_BWT_Test, Zero_Blocks_Sort_From_Their_End) {
    for (std::size_t n : {2u, 3u, 100u, 70000u}) {
        const T_Transformed got = Encode(T_Bytes(n, 0));
        EXPECT_EQ(got.Output, T_Bytes(n + 1, 0)) << n;
        EXPECT_EQ(got.Primary, std::int32_t(n));
        // Runs of one value need no comparisons; small blocks go to the
        // induced sort all the same.
        EXPECT_EQ(T_KYL_Test_Seam::Used_Whole_Block_Sort(BWT), std::int32_t(n) < T_KYL_BWT::Induced_Sort_Below) << n;
    }
}

// A suffix that reaches the end sorts before a longer one that agrees with it.
TEST_F(T_BWT_Test, Orders_Trailing_Zeros_By_Length) {
    const T_Bytes blocks[] = {
        {'a', 'b', 0, 0, 0}, {0, 0, 'a', 0, 0}, {'z', 'z', 0, 'z', 0, 0, 0, 0}, {5, 0, 5, 0, 5, 0, 0},
    };
    for (const T_Bytes& block : blocks) {
        const T_Transformed got = Encode(block);
        EXPECT_EQ(std::vector<std::int32_t>(Data.Index_Array + 1, Data.Index_Array + 1 + block.size() + 1),
                  Reference_Suffix_Order(block));
        EXPECT_EQ(got.Output.front(), block.back());
        // Suffix N-1 (one zero) directly follows the end-of-block row.
        EXPECT_EQ(Data.Index_Array[2], std::int32_t(block.size()) - 1);
    }
    Encode(blocks[0]);
    EXPECT_EQ(std::vector<std::int32_t>(Data.Index_Array + 1, Data.Index_Array + 7),
              (std::vector<std::int32_t>{5, 4, 3, 2, 0, 1}));
}

TEST_F(T_BWT_Test, Empty_Source_Is_Swapped_Through) {
    T_Buffer* const source = Data.Source;
    T_Buffer* const target = Data.Target;
    target->Len = 77;
    source->Len = 0;
    Fill(*Data.Header, {1, 2, 3, 4, 5});
    BWT.Encode(Data);
    EXPECT_EQ(Data.Source, target);
    EXPECT_EQ(Data.Target, source);
    EXPECT_EQ(Data.Source->Len, 77);
    EXPECT_EQ(Header_Bytes(), (T_Bytes{1, 2, 3, 4, 5}));

    // Decode leaves the header bytes for the stage before it.
    Data.Target->Len = 0;
    Controller.Swap_Buffers(Data);
    BWT.Decode(Data);
    EXPECT_EQ(Data.Source, target);
    EXPECT_EQ(Data.Target, source);
    EXPECT_EQ(Header_Bytes(), (T_Bytes{1, 2, 3, 4, 5}));
}

// -------------------------------------------- against the reference sort

TEST_F(T_BWT_Test, Matches_Reference_On_Random_Alphabets) {
    std::uint32_t seed = 1;
    for (int alphabet : {1, 2, 4, 256}) {
        for (std::size_t length : {1u, 2u, 11u, 12u, 13u, 14u, 255u, 256u, 257u, 258u, 1000u, 4099u}) {
            const T_Bytes block = Random_Block(length, alphabet, seed++);
            SCOPED_TRACE("alphabet " + std::to_string(alphabet) + " length " + std::to_string(length));
            Expect_Transform(block, Reference_Suffix_Order(block));
        }
    }
}

TEST_F(T_BWT_Test, Matches_Reference_On_Structured_Blocks) {
    std::vector<T_Bytes> blocks;
    blocks.push_back(Repeated_Block(Bytes_Of("ab"), 3001));
    blocks.push_back(Repeated_Block(Bytes_Of("abc"), 2000));
    blocks.push_back(Repeated_Block(Bytes_Of("aab"), 1000));
    blocks.push_back(Repeated_Block(Bytes_Of("ba"), 257));
    blocks.push_back(Repeated_Block(Random_Block(37, 256, 7), 4000));
    blocks.push_back(Repeated_Block(Random_Block(300, 3, 8), 3000));
    // Long runs separated by single bytes, and runs of every length 1..40.
    T_Bytes runs;
    for (int k = 1; k <= 40; ++k) runs.insert(runs.end(), std::size_t(k), std::uint8_t(k % 3 == 0 ? 7 : 200));
    blocks.push_back(runs);
    T_Bytes long_runs(3000, 'x');
    long_runs[1000] = 'y';
    long_runs[2000] = 'a';
    blocks.push_back(long_runs);
    // Blocks that end in zeros, and zeros everywhere but one byte.
    T_Bytes tail = Random_Block(500, 4, 9);
    tail.insert(tail.end(), 300, 0);
    blocks.push_back(tail);
    T_Bytes lone(2000, 0);
    lone[1234] = 9;
    blocks.push_back(lone);
    blocks.push_back(T_Bytes(13, 255));
    blocks.push_back(T_Bytes(257, 128));
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        SCOPED_TRACE("block " + std::to_string(k));
        Expect_Transform(blocks[k], Reference_Suffix_Order(blocks[k]));
    }
}

// One bucket's rows share prefixes of every length 0..41 after the bucket's
// two bytes, in groups of 12, 13, 256, 257 and 600 rows, so that the sort's
// byte splits, pivot splits, key reloads and small-range sorts each have to
// decide at every key byte, across the boundaries between cached keys, and on
// rows whose cached keys are equal.
TEST_F(T_BWT_Test, Matches_Reference_When_Rows_Differ_At_Every_Depth) {
    for (std::size_t rows : {12u, 13u, 256u, 257u, 600u}) {
        T_Bytes block;
        std::mt19937 random{std::uint32_t(rows)};
        for (std::size_t shared = 0; shared <= 41; shared += 3) {
            const T_Bytes prefix = Random_Block(shared, 3, std::uint32_t(shared + 1));
            for (std::size_t r = 0; r < rows; ++r) {
                block.push_back('m');
                block.push_back('z');
                block.insert(block.end(), prefix.begin(), prefix.end());
                // Two bytes from four values: many rows stay equal past them.
                block.push_back(std::uint8_t('a' + random() % 4));
                block.push_back(std::uint8_t('a' + random() % 4));
            }
        }
        SCOPED_TRACE("rows " + std::to_string(rows));
        Expect_Transform(block, Reference_Suffix_Order(block));
    }
}

// Copies of one long phrase that differ in a single byte, at every offset of
// the phrase: past the quicksort depth the full comparison decides at every
// place of its 64-byte steps and 8-byte words.
TEST_F(T_BWT_Test, Matches_Reference_When_Long_Copies_Differ_Anywhere) {
    const T_Bytes phrase = Random_Block(150, 256, 41);
    T_Bytes block;
    for (std::size_t at = 0; at < phrase.size(); ++at) {
        for (std::uint8_t change : {std::uint8_t(1), std::uint8_t(0x80)}) {
            T_Bytes copy = phrase;
            copy[at] = std::uint8_t(copy[at] ^ change);
            block.insert(block.end(), copy.begin(), copy.end());
            block.push_back(std::uint8_t(at));
        }
    }
    // The same phrase again at the very end: it and its copy above tie up to
    // the end of the block.
    block.insert(block.end(), phrase.begin(), phrase.end());
    Expect_Transform(block, Reference_Suffix_Order(block));
}

// Some of these also give the mode choice a reason to pick each mode.
TEST_F(T_BWT_Test, Both_Modes_Are_Chosen_And_Agree) {
    bool seen[3] = {};
    const std::size_t size = T_KYL_BWT::Induced_Sort_Below + 5;
    const T_Bytes blocks[] = {Repeated_Block(Bytes_Of("zyxwvutsrqponmlkjihgfedcba "), size),
                              Repeated_Block(Bytes_Of("abcdefghijklmnopqrstuvwxyz "), size)};
    for (const T_Bytes& block : blocks) {
        const T_Transformed automatic = Encode(block);
        seen[int(T_KYL_Test_Seam::Used_Mode(BWT))] = true;
        EXPECT_EQ(Encode(block, T_Mode::Ascending).Output, automatic.Output);
        EXPECT_EQ(Encode(block, T_Mode::Descending).Output, automatic.Output);
        EXPECT_EQ(BWT.Primary_Index, automatic.Primary);
    }
    EXPECT_TRUE(seen[int(T_Mode::Ascending)]);
    EXPECT_TRUE(seen[int(T_Mode::Descending)]);
}

// Phrases repeated through random text leave ranges equal past the
// quicksort depth that Shell_Sort finishes with short comparisons.
TEST_F(T_BWT_Test, Deep_Ranges_Finish_Without_The_Whole_Block_Sort) {
    const T_Bytes phrase = Random_Block(60, 4, 31);
    T_Bytes block;
    std::mt19937 random(32);
    for (int k = 0; k < 40; ++k) {
        const T_Bytes filler = Random_Block(5 + random() % 40, 4, 100 + k);
        block.insert(block.end(), filler.begin(), filler.end());
        block.insert(block.end(), phrase.begin(), phrase.end());
    }
    const std::vector<std::int32_t> order = Reference_Suffix_Order(block);
    for (T_Mode mode : {T_Mode::Ascending, T_Mode::Descending}) {
        std::int32_t primary = -1;
        const T_Transformed got = Encode(block, mode);
        EXPECT_FALSE(T_KYL_Test_Seam::Used_Whole_Block_Sort(BWT));
        EXPECT_EQ(got.Output, Transform_Of(block, order, primary));
        EXPECT_EQ(got.Primary, primary);
    }
}

// Blocks whose suffixes agree far past the quicksort depth: the bucket sort
// hands them to the whole-block sort, which must give the same order.
TEST_F(T_BWT_Test, Large_Periodic_Blocks_Sort_Correctly) {
    std::vector<T_Bytes> blocks;
    blocks.push_back(Repeated_Block(Bytes_Of("ab"), 400000));
    blocks.push_back(Repeated_Block(Random_Block(1000, 256, 11), 600000));
    blocks.push_back(Repeated_Block(Random_Block(20000, 256, 12), 300000));
    T_Bytes sparse(500000, 0);
    for (std::size_t i = 0; i < sparse.size(); i += 4096) sparse[i] = std::uint8_t(1 + i % 250);
    blocks.push_back(sparse);
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        SCOPED_TRACE("block " + std::to_string(k));
        const T_Bytes& block = blocks[k];
        const T_Transformed automatic = Encode(block);
        EXPECT_TRUE(Is_Suffix_Order(block, Data.Index_Array + 1));
        if (k < 3) {
            EXPECT_TRUE(T_KYL_Test_Seam::Used_Whole_Block_Sort(BWT)) << "deep ranges left to Shell_Sort";
        }
        for (T_Mode mode : {T_Mode::Ascending, T_Mode::Descending}) {
            const T_Transformed forced = Encode(block, mode);
            EXPECT_EQ(forced.Output, automatic.Output);
            EXPECT_EQ(forced.Primary, automatic.Primary);
        }
        EXPECT_EQ(Decode(automatic.Output, automatic.Header), block);
    }
}

TEST_F(T_BWT_Test, Whole_Block_Sort_Agrees_On_Text_Like_Data) {
    std::string text;
    std::mt19937 random(5);
    const char* words[] = {"the ", "of ", "block ", "sorting ", "and ", "a ", "compressor ", "run ", "\n"};
    while (text.size() < 200000) text += words[random() % std::size(words)];
    const T_Bytes block = Bytes_Of(text);
    const T_Transformed bucket = Encode(block, T_Mode::Descending);
    ASSERT_FALSE(T_KYL_Test_Seam::Used_Whole_Block_Sort(BWT));
    ASSERT_TRUE(Is_Suffix_Order(block, Data.Index_Array + 1));
    const T_Transformed whole = Encode(block, T_Mode::Automatic, true);
    EXPECT_EQ(whole.Output, bucket.Output);
    EXPECT_EQ(whole.Primary, bucket.Primary);
}

// The route: blocks whose sorted buckets are small and whose suffixes part
// within a few bytes go to the bucket sort; large buckets or long repeats
// send a block to the induced sort before any comparison.
TEST_F(T_BWT_Test, Route_Follows_Bucket_Sizes_And_Repeats) {
    const T_Bytes random = Random_Block(300000, 256, 41);
    const T_Bytes blocks[] = {random, Repeated_Block(T_Bytes(random.begin(), random.begin() + 5000), 300000),
                              Random_Block(300000, 8, 42)};
    const bool bucket_sort_expected[] = {true, false, false};
    for (std::size_t k = 0; k < std::size(blocks); ++k) {
        const T_Transformed automatic = Encode(blocks[k]);
        EXPECT_EQ(T_KYL_Test_Seam::Used_Whole_Block_Sort(BWT), !bucket_sort_expected[k]) << k;
        EXPECT_TRUE(Is_Suffix_Order(blocks[k], Data.Index_Array + 1)) << k;
        const T_Transformed forced = Encode(blocks[k], T_Mode::Descending);
        EXPECT_EQ(forced.Output, automatic.Output) << k;
        EXPECT_EQ(forced.Primary, automatic.Primary) << k;
    }
}

TEST_F(T_BWT_Test, Full_Size_Block_Round_Trips) {
    T_Bytes block = Random_Block(Block_Size, 16, 21);
    std::fill(block.end() - 100000, block.end(), 0);
    const T_Transformed got = Encode(block);
    ASSERT_EQ(got.Output.size(), std::size_t(Block_Size) + 1);
    EXPECT_TRUE(Is_Suffix_Order(block, Data.Index_Array + 1));
    EXPECT_EQ(Decode(got.Output, got.Header), block);
}

// ------------------------------------------------------------------ decode

TEST_F(T_BWT_Test, Decodes_Golden_Blocks) {
    EXPECT_EQ(Decode({'a', 'n', 'n', 'b', 0, 'a', 'a'}, {4, 0, 0}), Bytes_Of("banana"));
    // The primary row's byte stands for the end mark, whatever it holds.
    EXPECT_EQ(Decode({'a', 'n', 'n', 'b', 'q', 'a', 'a'}, {4, 0, 0}), Bytes_Of("banana"));
    EXPECT_EQ(Decode({'b', 0}, {1, 0, 0}), T_Bytes{'b'});
    EXPECT_EQ(Decode({0, 0}, {1, 0, 0}), T_Bytes{0});
    EXPECT_EQ(Decode(T_Bytes(1001, 0), {0xE8, 3, 0}), T_Bytes(1000, 0));
}

TEST_F(T_BWT_Test, Decode_Takes_Only_Its_Three_Header_Bytes) {
    Fill(*Data.Header, {9, 8, 7, 4, 0, 0});
    Set_Source({'a', 'n', 'n', 'b', 0, 'a', 'a'});
    BWT.Decode(Data);
    EXPECT_EQ(Header_Bytes(), (T_Bytes{9, 8, 7}));
    EXPECT_EQ(Data.Target->Len, 6);
}

TEST_F(T_BWT_Test, Decode_Rejects_Primary_Index_Outside_The_Block) {
    const T_Bytes transformed = {'a', 'n', 'n', 'b', 0, 'a', 'a'};
    for (std::int32_t primary : {0, 7, 8, 0xFFFFFF}) {
        Paint(*Data.Target, 0x5A);
        EXPECT_THROW(Decode(transformed, Index_Bytes(primary)), T_KYL_Damaged_Block) << primary;
        EXPECT_TRUE(Painted_From(*Data.Target, 0, 0x5A));
    }
    EXPECT_THROW(Decode(T_Bytes{'x'}, Index_Bytes(1)), T_KYL_Damaged_Block);
}

TEST_F(T_BWT_Test, Decode_Rejects_Overlong_Blocks) {
    Data.Source->Len = Max_Transformed_Length + 1;
    Fill(*Data.Header, Index_Bytes(5));
    EXPECT_THROW(BWT.Decode(Data), T_KYL_Damaged_Block);
}

// Damaged bytes with an in-range index give a wrong block, never a write past
// Target's N bytes (the walk may loop through the primary row).
TEST_F(T_BWT_Test, Decode_Of_Damaged_Bytes_Stays_In_Its_Buffers) {
    for (std::uint32_t seed = 1; seed <= 30; ++seed) {
        const T_Bytes transformed = Random_Block(2 + seed * 37, seed % 2 ? 3 : 256, seed);
        const std::int32_t primary = 1 + std::int32_t(seed * 7919 % (transformed.size() - 1));
        Paint(*Data.Target, 0xC3);
        const T_Bytes restored = Decode(transformed, Index_Bytes(primary));
        EXPECT_EQ(restored.size(), transformed.size() - 1);
        EXPECT_TRUE(Painted_From(*Data.Target, Data.Target->Len, 0xC3));
    }
}

// The interleaved walk, with plain loads, with gathers where the processor
// has them, and in parts on two threads (its entries counted and filled in
// parts too), against the one-chain walk it replaces: the same block for
// every valid transform, and for damaged ones either the same bytes or a
// damaged-block report, never a write past Target's N bytes.
TEST_F(T_BWT_Test, Interleaved_Walk_Matches_The_Single_Walk) {
    T_Lent_Threads second_thread(1);
    for (const auto& [plain_reads, helpers] : {std::pair<bool, T_KYL_Helpers*>{false, nullptr}, {true, nullptr},
                                               {false, &second_thread}}) {
        T_KYL_Test_Seam::Plain_Walk_Reads(BWT) = plain_reads;
        BWT.Helpers = helpers;
        const std::int32_t size = T_KYL_BWT_Walk::Interleave_From * 3 + 17;
        std::vector<T_Bytes> blocks = {Random_Block(std::size_t(size), 256, 1), Random_Block(std::size_t(size), 2, 2),
                                       Repeated_Block(Bytes_Of("abcab"), std::size_t(size)), T_Bytes(std::size_t(size), 0),
                                       Random_Block(std::size_t(T_KYL_BWT_Walk::Interleave_From) - 1, 4, 3)};
        std::mt19937 random(4);
        for (const T_Bytes& block : blocks) {
            const T_Transformed good = Encode(block);
            T_KYL_Test_Seam::Use_Single_Walk(BWT) = true;
            ASSERT_EQ(Decode(good.Output, good.Header), block);
            T_KYL_Test_Seam::Use_Single_Walk(BWT) = false;
            ASSERT_EQ(Decode(good.Output, good.Header), block);
            for (int trial = 0; trial < 6; ++trial) {
                T_Bytes damaged = good.Output;
                T_Bytes header = good.Header;
                if (trial % 2) header = Index_Bytes(1 + std::int32_t(random() % (damaged.size() - 1)));
                else damaged[random() % damaged.size()] ^= std::uint8_t(1 + random() % 255);
                T_KYL_Test_Seam::Use_Single_Walk(BWT) = true;
                const T_Bytes single = Decode(damaged, header);
                T_KYL_Test_Seam::Use_Single_Walk(BWT) = false;
                Paint(*Data.Target, 0xC3);
                try {
                    EXPECT_EQ(Decode(damaged, header), single);
                } catch (const T_KYL_Damaged_Block&) {
                    EXPECT_TRUE(Painted_From(*Data.Target, std::int32_t(block.size()), 0xC3));
                }
            }
        }
    }
    BWT.Helpers = nullptr;
}

// Long blocks sorted whole, by the induced sort in parts, with no thread,
// one and three threads lent, and one lent thread that is free only now and
// then (levels and passes with parts and without mixed): the same transform,
// and a suffix order; and
// by the route the pair counts (counted in parts) choose.  The blocks give
// the levels below the first long strings of names too (text, four symbols;
// prose of many words, whose names take parts too), few names (periodic,
// long copies), long runs, and bytes at and next to 0xFF, the value that
// pads the substrings' keys.
TEST_F(T_BWT_Test, Sort_In_Parts_Gives_The_Same_Transform_On_Threads) {
    std::string text;
    std::mt19937 random(7);
    const char* words[] = {"the ", "of ", "block ", "sorting ", "and ", "a ", "compressor ", "run ", "\n"};
    while (text.size() < 1200000) text += words[random() % std::size(words)];
    // Words from a vocabulary of thousands: many names below the block, in
    // substrings of many names, and a string of names long enough for parts.
    std::vector<T_Bytes> vocabulary;
    for (std::uint32_t k = 0; k < 3000; ++k) vocabulary.push_back(Random_Block(2 + random() % 9, 26, 100 + k));
    T_Bytes prose;
    while (prose.size() < 3500000) {
        const T_Bytes& word = vocabulary[random() % (random() % 2 ? 50 : vocabulary.size())];
        prose.insert(prose.end(), word.begin(), word.end());
        prose.push_back(' ');
    }
    T_Bytes near_top = Random_Block(700000, 3, 8);
    for (std::uint8_t& b : near_top) b = std::uint8_t(0xFF - b);
    T_Bytes runs;
    while (runs.size() < 600000) runs.insert(runs.end(), 1 + random() % 3000, std::uint8_t(random() % 2 ? 0xFF : 'x'));
    const std::vector<T_Bytes> blocks = {Bytes_Of(text),
                                         prose,
                                         Random_Block(1000000, 4, 9),
                                         Repeated_Block(Bytes_Of("abcab"), 700000),
                                         Repeated_Block(Random_Block(20000, 256, 10), 900000),
                                         near_top,
                                         runs};
    T_Lent_Threads one(1), three(3), now_and_then(1, true);
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        SCOPED_TRACE("block " + std::to_string(k));
        const T_Transformed alone = Encode(blocks[k], T_Mode::Automatic, true);
        ASSERT_TRUE(Is_Suffix_Order(blocks[k], Data.Index_Array + 1));
        Encode(blocks[k]);
        const bool routed_to_bucket_sort = !T_KYL_Test_Seam::Used_Whole_Block_Sort(BWT);
        for (T_KYL_Helpers* helpers : {static_cast<T_KYL_Helpers*>(&one), static_cast<T_KYL_Helpers*>(&three),
                                       static_cast<T_KYL_Helpers*>(&now_and_then)}) {
            BWT.Helpers = helpers;
            const T_Transformed in_parts = Encode(blocks[k], T_Mode::Automatic, true);
            const T_Transformed routed = Encode(blocks[k]);
            const bool routed_alike = routed_to_bucket_sort == !T_KYL_Test_Seam::Used_Whole_Block_Sort(BWT);
            BWT.Helpers = nullptr;
            EXPECT_EQ(in_parts.Output, alone.Output);
            EXPECT_EQ(in_parts.Primary, alone.Primary);
            EXPECT_EQ(routed.Output, alone.Output);
            EXPECT_TRUE(routed_alike);
        }
    }
}

}  // namespace
