// SPDX-License-Identifier: MIT
// The kyl console program.
#include <clocale>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "front/KYL_Batch.h"
#include "platform/KYL_Platform.h"

int main(int argc, char** argv) {
    // Numbers use the separators of the user's locale; without one (or when it
    // cannot be loaded) the C locale stays in force.
    std::setlocale(LC_ALL, "");
    // A reader that goes away early (a pager, head) must not cost the files
    // still in work: the report is then dropped and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
    KYL_Remove_Outputs_On_Signals();
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    return KYL_Run(arguments, std::cout);
}
