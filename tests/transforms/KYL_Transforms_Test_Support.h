// SPDX-License-Identifier: MIT
// Shared helpers of the transform tests: a harness whose block record the
// stages work on, block generators, and two independent checks of a suffix
// order.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "KYL_Block_Harness.h"

using T_Bytes = std::vector<std::uint8_t>;

class T_Block_Test : public ::testing::Test {
protected:
    T_KYL_Block_Harness Controller;
    T_Block_Data& Data = Controller.Block_Data;

    void SetUp() override {
        Data.Header->Len = 0;
        Data.Tables->Run_Count = 0;
    }

    static void Fill(T_Buffer& buffer, const T_Bytes& bytes) {
        if (!bytes.empty()) std::memcpy(buffer.Data, bytes.data(), bytes.size());
        buffer.Len = std::int32_t(bytes.size());
    }
    static T_Bytes Contents(const T_Buffer& buffer) {
        return T_Bytes(buffer.Data, buffer.Data + std::max(buffer.Len, 0));
    }
    void Set_Source(const T_Bytes& bytes) { Fill(*Data.Source, bytes); }
    T_Bytes Target_Bytes() const { return Contents(*Data.Target); }
    T_Bytes Header_Bytes() const { return Contents(*Data.Header); }

    // Fills a whole block buffer (from Data on) with a canary value.
    static void Paint(T_Buffer& buffer, std::uint8_t value) {
        std::memset(buffer.Data, value, std::size_t(Block_Buffer_Capacity));
    }
    // True when Data[from..capacity-1] still holds the canary.
    static bool Painted_From(const T_Buffer& buffer, std::int32_t from, std::uint8_t value) {
        return std::all_of(buffer.Data + from, buffer.Data + Block_Buffer_Capacity,
                           [value](std::uint8_t b) { return b == value; });
    }
};

// Lends `threads` more threads: each, and the calling one, takes the next
// part that none has begun, as the pipeline's idle workers do.  With
// `coming_and_going`, they wait for work at every other question only, as
// workers busy with blocks of their own do now and then.
class T_Lent_Threads final : public T_KYL_Helpers {
public:
    explicit T_Lent_Threads(int threads, bool coming_and_going = false)
        : Threads(threads), Coming_And_Going(coming_and_going) {}
    bool Thread_Waiting() const override { return !Coming_And_Going || ++Questions % 2 == 0; }
    void Run_Parts(int count, const std::function<void(int)>& part) override {
        std::atomic<int> next = 0;
        auto take_parts = [&] {
            for (int k = next++; k < count; k = next++) part(k);
        };
        std::vector<std::thread> others;
        for (int t = 0; t < Threads; ++t) others.emplace_back(take_parts);
        take_parts();
        for (std::thread& other : others) other.join();
    }

private:
    int Threads;
    bool Coming_And_Going;
    mutable int Questions = 0;
};

// ---------------------------------------------------------------- blocks

inline T_Bytes Random_Block(std::size_t length, int alphabet, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> symbol(0, alphabet - 1);
    T_Bytes block(length);
    for (auto& b : block) b = std::uint8_t(symbol(random));
    return block;
}

inline T_Bytes Repeated_Block(const T_Bytes& unit, std::size_t length) {
    T_Bytes block(length);
    for (std::size_t i = 0; i < length; ++i) block[i] = unit[i % unit.size()];
    return block;
}

inline T_Bytes Bytes_Of(const std::string& text) { return T_Bytes(text.begin(), text.end()); }

// ------------------------------------------------------- reference orders

// The order, literally: S[i..] padded with endless zeros, and between equal
// padded strings the one that starts later first.
inline bool Reference_Less(const T_Bytes& s, std::int32_t i, std::int32_t j) {
    const std::int32_t n = std::int32_t(s.size());
    for (std::int32_t k = 0; i + k < n || j + k < n; ++k) {
        const std::uint8_t a = i + k < n ? s[i + k] : 0, b = j + k < n ? s[j + k] : 0;
        if (a != b) return a < b;
    }
    return i > j;
}

// Suffix order of s with its end-of-block suffix by a plain comparison sort.
inline std::vector<std::int32_t> Reference_Suffix_Order(const T_Bytes& s) {
    std::vector<std::int32_t> order(s.size() + 1);
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = std::int32_t(i);
    std::sort(order.begin(), order.end(),
              [&s](std::int32_t i, std::int32_t j) { return i != j && Reference_Less(s, i, j); });
    return order;
}

// Checks in linear time that `order` is the suffix order of s (end mark
// lowest): it must be a permutation of 0..N, and every two neighbouring rows
// must be ordered by their first symbol and then by the rows of the suffixes
// one position on.  That local condition forces the whole order.
inline ::testing::AssertionResult Is_Suffix_Order(const T_Bytes& s, const std::int32_t* order) {
    const std::int32_t rows = std::int32_t(s.size()) + 1;
    std::vector<std::int32_t> row_of(std::size_t(rows), -1);
    for (std::int32_t r = 0; r < rows; ++r) {
        const std::int32_t p = order[r];
        if (p < 0 || p >= rows || row_of[std::size_t(p)] >= 0)
            return ::testing::AssertionFailure() << "not a permutation at row " << r;
        row_of[std::size_t(p)] = r;
    }
    const std::int32_t end = rows - 1;
    auto symbol = [&](std::int32_t p) { return p == end ? -1 : std::int32_t(s[std::size_t(p)]); };
    for (std::int32_t r = 0; r + 1 < rows; ++r) {
        const std::int32_t a = order[r], b = order[r + 1];
        if (symbol(a) < symbol(b)) continue;
        if (symbol(a) > symbol(b) || row_of[std::size_t(a + 1)] > row_of[std::size_t(b + 1)])
            return ::testing::AssertionFailure() << "rows " << r << " and " << r + 1 << " out of order";
    }
    return ::testing::AssertionSuccess();
}

// The transform from a suffix order: the byte before each suffix, 0 for
// suffix 0, whose row is the primary index.
inline T_Bytes Transform_Of(const T_Bytes& s, const std::vector<std::int32_t>& order, std::int32_t& primary) {
    T_Bytes out(order.size());
    for (std::size_t r = 0; r < order.size(); ++r) {
        if (order[r] == 0) {
            primary = std::int32_t(r);
            out[r] = 0;
        } else {
            out[r] = s[std::size_t(order[r] - 1)];
        }
    }
    return out;
}
