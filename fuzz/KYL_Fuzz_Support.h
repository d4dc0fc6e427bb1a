// What the fuzz targets share: one controller for the process, a scratch
// folder for the files it reads and writes, and a console that prints nothing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <streambuf>
#include <unistd.h>
#include <vector>

#include "codec/KYL_MCP_Unit.h"
#include "platform/KYL_Platform.h"

namespace kyl_fuzz {

class T_Null_Buffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

struct T_Fuzz_Context {
    T_KYL_MCP Controller;
    std::string Folder;

    T_Fuzz_Context() {
        static T_Null_Buffer null_buffer;
        static std::ostream null_stream(&null_buffer);
        T_KYL_Console::Redirect(&null_stream);
        char pattern[] = "/tmp/kyl-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        Folder = pattern;
        Current_Controller = &Controller;
    }
    std::string File(const char* name) const { return Folder + "/" + name; }
};

inline T_Fuzz_Context& Context() {
    static T_Fuzz_Context context;
    return context;
}

inline void Write_Bytes(const std::string& name, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0)
        std::abort();
}

inline std::vector<std::uint8_t> Read_Bytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace kyl_fuzz
