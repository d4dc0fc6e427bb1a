// SPDX-License-Identifier: MIT
// Signals: removing unfinished outputs on the signals that end a run, a terminal's resizing, the end by a closed pipe.
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

// ------------------------------------------------- removal of unfinished outputs

namespace kyl_platform_detail {

// The temporary files of unfinished outputs, in a fixed table that a signal
// handler can walk without allocating or locking.  A slot's path is written
// before the slot is armed and read only while it is armed.
struct T_Cleanup_Slot {
    std::atomic<bool> Taken{false};
    std::atomic<bool> Armed{false};
    char Path[PATH_MAX] = {};
};
constexpr int Cleanup_Slot_Count = 64;
T_Cleanup_Slot Cleanup_Slots[Cleanup_Slot_Count];

int Arm_Cleanup(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int slot = 0; slot < Cleanup_Slot_Count; ++slot) {
        bool free = false;
        if (!Cleanup_Slots[slot].Taken.compare_exchange_strong(free, true)) continue;
        std::memcpy(Cleanup_Slots[slot].Path, path.c_str(), path.size() + 1);
        Cleanup_Slots[slot].Armed.store(true, std::memory_order_release);
        return slot;
    }
    return -1;
}

void Disarm_Cleanup(int slot) {
    if (slot < 0) return;
    Cleanup_Slots[slot].Armed.store(false, std::memory_order_release);
    Cleanup_Slots[slot].Taken.store(false, std::memory_order_release);
}

// Safe in a signal handler: no allocation, no lock.
void Remove_Unfinished_Outputs() {
    for (T_Cleanup_Slot& slot : Cleanup_Slots)
        if (slot.Armed.load(std::memory_order_acquire)) ::unlink(slot.Path);
}

extern "C" void Remove_Outputs_And_End(int signal_number) {
    Remove_Unfinished_Outputs();
    // The handler was installed to run once: the signal raised again now
    // ends the process with the status the signal gives.
    ::raise(signal_number);
}

}  // namespace kyl_platform_detail

void KYL_Remove_Outputs_On_Signals() {
    for (const int signal_number : Cleanup_Signals) {
        // A signal ignored when the program starts was ignored on purpose by
        // whoever started it (nohup, trap '' HUP): it stays ignored, and the
        // run goes on to a whole output.
        struct sigaction current {};
        if (::sigaction(signal_number, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = Remove_Outputs_And_End;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (const int other : Cleanup_Signals) sigaddset(&action.sa_mask, other);
        ::sigaction(signal_number, &action, nullptr);
    }
}

namespace {

volatile std::sig_atomic_t Terminal_Size_Changed = 0;

extern "C" void Note_Terminal_Resize(int) { Terminal_Size_Changed = 1; }

// Installs the handler on the first call.  SA_RESTART: the reads and writes
// in progress go on as if nothing had come.
void Watch_Terminal_Size() {
    struct sigaction before {};
    if (::sigaction(SIGWINCH, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = Note_Terminal_Resize;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, nullptr);
}

}  // namespace

bool KYL_Terminal_Resized() {
    static const bool watched = (Watch_Terminal_Size(), true);
    (void)watched;
    const bool changed = Terminal_Size_Changed != 0;
    Terminal_Size_Changed = 0;
    return changed;
}

void KYL_End_By_Broken_Pipe() {
    Remove_Unfinished_Outputs();
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe_signal, nullptr);
    ::raise(SIGPIPE);
    ::_exit(128 + SIGPIPE);  // not reached: the signal's default action ends the process
}
