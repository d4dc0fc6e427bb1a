#include "front/kylz/KYLZ_Progress_Unit.h"

#include <cstdio>
#include <iostream>

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

}  // namespace

T_KYLZ_Progress::T_KYLZ_Progress(const std::string& name, std::int64_t size, bool shown)
    : Name(name), Size(size), Shown(shown), Start_Ms(KYL_Clock_Ms()), Last_Draw_Ms(Start_Ms) {}

T_KYLZ_Progress::~T_KYLZ_Progress() { Clear(); }

std::string T_KYLZ_Progress::Line(const std::string& name, std::uint64_t done, std::int64_t size, double seconds) {
    const double speed = seconds > 0 ? double(done) / seconds : 0;
    std::string line = name + ": " + Bytes_Text(double(done));
    if (size > 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3.0f%%", 100.0 * double(done) / double(size));
        line += percent;
    }
    line += "  " + Bytes_Text(speed) + "/s";
    if (size > 0 && speed > 0 && std::uint64_t(size) > done)
        line += "  " + Duration_Text(double(std::uint64_t(size) - done) / speed) + " left";
    return line;
}

void T_KYLZ_Progress::Advance(std::uint64_t count) {
    Done += count;
    if (!Shown) return;
    const std::int64_t now = KYL_Clock_Ms();
    if (now - Start_Ms < First_Draw_Ms || now - Last_Draw_Ms < Redraw_Ms) return;
    Last_Draw_Ms = now;
    std::string line = "kylz: " + Line(Name, Done, Size, double(now - Start_Ms) / 1000.0);
    // Pad over what a longer earlier line left behind.
    const std::size_t width = line.size();
    if (width < Width) line.append(Width - width, ' ');
    Width = std::max(Width, width);
    std::cerr << '\r' << line << std::flush;
    Drawn = true;
}

void T_KYLZ_Progress::Clear() {
    if (!Drawn) return;
    std::cerr << '\r' << std::string(Width, ' ') << '\r' << std::flush;
    Drawn = false;
}
