// SPDX-License-Identifier: MIT
// The console and the terminal, standard output and the clock.
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

bool KYL_Is_Terminal(int descriptor) { return ::isatty(descriptor) == 1; }

std::size_t KYL_Terminal_Columns(int descriptor) {
    struct winsize size {};
    if (::ioctl(descriptor, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void KYL_Write_Standard_Output(const std::uint8_t* data, std::size_t count, const std::string& name) {
    while (count > 0) {
        const ssize_t put = ::write(STDOUT_FILENO, data, count);
        if (put < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) throw T_KYL_Broken_Pipe("cannot write \"" + name + "\": " + std::strerror(errno));
            Fail("write", name, errno);
        }
        data += put;
        count -= std::size_t(put);
    }
}

// ------------------------------------------------------------------- console

void T_KYL_Console::Write(const std::string& text) { Stream << text; }
void T_KYL_Console::Line(const std::string& text) { Stream << text << "\r\n"; }
void T_KYL_Console::Flush() { Stream.flush(); }

// --------------------------------------------------------------------- clock

std::int64_t KYL_Clock_Ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
