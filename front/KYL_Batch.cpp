// SPDX-License-Identifier: MIT
#include "front/KYL_Batch.h"

#include <cmath>
#include <limits>
#include <map>
#include <new>

#include "codec/KYL_File_Unit.h"
#include "front/KYL_Global_Unit.h"
#include "front/KYL_IO_Unit.h"
#include "platform/KYL_Platform.h"

namespace {

struct T_Statistics {
    double File_Count = 0;
    double Total_Input_Size = 0;
    double Total_Output_Size = 0;
    double Rate_Sum = 0;
};

template <std::size_t N>
void Print_Lines(T_KYL_Console& console, const std::array<std::string_view, N>& lines) {
    for (const std::string_view line : lines) console.Line(std::string(line));
}

double Seconds_Since(std::int64_t start_ms) { return double(KYL_Clock_Ms() - start_ms) / 1000.0; }

// Bits of the compressed file per byte of the uncompressed one; not a number
// when the uncompressed side is empty.
double Bits_Per_Byte(double compressed, double uncompressed) {
    return uncompressed != 0 ? compressed / uncompressed * 8 : std::numeric_limits<double>::quiet_NaN();
}

// Refuses, before anything is written, a pass in which an output would
// replace one of the pass's inputs or two inputs would share one output:
// either way a file would be lost.
void Require_Separate_Outputs(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
    std::map<T_KYL_File_Key, std::size_t> input_keys;
    for (std::size_t i = 0; i < inputs.size(); ++i) input_keys.emplace(KYL_File_Key(inputs[i]), i);
    std::map<T_KYL_File_Key, std::size_t> output_keys;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const T_KYL_File_Key key = KYL_File_Key(outputs[i]);
        const std::string refusal = "cannot create \"" + outputs[i] + "\": ";
        if (const auto input = input_keys.find(key); input != input_keys.end())
            throw T_KYL_Platform_Error(refusal + (input->second == i ? "it is the input file itself"
                                                                      : "it is the input \"" + inputs[input->second] +
                                                                            "\" of this run"));
        if (const auto [other, fresh] = output_keys.emplace(key, i); !fresh)
            throw T_KYL_Platform_Error(refusal + "\"" + inputs[other->second] + "\" and \"" + inputs[i] +
                                       "\" would both be written to it");
    }
}

// A name without wildcards that names no file, or a folder that does not
// exist, is a mistake for the caller to see; a wildcard that matches
// nothing in a real folder is an empty pass.
bool Names_Something(const std::string& pattern, const std::vector<std::string>& list) {
    if (!list.empty()) return true;
    const std::size_t slash = pattern.find_last_of('/');
    const bool wildcard = pattern.find_first_of("*?", slash == std::string::npos ? 0 : slash + 1) != std::string::npos;
    return wildcard && (slash == std::string::npos || KYL_Is_Folder(pattern.substr(0, slash + 1)));
}

// Runs one pass; false when its pattern named nothing that exists.
bool Run_Pass(T_KYL_Console& console, const T_KYL_IO& io, const T_Parameters& parameters, bool compress, T_Statistics& statistics) {
    std::vector<std::string> list;
    io.Get_File_List(parameters.Input_Name, list);
    statistics.File_Count = double(list.size());
    if (!parameters.Verbose) {
        console.Write((compress ? "Compressing " : "Expanding ") + Format_Count(statistics.File_Count, 4) +
                             " files  ");
        console.Flush();
    }
    std::vector<std::string> outputs;
    for (const std::string& input : list) outputs.push_back(Output_Name(input, parameters.Output_Extension));
    Require_Separate_Outputs(list, outputs);
    T_KYL_File_Codec codec(parameters.Threads);
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string& input = list[i];
        const std::string& output = outputs[i];
        if (parameters.Verbose) {
            console.Line((compress ? "Compressing " : "Expanding ") + input + " to " + output);
        } else {
            console.Write(std::string(Spinner_Steps[i % Spinner_Steps.size()]));
            console.Flush();
        }
        const std::int64_t start = KYL_Clock_Ms();
        if (compress) codec.Compress_File(input, output, parameters.Transform);
        else codec.Expand_File(input, output);
        const double elapsed = Seconds_Since(start);
        if (parameters.Verbose) console.Line();

        const double input_size = double(io.Get_File_Size(input));
        const double output_size = double(io.Get_File_Size(output));
        statistics.Total_Input_Size += input_size;
        statistics.Total_Output_Size += output_size;
        if (parameters.Verbose) {
            console.Line("Input size                : " + Format_Count(input_size, 13) + " bytes");
            console.Line("Output size               : " + Format_Count(output_size, 13) + " bytes");
        }
        // An empty input has no rate; neither has an empty expansion of a
        // non-empty file, which only a damaged file could give.
        const double rate = compress ? Bits_Per_Byte(output_size, input_size) : Bits_Per_Byte(input_size, output_size);
        if (input_size != 0 && std::isfinite(rate)) {
            if (parameters.Verbose)
                console.Line("Compression rate          : " + Format_Fixed(rate, 17) + " bps");
            statistics.Rate_Sum += rate;
        }
        if (parameters.Verbose) {
            console.Line((compress ? "Compression time          : " : "Expansion time            : ") +
                                Format_Fixed(elapsed, 17) + " s");
            if (!compress) console.Line("CRC is valid");
            console.Line();
        }
    }
    return Names_Something(parameters.Input_Name, list);
}

void Print_Summary(T_KYL_Console& console, const T_Parameters& parameters, const T_Statistics& statistics, std::int64_t start) {
    const double total_time = Seconds_Since(start);
    if (parameters.Verbose) {
        console.Line(std::string(Closing_Lines[0]));
        console.Line(std::string(Closing_Lines[1]));
    } else {
        console.Write("\r");
        console.Flush();
    }
    console.Line("Number of files           : " + Format_Count(statistics.File_Count, 13));
    console.Line("Total input size          : " + Format_Count(statistics.Total_Input_Size, 13) + " bytes");
    console.Line("Total output size         : " + Format_Count(statistics.Total_Output_Size, 13) + " bytes");
    // With no file the average has no value; the line then shows n/a.
    const double average = statistics.File_Count != 0 ? statistics.Rate_Sum / statistics.File_Count
                                                       : std::numeric_limits<double>::quiet_NaN();
    console.Line("Average compression rate  : " + Format_Fixed(average, 17) + " bps");
    if (statistics.Total_Input_Size != 0) {
        const double total_rate = parameters.Compress
                                      ? Bits_Per_Byte(statistics.Total_Output_Size, statistics.Total_Input_Size)
                                      : Bits_Per_Byte(statistics.Total_Input_Size, statistics.Total_Output_Size);
        console.Line("Total compression rate    : " + Format_Fixed(total_rate, 17) + " bps");
    }
    console.Line("Total time                : " + Format_Fixed(total_time, 17) + " s");
    console.Line(std::string(Closing_Lines[2]));
    console.Flush();
}

void Report_Failure(T_KYL_Console& console, const std::string& message) {
    console.Line();
    console.Line("Error: " + message);
    console.Flush();
}

// A damaged block ends the run; what was expanded before it stays.
void Report_Damaged_Block(T_KYL_Console& console) {
    console.Line();
    console.Line("CRC is not valid. Program execution terminated!");
    console.Flush();
}

}  // namespace

int KYL_Run(const std::vector<std::string>& arguments, std::ostream& console_stream) {
    T_KYL_Console console(console_stream);
    const std::int64_t start = KYL_Clock_Ms();
    T_Statistics statistics;
    Print_Lines(console, Banner_Lines);
    T_Parameters parameters;
    int status = KYL_Exit_Success;
    {
        const T_KYL_IO io(arguments);
        io.Get_Parameters(parameters);
        if (parameters.Help) Print_Lines(console, Help_Lines);
        // Help that nobody asked for means the command line was not
        // understood: a script must not take that for success.
        if (parameters.Help && !parameters.Help_Asked && !arguments.empty()) status = KYL_Exit_Failure;
        if ((parameters.Compress || parameters.Expand) &&
            parameters.Output_Extension.find_first_of(std::string("/\0", 2)) != std::string::npos) {
            Report_Failure(console, "the output extension \"" + parameters.Output_Extension +
                                        "\" cannot be used: an extension may not contain \"/\"");
            return KYL_Exit_Failure;
        }
        try {
            if (parameters.Compress && !Run_Pass(console, io, parameters, true, statistics)) status = KYL_Exit_Failure;
            if (parameters.Expand && !Run_Pass(console, io, parameters, false, statistics)) status = KYL_Exit_Failure;
        } catch (const T_KYL_Damaged_Block&) {
            Report_Damaged_Block(console);
            return KYL_Exit_Damaged;
        } catch (const T_KYL_Platform_Error& error) {
            Report_Failure(console, error.what());
            return KYL_Exit_Failure;
        } catch (const std::bad_alloc&) {
            Report_Failure(console, "out of memory");
            return KYL_Exit_Failure;
        }
    }
    if (parameters.Compress || parameters.Expand) Print_Summary(console, parameters, statistics, start);
    console.Flush();
    return status;
}
