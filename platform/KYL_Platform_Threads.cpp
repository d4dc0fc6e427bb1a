// SPDX-License-Identifier: MIT
// Threads and cores: starting a thread, the cores a run may use.
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

// ------------------------------------------------------------------- threads

std::thread KYL_Start_Thread(std::function<void()> body) {
    // A new thread inherits its creator's signal mask: every signal a thread
    // may take from another is held back while it is created, then released
    // again in the creator alone.  Faults (SIGSEGV and the like) stay with the
    // thread that causes them.
    sigset_t held;
    sigfillset(&held);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&held, fault);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &held, &before);
    try {
        std::thread thread(std::move(body));
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return thread;
    } catch (const std::system_error& error) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw T_KYL_Platform_Error(std::string("cannot start a thread: ") + error.what());
    }
}

unsigned KYL_Usable_Cores() {
    // The set is sized for 1024 cores and grown while the system finds it
    // too small for its own.
    for (int cores = 1024; cores <= (1 << 16); cores *= 2) {
        const std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cores), [](cpu_set_t* s) { CPU_FREE(s); });
        if (!set) break;
        const std::size_t size = CPU_ALLOC_SIZE(cores);
        if (::sched_getaffinity(0, size, set.get()) == 0) return unsigned(std::max(CPU_COUNT_S(size, set.get()), 1));
        if (errno != EINVAL) break;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}
