// SPDX-License-Identifier: MIT
#include "KYL_Test_Support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kyl_test {

T_Temp_Dir::T_Temp_Dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kyl-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder");
    Root = pattern;
}

T_Temp_Dir::~T_Temp_Dir() {
    std::error_code ignored;
    std::filesystem::remove_all(Root, ignored);
}

std::vector<std::string> Names_In(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::uint8_t> Read_File(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + name);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write_File(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + name);
}

void Write_File(const std::string& name, const std::string& text) {
    Write_File(name, std::vector<std::uint8_t>(text.begin(), text.end()));
}

pid_t Start_KYL(const std::string& directory, const std::vector<std::string>& arguments, int output,
                const std::vector<std::pair<std::string, std::string>>& environment) {
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork");
    if (child != 0) return child;
    const int target = output >= 0 ? output : ::open("/dev/null", O_WRONLY);
    ::dup2(target, STDOUT_FILENO);
    if (::chdir(directory.c_str()) != 0) ::_exit(127);
    ::setenv("LC_ALL", "C", 1);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KYL_BINARY));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::alarm(300);
    ::execv(KYL_BINARY, argv.data());
    ::_exit(127);
}

int Wait_KYL(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

T_Run_Result Run_KYL(const std::string& directory, const std::vector<std::string>& arguments,
                     const std::vector<std::pair<std::string, std::string>>& environment) {
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const pid_t child = Start_KYL(directory, arguments, pipe_ends[1], environment);
    ::close(pipe_ends[1]);
    T_Run_Result result;
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0) result.Output.append(chunk, std::size_t(got));
    ::close(pipe_ends[0]);
    result.Exit_Status = Wait_KYL(child);
    return result;
}

T_Run_Result Run_Shell(const std::string& directory, const std::string& command) {
    const std::string programs = std::filesystem::path(KYL_BINARY).parent_path().string();
    const std::string line = "cd '" + directory + "' && PATH='" + programs + "':\"$PATH\" LC_ALL=C; export PATH LC_ALL; " +
                             "exec 2>&1; " + command;
    FILE* shell = ::popen(line.c_str(), "r");
    if (shell == nullptr) throw std::runtime_error("popen");
    T_Run_Result result;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, shell)) > 0) result.Output.append(chunk, got);
    const int status = ::pclose(shell);
    result.Exit_Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::uint8_t> Random_Bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(count);
    for (std::uint8_t& byte : bytes) byte = std::uint8_t(generator());
    return bytes;
}

std::vector<std::uint8_t> Text_Like_Bytes(std::size_t count, std::uint32_t seed) {
    static const char* const Words[] = {"the ", "block ", "of ", "sorted ", "and ", "a ", "run ", "to ",
                                        "compress ", "file ", "is ", "in ", "which ", "every ", "byte ", "\r\n"};
    std::mt19937 generator(seed);
    std::geometric_distribution<int> pick(0.25);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(count);
    while (bytes.size() < count) {
        const char* word = Words[std::min(pick(generator), 15)];
        for (const char* c = word; *c && bytes.size() < count; ++c) bytes.push_back(std::uint8_t(*c));
    }
    return bytes;
}

}  // namespace kyl_test
