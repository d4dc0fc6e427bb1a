// SPDX-License-Identifier: MIT
// kylz: the kyl format with the conventions of the Unix compressors: pipes,
// several files, -d/-t/-l/-k/-f, all cores and a progress line.
#include <clocale>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "front/kylz/KYLZ_Job_Unit.h"
#include "front/kylz/KYLZ_Options_Unit.h"
#include "kyl.h"
#include "platform/KYL_Platform.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    // A reader that goes away shows as a failed write, after which kylz
    // cleans up and ends by SIGPIPE itself; outputs in work are removed on
    // the usual interrupting signals.
    std::signal(SIGPIPE, SIG_IGN);
    KYL_Remove_Outputs_On_Signals();

    const std::string program = argc > 0 ? argv[0] : "kylz";
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    std::string error;
    const std::optional<T_KYLZ_Options> options = Parse_KYLZ_Options(program, arguments, error);
    if (!options) {
        std::cerr << "kylz: " << error << "\nTry 'kylz --help' for more information.\n";
        return KYL_Exit_Failure;
    }
    if (options->Show_Help) return KYLZ_Print(KYLZ_Help_Text);
    if (options->Show_Version) return KYLZ_Print(std::string("kylz ") + kyl_version_string() + '\n');
    if (options->Verbosity > 1) {
        // The library starts no more threads than its memory budget holds.
        const unsigned asked = options->Threads != 0 ? options->Threads : KYL_Usable_Cores();
        if (const unsigned granted = kyl_thread_limit(options->Threads); granted < asked)
            std::cerr << "kylz: " << granted << " of the " << asked
                      << " threads asked fit in memory (about 60 MB each) -- using " << granted << '\n';
    }
    T_KYLZ_Jobs jobs(*options);
    if (options->Files.empty()) jobs.Process("-");
    for (const std::string& file : options->Files) jobs.Process(file);
    return jobs.Finish();
}
