// SPDX-License-Identifier: MIT
// Helpers shared by the tests: scratch folders, whole-file reads and writes,
// and runs of the real kyl program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <sys/types.h>
#include <string>
#include <utility>
#include <vector>

namespace kyl_test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class T_Temp_Dir {
public:
    T_Temp_Dir();
    ~T_Temp_Dir();
    T_Temp_Dir(const T_Temp_Dir&) = delete;
    T_Temp_Dir& operator=(const T_Temp_Dir&) = delete;
    const std::filesystem::path& Path() const { return Root; }
    std::string operator/(const std::string& name) const { return (Root / name).string(); }

private:
    std::filesystem::path Root;
};

std::vector<std::uint8_t> Read_File(const std::string& name);
// The names in a folder, hidden ones included, in name order.
std::vector<std::string> Names_In(const std::filesystem::path& folder);
void Write_File(const std::string& name, const std::vector<std::uint8_t>& bytes);
void Write_File(const std::string& name, const std::string& text);

struct T_Run_Result {
    int Exit_Status = -1;
    std::string Output;  // everything the program printed
};

// Runs kyl in `directory` with the given parameters (each passed as one
// word, unexpanded by any shell) under the C locale, or with the extra
// environment variables given.
T_Run_Result Run_KYL(const std::string& directory, const std::vector<std::string>& arguments,
                     const std::vector<std::pair<std::string, std::string>>& environment = {});

// Starts kyl as Run_KYL does without waiting for it; its standard output
// goes to `output` (a descriptor; -1 for none).  A run that hangs is ended
// by SIGALRM after a few minutes.
pid_t Start_KYL(const std::string& directory, const std::vector<std::string>& arguments, int output = -1,
                const std::vector<std::pair<std::string, std::string>>& environment = {});
// Waits for a started kyl: its exit status, or 128 + the signal that ended it.
int Wait_KYL(pid_t child);

// Runs `command` with /bin/sh in `directory`, with the folder of the built
// programs first on PATH (so `kyl` and `kylz` name them) and the C locale;
// returns its status and what it wrote to standard output and error.
T_Run_Result Run_Shell(const std::string& directory, const std::string& command);

// Reproducible data of the kinds a compressor meets.
std::vector<std::uint8_t> Random_Bytes(std::size_t count, std::uint32_t seed);
std::vector<std::uint8_t> Text_Like_Bytes(std::size_t count, std::uint32_t seed);

}  // namespace kyl_test
