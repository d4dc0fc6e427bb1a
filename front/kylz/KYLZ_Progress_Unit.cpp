// SPDX-License-Identifier: MIT
#include "front/kylz/KYLZ_Progress_Unit.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <iostream>
#include <vector>

#include <wchar.h>

#include "platform/KYL_Platform.h"

namespace {

constexpr std::int64_t First_Draw_Ms = 500;
constexpr std::int64_t Redraw_Ms = 100;

std::string Bytes_Text(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string Duration_Text(double seconds) {
    const long whole = long(seconds + 0.5);
    char text[32];
    if (whole >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// One character of a line: where its bytes are and how many columns it
// takes on the terminal.  A byte that forms no character in the locale's
// encoding stands alone and takes one column, as does a control character.
struct T_Character {
    std::size_t At;
    std::size_t Length;
    std::size_t Columns;
};

std::vector<T_Character> Characters_Of(const std::string& text) {
    std::vector<T_Character> characters;
    std::mbstate_t state{};
    for (std::size_t at = 0; at < text.size();) {
        wchar_t character = 0;
        std::size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
        int columns = 1;
        if (length == std::size_t(-1) || length == std::size_t(-2)) {
            state = std::mbstate_t{};
            length = 1;
        } else {
            length = std::max<std::size_t>(length, 1);
            columns = std::max(::wcwidth(character), 1);
        }
        characters.push_back({at, length, std::size_t(columns)});
        at += length;
    }
    return characters;
}

std::size_t Columns_Of(const std::vector<T_Character>& characters) {
    std::size_t columns = 0;
    for (const T_Character& character : characters) columns += character.Columns;
    return columns;
}

// The progress that has a line on the terminal now, for messages to erase.
T_KYLZ_Progress* On_Screen = nullptr;

}  // namespace

T_KYLZ_Progress::T_KYLZ_Progress(const std::string& name, std::int64_t size, bool shown)
    : Name(name), Size(size), Shown(shown), Start_Ms(KYL_Clock_Ms()), Last_Draw_Ms(Start_Ms) {
    if (!Shown) return;
    KYL_Terminal_Resized();  // watches from here on, so no change is missed after the width is read
    Columns = KYL_Terminal_Columns(2);
}

T_KYLZ_Progress::~T_KYLZ_Progress() { Clear(); }

std::string T_KYLZ_Progress::Line(const std::string& name, std::uint64_t done, std::int64_t size, double seconds,
                                  std::size_t columns) {
    const double speed = seconds > 0 ? double(done) / seconds : 0;
    std::vector<std::string> figures = {Bytes_Text(double(done))};
    if (size > 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3.0f%%", 100.0 * double(done) / double(size));
        figures[0] += percent;
    }
    figures.push_back(Bytes_Text(speed) + "/s");
    if (size > 0 && speed > 0 && std::uint64_t(size) > done)
        figures.push_back(Duration_Text(double(std::uint64_t(size) - done) / speed) + " left");
    const auto joined = [&](std::size_t count) {
        std::string text;
        for (std::size_t at = 0; at < count; ++at) text += (at > 0 ? "  " : "") + figures[at];
        return text;
    };
    const std::string prefix = "kylz: ";
    const std::string full = prefix + name + ": " + joined(figures.size());
    const std::vector<T_Character> name_characters = Characters_Of(name);
    const std::size_t name_columns = Columns_Of(name_characters);
    if (columns == 0 || Columns_Of(Characters_Of(full)) < columns) return full;
    const std::size_t room = columns - 1;
    const std::string mark = "...";
    for (std::size_t count = figures.size(); count > 0; --count) {
        const std::string after = ": " + joined(count);
        const std::size_t rest = prefix.size() + Columns_Of(Characters_Of(after));
        if (rest + name_columns <= room) return prefix + name + after;
        if (rest + mark.size() + 2 > room) continue;
        // Both ends of a name tell most: the folder it is in, its suffix.
        const std::size_t keep = room - rest - mark.size();
        std::size_t head = 0, head_columns = 0;
        while (head < name_characters.size() && head_columns + name_characters[head].Columns <= keep - keep / 2)
            head_columns += name_characters[head++].Columns;
        std::size_t tail = name_characters.size(), tail_columns = 0;
        while (tail > head && tail_columns + name_characters[tail - 1].Columns <= keep / 2)
            tail_columns += name_characters[--tail].Columns;
        const auto byte_at = [&](std::size_t index) {
            return index < name_characters.size() ? name_characters[index].At : name.size();
        };
        return prefix + name.substr(0, byte_at(head)) + mark + name.substr(byte_at(tail)) + after;
    }
    // Too narrow for even the bytes done beside a shortened name.
    std::size_t end = 0, used = 0;
    for (const T_Character& character : Characters_Of(full)) {
        if (used + character.Columns > room) break;
        used += character.Columns;
        end = character.At + character.Length;
    }
    return full.substr(0, end);
}

void T_KYLZ_Progress::Advance(std::uint64_t count) {
    Done += count;
    if (!Shown) return;
    const std::int64_t now = KYL_Clock_Ms();
    if (now - Start_Ms < First_Draw_Ms || now - Last_Draw_Ms < Redraw_Ms) return;
    Last_Draw_Ms = now;
    Draw(now);
}

void T_KYLZ_Progress::Draw(std::int64_t now) {
    if (KYL_Terminal_Resized()) Columns = KYL_Terminal_Columns(2);
    std::string line = Line(Name, Done, Size, double(now - Start_Ms) / 1000.0, Columns);
    // Pad over what a longer earlier line left behind, within the width.
    const std::size_t width = Columns_Of(Characters_Of(line));
    if (Columns > 0) Width = std::min(Width, Columns - 1);
    if (width < Width) line.append(Width - width, ' ');
    Width = std::max(Width, width);
    std::cerr << '\r' << line << std::flush;
    Drawn = true;
    On_Screen = this;
}

void T_KYLZ_Progress::Erase() {
    if (On_Screen != nullptr) On_Screen->Clear();
}

void T_KYLZ_Progress::Clear() {
    if (!Drawn) return;
    std::cerr << '\r' << std::string(Width, ' ') << '\r' << std::flush;
    Drawn = false;
    Width = 0;
    if (On_Screen == this) On_Screen = nullptr;
}
