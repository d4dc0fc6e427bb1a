// SPDX-License-Identifier: MIT
// The program body: banner, parameters, help, the compression and expansion
// passes, and the summary.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/KYL_Exit_Status.h"

// Runs the program with the command-line parameters 1, 2, ... and returns the
// exit status.  Everything the run prints goes to `console`.
int KYL_Run(const std::vector<std::string>& arguments, std::ostream& console);
