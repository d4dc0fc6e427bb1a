// SPDX-License-Identifier: MIT
#include "codec/KYL_File_Unit.h"

#include <cassert>
#include <limits>
#include <span>

// Opens the input, refuses an output that is the input itself (through a
// link, say), creates the output; closes both on every exit path, the output
// before the input.
class T_KYL_File_Codec::T_Files {
public:
    T_Files(const std::string& input_name, const std::string& output_name, T_KYL_Fault_Plan* faults)
        : Input(input_name, faults), Output(Create_Output(output_name, faults)) {}

    T_KYL_Input_File Input;
    std::unique_ptr<T_KYL_Output_File> Output;

private:
    std::unique_ptr<T_KYL_Output_File> Create_Output(const std::string& output_name, T_KYL_Fault_Plan* faults) {
        if (Input.Is_Same_File(output_name))
            throw T_KYL_Platform_Error("cannot create \"" + output_name + "\": it is the input file itself");
        return std::make_unique<T_KYL_Output_File>(output_name, faults);
    }
};

void T_KYL_File_Codec::Run_File_Loop(T_KYL_Stream& stream, T_Files& files) {
    for (;;) {
        KYL_Drain_Stream(
            stream, std::numeric_limits<std::size_t>::max(),
            [&files](std::span<const std::uint8_t> piece) { files.Output->Write(piece.data(), piece.size()); });
        if (stream.Finished()) break;
        // With the output taken, a stream that is not finished wants input.
        const std::span<std::uint8_t> space = stream.Input_Space();
        assert(!space.empty());
        const std::size_t count = files.Input.Read(space.data(), space.size());
        stream.Commit_Input(count);
        if (count < space.size()) stream.Finish_Input();
    }
    files.Output->Commit(files.Input.Attributes());
}

void T_KYL_File_Codec::Compress_File(const std::string& input_name, const std::string& output_name,
                                     std::uint8_t transform) {
    T_Files files(input_name, output_name, Faults);
    const std::unique_ptr<T_KYL_Stream> stream = Factory.Compress_Stream(transform);
    Run_File_Loop(*stream, files);
}

void T_KYL_File_Codec::Expand_File(const std::string& input_name, const std::string& output_name) {
    T_Files files(input_name, output_name, Faults);
    try {
        const std::unique_ptr<T_KYL_Stream> stream = Factory.Expand_Stream();
        Run_File_Loop(*stream, files);
    } catch (const T_KYL_Damaged_Block&) {
        // The blocks before the damaged one are kept, but never in place of
        // a file that stood at the output name: that one stays as it was.
        if (!files.Output->Replaces_An_Entry()) files.Output->Commit(files.Input.Attributes());
        throw;
    }
}
