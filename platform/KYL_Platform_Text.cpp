// SPDX-License-Identifier: MIT
// Locale and text: the characters of the locale's encoding, folded to lower case.
#include "platform/KYL_Platform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iostream>
#include <new>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KYL_Platform_Detail.h"

using namespace kyl_platform_detail;

namespace kyl_platform_detail {

// A character of the locale's encoding, or a byte that forms none, kept
// apart from every character so that it matches only itself.
constexpr std::uint32_t Stray_Byte = 0x80000000u;

// Walks `text` one character of the locale's encoding at a time, calling
// visit(character, first, length) with the character folded to lower case,
// or with -1 for a byte that forms none (which then stands alone).
template <class T_Visit>
void Walk_Lower_Characters(const std::string& text, T_Visit&& visit) {
    std::mbstate_t state{};
    for (std::size_t at = 0; at < text.size();) {
        wchar_t character = 0;
        std::size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
        if (length == std::size_t(-1) || length == std::size_t(-2)) {
            visit(std::wint_t(-1), at, std::size_t(1));
            state = std::mbstate_t{};
            ++at;
            continue;
        }
        if (length == 0) length = 1;  // a NUL byte
        visit(std::towlower(std::wint_t(character)), at, length);
        at += length;
    }
}

std::vector<std::uint32_t> Characters_Of(const std::string& text) {
    std::vector<std::uint32_t> characters;
    Walk_Lower_Characters(text, [&](std::wint_t lower, std::size_t at, std::size_t) {
        characters.push_back(lower == std::wint_t(-1) ? Stray_Byte | static_cast<unsigned char>(text[at])
                                                      : std::uint32_t(lower));
    });
    return characters;
}

}  // namespace kyl_platform_detail

// -------------------------------------------------------------------- text

std::string KYL_Lower_Case(const std::string& text) {
    std::string lower;
    lower.reserve(text.size());
    Walk_Lower_Characters(text, [&](std::wint_t character, std::size_t at, std::size_t length) {
        char encoded[MB_LEN_MAX];
        std::mbstate_t state{};
        const std::size_t written =
            character == std::wint_t(-1) ? std::size_t(-1) : std::wcrtomb(encoded, wchar_t(character), &state);
        if (written == std::size_t(-1)) lower.append(text, at, length);
        else lower.append(encoded, written);
    });
    return lower;
}

std::size_t KYL_Character_Count(const std::string& text) { return Characters_Of(text).size(); }
