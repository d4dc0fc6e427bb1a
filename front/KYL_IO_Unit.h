// SPDX-License-Identifier: MIT
// The command line: parameters, the file list of a pattern, file sizes,
// output names and the console's number formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct T_Parameters {
    bool Help = false;
    bool Help_Asked = false;  // an h among the option letters
    bool Compress = false;
    bool Expand = false;
    bool Verbose = false;
    std::uint8_t Transform = 0;
    unsigned Threads = 1;  // threads of each pass; 0: one per usable core
    std::string Input_Name;
    std::string Output_Extension;
};

class T_KYL_IO {
public:
    // `arguments` are the command-line parameters 1, 2, ... (the program name
    // not included).  Long options (--threads=N, --threads=auto) are read as
    // typed wherever they stand; of the other parameters only the first six
    // are read.
    explicit T_KYL_IO(std::vector<std::string> arguments) : Arguments(std::move(arguments)) {}

    void Get_Parameters(T_Parameters& parameters) const;
    // Appends the regular files that match `pattern`, in name order.
    void Get_File_List(const std::string& pattern, std::vector<std::string>& list) const;
    // The size of the named file in bytes, or -1 when there is none.
    std::int64_t Get_File_Size(const std::string& name) const;

private:
    std::vector<std::string> Arguments;
};

// The output name of input `name`: its extension (searched in the last path
// component only) replaced by `extension`; a name that would stay the same
// gets the extension appended once more.
std::string Output_Name(const std::string& name, const std::string& extension);

// Lower case by the rules of the current locale.
std::string Lower_Case(const std::string& text);

// "%<width>.0n": a whole number with the locale's thousands separator.
std::string Format_Count(double value, int width);
// "%<width>.3f": three decimals with the locale's decimal separator.
std::string Format_Fixed(double value, int width);
