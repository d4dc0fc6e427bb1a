// SPDX-License-Identifier: MIT
// The program body: banner, parameters, help, the compression and expansion
// passes, and the summary.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// Exit statuses of a run.
inline constexpr int Exit_Success = 0;
inline constexpr int Exit_Platform_Failure = 1;  // a file or memory failure
inline constexpr int Exit_Damaged_Input = 2;     // a CRC mismatch or a damaged block

// Runs the program with the command-line parameters 1, 2, ... and returns the
// exit status.  Everything the run prints goes to `console`.
int KYL_Run(const std::vector<std::string>& arguments, std::ostream& console);
