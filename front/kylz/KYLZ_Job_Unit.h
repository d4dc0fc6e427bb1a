// One input of kylz from start to end: its output chosen and guarded, its
// bytes pumped through a libkyl stream, its report and progress.
#pragma once

#include <cstdint>
#include <string>

#include "front/kylz/KYLZ_Options_Unit.h"
#include "platform/KYL_Platform.h"

inline constexpr int KYLZ_Exit_Success = 0;
inline constexpr int KYLZ_Exit_Error = 1;    // an error on some file
inline constexpr int KYLZ_Exit_Damaged = 2;  // damaged compressed input

// What list mode reports of one file, and adds up over all.
struct T_KYLZ_Listing {
    std::uint64_t Blocks = 0;
    std::uint64_t Compressed = 0;
    std::uint64_t Original = 0;
};

class T_KYLZ_Jobs {
public:
    explicit T_KYLZ_Jobs(const T_KYLZ_Options& options) : Options(options) {}

    // Processes one command-line argument ("-" is standard input), walking
    // into folders with -r.  Problems are reported on standard error.
    void Process(const std::string& argument);
    // Prints the total line of list mode (when more than one file was
    // listed); returns the exit status of everything processed.
    int Finish();

private:
    // `kind`: what stands at `name`, as the caller found it.
    void Process_File(const std::string& name, T_KYL_Entry_Kind kind, bool named_on_command_line);
    void Process_Folder(const std::string& folder);
    void Process_Standard_Input();
    // True, with the message out, when compressed data would go to a terminal.
    bool Refuse_Terminal_Output();
    // Runs one input through the stream; the output goes to `output_name`
    // (empty: standard output, or nowhere when testing or listing).
    void Run(const std::string& input_name, const std::string& output_name, bool from_standard_input);
    void Print_Listing(const T_KYLZ_Listing& listing, const std::string& name) const;
    void Warn(const std::string& message) const;
    void Fail(const std::string& message, int status);

    const T_KYLZ_Options& Options;
    int Status = KYLZ_Exit_Success;
    T_KYLZ_Listing Total;
    int Files_Listed = 0;
};
