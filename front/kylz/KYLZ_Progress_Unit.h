// SPDX-License-Identifier: MIT
// The progress line of kylz on standard error: bytes done, percent when the
// size is known, speed and time left, redrawn at most ten times a second,
// kept within the terminal's width and cleared at the end.
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
    // Erases the line on the terminal, if one is drawn, so that a message
    // can start on a clean row; the next redraw brings it back.
    static void Erase();

    // The line for `done` of `size` bytes after `seconds`, shorter than
    // `columns` (0: no limit): the time left goes first, then the speed,
    // then the name loses its middle, and only then is the line cut.  The
    // last column stays free: writing there makes some terminals wrap.
    static std::string Line(const std::string& name, std::uint64_t done, std::int64_t size, double seconds,
                            std::size_t columns = 0);

private:
    void Draw(std::int64_t now);
    void Clear();

    std::string Name;
    std::int64_t Size;
    bool Shown;
    bool Drawn = false;
    std::uint64_t Done = 0;
    std::int64_t Start_Ms;
    std::int64_t Last_Draw_Ms;
    std::size_t Width = 0;    // columns of the widest line drawn since the last clear
    std::size_t Columns = 0;  // the terminal's width; 0 when unknown
};
