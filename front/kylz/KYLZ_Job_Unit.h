// SPDX-License-Identifier: MIT
// One input of kylz from start to end: its output chosen and guarded, its
// bytes pumped through a libkyl stream, its report and progress.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "front/kylz/KYLZ_Options_Unit.h"
#include "platform/KYL_Exit_Status.h"
#include "platform/KYL_Platform.h"

// What list mode reports of one file, and adds up over all.
struct T_KYLZ_Listing {
    std::uint64_t Blocks = 0;
    std::uint64_t Compressed = 0;
    std::uint64_t Original = 0;
};

// Writes `text` to standard output: status 0, or 1 with a message when the
// write fails; a reader that has gone ends the process as SIGPIPE would.
int KYLZ_Print(const std::string& text);

class T_KYLZ_Jobs {
public:
    explicit T_KYLZ_Jobs(const T_KYLZ_Options& options) : Options(options) {}

    // Processes one command-line argument ("-" is standard input), walking
    // into folders with -r.  Problems are reported on standard error.
    void Process(const std::string& argument);
    // Prints the table of list mode (with a total line when more than one
    // file was listed); returns the exit status of everything processed.
    int Finish();

private:
    friend struct T_KYL_Test_Seam;

    // `kind`: what stands at `name`, as the caller found it.
    void Process_File(const std::string& name, T_KYL_Entry_Kind kind, bool named_on_command_line);
    void Process_Folder(const std::string& folder);
    void Process_Standard_Input();
    // True, with the message out, when compressed data would go to a
    // terminal, or (`reads_standard_input`) come from one.
    bool Refuse_Terminal(bool reads_standard_input);
    // True, with the message out, when `name` must not be read: a link or
    // a file with other names, where it would be replaced or removed.
    bool Refuse_Input(const std::string& name, T_KYL_Entry_Kind kind, bool named_on_command_line);
    // Runs one input through the stream; the output goes to `output_name`
    // (empty: standard output, or nowhere when testing or listing).
    void Run(const std::string& input_name, const std::string& output_name, bool from_standard_input);
    // Removes an input whose output is in place, unless it changed meanwhile.
    void Remove_Input(const T_KYL_Input_File& input);
    // Prints what list mode found, one table for all files.
    void Print_Listing();
    // Messages and reports on standard error, the progress line erased first.
    void Say(const std::string& message) const;
    void Warn(const std::string& message) const;
    void Fail(const std::string& message, int status);

    const T_KYLZ_Options& Options;
    int Status = KYL_Exit_Success;
    std::vector<std::pair<std::string, T_KYLZ_Listing>> Listed;
    // Runs between an output's commit and its input's removal (tests only).
    std::function<void(const std::string& input_name)> Before_Removal;
};
