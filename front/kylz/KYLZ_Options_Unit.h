// SPDX-License-Identifier: MIT
// The command line of kylz: options in the Unix manner (short ones combine,
// long ones may be cut to a beginning no other shares and take their value
// after '=' or as the next argument, "--" ends them) and the list of files.
// Options and files may mix in any order, whatever POSIXLY_CORRECT says.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class T_KYLZ_Mode { Compress, Expand, Test, List };

struct T_KYLZ_Options {
    T_KYLZ_Mode Mode = T_KYLZ_Mode::Compress;
    bool To_Standard_Output = false;  // -c
    bool Remove_Inputs = false;       // --rm
    bool Force = false;               // -f
    bool Recursive = false;           // -r
    int Verbosity = 1;                // 0 with -q, 2 with -v
    unsigned Threads = 0;             // 0: one per core
    bool Show_Help = false;
    bool Show_Version = false;
    std::vector<std::string> Files;   // "-" (or none) is standard input
};

// Reads the options behind the program name `program` (its last path
// component selects the mode: unkylz expands, kylzcat expands to standard
// output).  Returns nothing, with the reason in `error`, for a command line
// that cannot be understood.
std::optional<T_KYLZ_Options> Parse_KYLZ_Options(const std::string& program, const std::vector<std::string>& arguments,
                                                 std::string& error);

extern const char* const KYLZ_Help_Text;
