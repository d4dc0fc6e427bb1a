// SPDX-License-Identifier: MIT
// Files through the streams: what kyl's batch runs, one file after another,
// on the streams of one factory, so that the block memory and the workers
// made for the first file serve the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/KYL_Stream_Unit.h"
#include "platform/KYL_Platform.h"

class T_KYL_File_Codec {
public:
    // `threads` as T_KYL_Stream_Factory takes them.  Throws std::bad_alloc
    // when the memory cannot be had.
    explicit T_KYL_File_Codec(unsigned threads = 1) : Factory(threads) {}

    // Compresses one file; `transform` becomes the Transform_Flag of every
    // block.  Throws T_KYL_Platform_Error on a file failure.  Every thread
    // the call starts is joined before it returns, whichever way it does.
    void Compress_File(const std::string& input_name, const std::string& output_name, std::uint8_t transform);
    // Expands one file, reading each of its bytes once.  Throws
    // T_KYL_Damaged_Block at the first damaged block; the blocks before it
    // are kept under the output name unless a file stood there.  Throws
    // T_KYL_Platform_Error on a file failure.
    void Expand_File(const std::string& input_name, const std::string& output_name);

private:
    friend struct T_KYL_Test_Seam;

    class T_Files;

    // Moves a file through `stream`: reads input into its space, writes out
    // what it gives, until it is finished.
    static void Run_File_Loop(T_KYL_Stream& stream, T_Files& files);

    T_KYL_Stream_Factory Factory;
    // Failures the tests inject into the files this codec opens.
    T_KYL_Fault_Plan* Faults = nullptr;
};
