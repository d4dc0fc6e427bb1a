// The progress line of kylz on standard error: bytes done, percent when the
// size is known, speed and time left, redrawn at most ten times a second
// and cleared at the end.
#pragma once

#include <cstdint>
#include <string>

class T_KYLZ_Progress {
public:
    // `size` is the input's length, or -1 when unknown (a pipe).  The line
    // is drawn only when `shown` is set, and never in the first half second,
    // so quick jobs stay silent.
    T_KYLZ_Progress(const std::string& name, std::int64_t size, bool shown);
    ~T_KYLZ_Progress();
    T_KYLZ_Progress(const T_KYLZ_Progress&) = delete;
    T_KYLZ_Progress& operator=(const T_KYLZ_Progress&) = delete;

    // Counts `count` more input bytes done.
    void Advance(std::uint64_t count);

    // The line for `done` of `size` bytes after `seconds`.
    static std::string Line(const std::string& name, std::uint64_t done, std::int64_t size, double seconds);

private:
    void Clear();

    std::string Name;
    std::int64_t Size;
    bool Shown;
    bool Drawn = false;
    std::uint64_t Done = 0;
    std::int64_t Start_Ms;
    std::int64_t Last_Draw_Ms;
    std::size_t Width = 0;
};
