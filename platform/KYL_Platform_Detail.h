// SPDX-License-Identifier: MIT
// What the platform layer's files share among themselves and show no client:
// the failure messages, the fault counters of the tests' seam, file
// identities, the table of unfinished outputs that the signal handlers walk,
// and the characters of the locale's encoding.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>

#include "platform/KYL_Platform.h"

namespace kyl_platform_detail {

[[noreturn]] void Fail(const std::string& action, const std::string& name, const std::string& reason);
[[noreturn]] void Fail(const std::string& action, const std::string& name, int error);

// Counts `count` bytes against an armed fault counter; true when the fault
// fires now.  A fired counter disarms itself.
bool Fault_Fires(std::int64_t& counter, std::size_t count, std::size_t& allowed);

T_KYL_File_Identity Identity_Of(const struct stat& info);

// Enters a temporary file in the table that the cleanup signals' handler
// removes; returns its slot, or -1 when it cannot be entered.
int Arm_Cleanup(const std::string& path);
// Takes the file of `slot` (-1: none) out of the table.
void Disarm_Cleanup(int slot);
// Removes the files in the table.  Safe in a signal handler: no allocation,
// no lock.
void Remove_Unfinished_Outputs();

inline constexpr int Cleanup_Signals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the cleanup signals back while a temporary file is created and
// entered in the table, or renamed and taken out of it, so that no signal
// sees a file that exists but is not (or no longer) in the table.
class T_Signals_Held {
public:
    T_Signals_Held() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal_number : Cleanup_Signals) sigaddset(&held, signal_number);
        pthread_sigmask(SIG_BLOCK, &held, &Before);
    }
    ~T_Signals_Held() { pthread_sigmask(SIG_SETMASK, &Before, nullptr); }
    T_Signals_Held(const T_Signals_Held&) = delete;
    T_Signals_Held& operator=(const T_Signals_Held&) = delete;

private:
    sigset_t Before;
};

// The characters of `text` in the locale's encoding, folded to lower case; a
// byte that forms none stands alone, apart from every character.
std::vector<std::uint32_t> Characters_Of(const std::string& text);

}  // namespace kyl_platform_detail
