// SPDX-License-Identifier: MIT
// The fixed texts of the console: banner, help, spinner and closing lines.
#pragma once

#include <array>
#include <string_view>

inline constexpr std::array<std::string_view, 8> Banner_Lines = {
    "____________________________________________________________________",
    "",
    "KYL - Tarnwick",
    "Version                   : 1.2",
    "Maker                     : The KYL developers",
    "Web                       : https://kyl.invalid/",
    "____________________________________________________________________",
    "",
};

inline constexpr std::array<std::string_view, 14> Help_Lines = {
    "Usage: kyl.exe [-hcev] [input filename/wildcard] [output extension]",
    "  -h : print this help message",
    "  -c : compress files",
    "  -e : expand files",
    "  -v : verbose",
    "",
    "If no output extension is given:",
    " \"kyl\" is default for compression",
    " \"exp\" is default for expansion",
    "",
    "Examples:",
    "  kyl.exe -c  autoexec.bat kyl",
    "  kyl.exe -e  autoexec.kyl bat",
    "  kyl.exe -cv *.exe        kyl",
};

// A backspace, then the next character of the turning bar.
inline constexpr std::array<std::string_view, 4> Spinner_Steps = {"\b-", "\b\\", "\b|", "\b/"};

inline constexpr std::array<std::string_view, 3> Closing_Lines = {
    "____________________________________________________________________",
    "",
    "____________________________________________________________________",
};
