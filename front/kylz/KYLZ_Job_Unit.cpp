// SPDX-License-Identifier: MIT
#include "front/kylz/KYLZ_Job_Unit.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <new>
#include <vector>

#include "front/kylz/KYLZ_Progress_Unit.h"
#include "kyl.h"
#include "platform/KYL_Platform.h"

namespace {

const std::string Suffix = ".kyl";
const std::string Standard_Input_Name = "(stdin)";
const std::string Standard_Output_Name = "(stdout)";
// Inputs below this size finish before a progress line would be worth drawing.
constexpr std::int64_t Small_Input = 1 << 20;
constexpr std::size_t Piece_Size = 1 << 20;

// A status of the library other than KYL_OK, with the file it concerns.
class T_KYLZ_Stream_Failure : public std::runtime_error {
public:
    explicit T_KYLZ_Stream_Failure(int status) : std::runtime_error(kyl_status_text(status)), Status(status) {}
    int Status;
};

void Check(int status) {
    if (status != KYL_OK) throw T_KYLZ_Stream_Failure(status);
}

bool Ends_With(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// One libkyl stream, freed on every path.
class T_KYLZ_Stream {
public:
    T_KYLZ_Stream(int direction, unsigned threads) { Check(kyl_stream_create(&Stream, direction, threads)); }
    ~T_KYLZ_Stream() { kyl_stream_free(Stream); }
    T_KYLZ_Stream(const T_KYLZ_Stream&) = delete;
    T_KYLZ_Stream& operator=(const T_KYLZ_Stream&) = delete;

    // Feeds the input to the stream piece by piece, and hands every piece
    // of output to `sink`; returns the bytes read.  The intact output before
    // a damaged block still reaches the sink before the failure is raised.
    template <class T_Sink>
    std::uint64_t Pump(T_KYL_Input_File& input, T_KYLZ_Progress& progress, T_Sink&& sink) {
        std::vector<std::uint8_t> in(Piece_Size), out(Piece_Size);
        auto drain = [&] {
            for (;;) {
                std::size_t taken = 0;
                const int status = kyl_stream_take(Stream, out.data(), out.size(), &taken);
                if (taken > 0) sink(out.data(), taken);
                Check(status);
                if (taken == 0) return;
            }
        };
        std::uint64_t read = 0;
        for (std::size_t got; (got = input.Read(in.data(), in.size())) > 0; read += got) {
            for (std::size_t at = 0; at < got;) {
                std::size_t consumed = 0;
                Check(kyl_stream_feed(Stream, in.data() + at, got - at, &consumed));
                at += consumed;
                drain();
            }
            progress.Advance(got);
        }
        Check(kyl_stream_finish(Stream));
        drain();
        return read;
    }

    // The blocks pumped through whole: when expanding, the records of the
    // compressed input, framed by the library.
    std::uint64_t Blocks() const {
        unsigned long long blocks = 0;
        Check(kyl_stream_blocks(Stream, &blocks));
        return blocks;
    }

private:
    kyl_stream* Stream = nullptr;
};

double Bits_Per_Byte(std::uint64_t compressed, std::uint64_t original) {
    return original == 0 ? 0.0 : 8.0 * double(compressed) / double(original);
}

std::string Last_Component(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

void Print(const std::string& text) {
    KYL_Write_Standard_Output(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), Standard_Output_Name);
}

std::string Printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The rows as a table: every column but the last right-aligned, as wide as
// its widest entry and never narrower than `widths` gives, so that no size
// or ratio, however large, pushes the others out of line; the last column
// (the names) follows two spaces after.
std::string Table(const std::vector<std::vector<std::string>>& rows, std::vector<std::size_t> widths) {
    for (const auto& row : rows)
        for (std::size_t column = 0; column < widths.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    std::string table;
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < widths.size(); ++column)
            table += std::string(widths[column] - row[column].size() + (column > 0), ' ') + row[column];
        table += "  " + row[widths.size()] + '\n';
    }
    return table;
}

}  // namespace

int KYLZ_Print(const std::string& text) {
    try {
        Print(text);
        return KYL_Exit_Success;
    } catch (const T_KYL_Broken_Pipe&) {
        KYL_End_By_Broken_Pipe();
    } catch (const T_KYL_Platform_Error& error) {
        std::cerr << "kylz: " << error.what() << '\n';
        return KYL_Exit_Failure;
    }
}

void T_KYLZ_Jobs::Say(const std::string& message) const {
    T_KYLZ_Progress::Erase();
    std::cerr << "kylz: " << message << '\n';
}

void T_KYLZ_Jobs::Warn(const std::string& message) const {
    if (Options.Verbosity > 0) Say(message);
}

void T_KYLZ_Jobs::Fail(const std::string& message, int status) {
    Say(message);
    Status = std::max(Status, status);
}

void T_KYLZ_Jobs::Process(const std::string& argument) {
    if (argument == "-") {
        Process_Standard_Input();
        return;
    }
    switch (const T_KYL_Entry_Kind kind = KYL_Entry_Kind(argument)) {
        case T_KYL_Entry_Kind::Missing: Fail(argument + ": No such file or directory", KYL_Exit_Failure); return;
        case T_KYL_Entry_Kind::Folder:
            if (Options.Recursive) Process_Folder(argument);
            else Fail(argument + " is a folder -- ignored (use -r to walk into it)", KYL_Exit_Failure);
            return;
        case T_KYL_Entry_Kind::Regular:
        case T_KYL_Entry_Kind::Link:
        case T_KYL_Entry_Kind::Other: Process_File(argument, kind, true); return;
    }
}

void T_KYLZ_Jobs::Process_Folder(const std::string& folder) {
    std::vector<std::string> entries;
    try {
        entries = KYL_Folder_Entries(folder);
    } catch (const T_KYL_Platform_Error& error) {
        Fail(error.what(), KYL_Exit_Failure);
        return;
    }
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    for (const std::string& entry : entries) {
        const std::string name = prefix + entry;
        const T_KYL_Entry_Kind kind = KYL_Entry_Kind(name);
        // Links are not followed in a walk: they could lead out of the tree
        // or round in a circle.
        if (kind == T_KYL_Entry_Kind::Folder) Process_Folder(name);
        else if (kind == T_KYL_Entry_Kind::Regular) Process_File(name, kind, false);
    }
}

bool T_KYLZ_Jobs::Refuse_Terminal(bool reads_standard_input) {
    if (Options.Force) return false;
    const bool compress = Options.Mode == T_KYLZ_Mode::Compress;
    if (compress && KYL_Is_Terminal(1)) {
        Fail("compressed data not written to a terminal (use -f to force)", KYL_Exit_Failure);
        return true;
    }
    // Nobody types compressed data: a terminal here is a forgotten file name.
    if (!compress && reads_standard_input && KYL_Is_Terminal(0)) {
        Fail("compressed data not read from a terminal. Use -f to force.", KYL_Exit_Failure);
        return true;
    }
    return false;
}

void T_KYLZ_Jobs::Process_Standard_Input() {
    if (!Refuse_Terminal(true)) Run(Standard_Input_Name, "", true);
}

bool T_KYLZ_Jobs::Refuse_Input(const std::string& name, T_KYL_Entry_Kind kind, bool named_on_command_line) {
    if (kind == T_KYL_Entry_Kind::Link && KYL_File_Size(name) < 0) {
        Fail(name + ": the link leads nowhere", KYL_Exit_Failure);
        return true;
    }
    const bool beside = !(Options.To_Standard_Output || Options.Mode == T_KYLZ_Mode::Test ||
                          Options.Mode == T_KYLZ_Mode::List);
    if (kind == T_KYL_Entry_Kind::Other && beside) {
        Fail(name + " is not a regular file -- ignored", KYL_Exit_Failure);
        return true;
    }
    // An output beside a link would stand beside the link, not its file, and
    // --rm would remove the link alone.
    if (kind == T_KYL_Entry_Kind::Link && beside && named_on_command_line && !Options.Force) {
        Fail(name + ": is a symbolic link -- skipped", KYL_Exit_Failure);
        return true;
    }
    return false;
}

void T_KYLZ_Jobs::Process_File(const std::string& name, T_KYL_Entry_Kind kind, bool named_on_command_line) {
    if (Refuse_Input(name, kind, named_on_command_line)) return;
    std::string output;
    switch (Options.Mode) {
        case T_KYLZ_Mode::Compress:
            if (Ends_With(name, Suffix) && !Options.Force) {
                if (named_on_command_line) Warn(name + " already has the " + Suffix + " suffix -- unchanged");
                return;
            }
            output = name + Suffix;
            break;
        case T_KYLZ_Mode::Expand:
            // Only an output beside the input needs the suffix, to make its name.
            if (Options.To_Standard_Output) break;
            if (!Ends_With(name, Suffix) || Last_Component(name) == Suffix) {
                if (named_on_command_line) Fail(name + ": unknown suffix -- ignored", KYL_Exit_Failure);
                return;
            }
            output = name.substr(0, name.size() - Suffix.size());
            break;
        case T_KYLZ_Mode::Test:
        case T_KYLZ_Mode::List: break;
    }
    const bool to_file = !output.empty() && !Options.To_Standard_Output;
    if (!to_file) output.clear();
    if (!to_file && Refuse_Terminal(false)) return;
    if (to_file && !Options.Force && KYL_Entry_Kind(output) != T_KYL_Entry_Kind::Missing) {
        Fail(output + " already exists -- skipped (use -f to overwrite)", KYL_Exit_Failure);
        return;
    }
    Run(name, output, false);
}

void T_KYLZ_Jobs::Remove_Input(const T_KYL_Input_File& input) {
    if (Before_Removal) Before_Removal(input.Name());
    // The name may meanwhile lead to another file, or the file may have been
    // written to while it was read: the output holds neither, so it stays.
    if (!KYL_Remove_Unchanged_File(input.Name(), input.Identity()))
        Fail(input.Name() + ": file changed while it was " +
                 (Options.Mode == T_KYLZ_Mode::Compress ? "compressed" : "expanded") + ", not removed",
             KYL_Exit_Failure);
}

void T_KYLZ_Jobs::Run(const std::string& input_name, const std::string& output_name, bool from_standard_input) {
    try {
        const std::unique_ptr<T_KYL_Input_File> input =
            from_standard_input ? T_KYL_Input_File::Standard_Input(input_name)
                                : std::make_unique<T_KYL_Input_File>(input_name);
        const bool removes = Options.Remove_Inputs && !output_name.empty() && !from_standard_input;
        // Removing one name of a file that lives on under others frees nothing
        // and loses a name someone made on purpose.
        if (const std::uint64_t links = input->Identity().Links; removes && !Options.Force && links > 1) {
            Fail(input_name + " has " + std::to_string(links - 1) + " other link" + (links > 2 ? "s" : "") +
                     " -- skipped",
                 KYL_Exit_Failure);
            return;
        }
        const bool compress = Options.Mode == T_KYLZ_Mode::Compress;
        T_KYLZ_Stream stream(compress ? KYL_STREAM_COMPRESS : KYL_STREAM_EXPAND, Options.Threads);
        const std::int64_t size = input->Size();
        T_KYLZ_Progress progress(input_name, size,
                                 Options.Verbosity > 0 && KYL_Is_Terminal(2) && (size < 0 || size >= Small_Input));
        std::uint64_t written = 0;
        std::unique_ptr<T_KYL_Output_File> output;
        if (!output_name.empty()) output = std::make_unique<T_KYL_Output_File>(output_name);
        const bool writes = compress || Options.Mode == T_KYLZ_Mode::Expand;
        const std::uint64_t read = stream.Pump(*input, progress, [&](const std::uint8_t* data, std::size_t count) {
            written += count;
            if (output) output->Write(data, count);
            else if (writes) KYL_Write_Standard_Output(data, count, Standard_Output_Name);
        });
        if (output) output->Commit(input->Attributes());
        // The input goes only once its output is complete, closed and named.
        if (removes) Remove_Input(*input);

        const std::uint64_t compressed = compress ? written : read;
        const std::uint64_t original = compress ? read : written;
        if (Options.Mode == T_KYLZ_Mode::List) {
            Listed.emplace_back(input_name, T_KYLZ_Listing{stream.Blocks(), read, written});
        } else if (Options.Verbosity > 1) {
            char sizes[128];
            std::snprintf(sizes, sizeof sizes, "%llu -> %llu bytes, %.3f bits per byte",
                          (unsigned long long)read, (unsigned long long)written, Bits_Per_Byte(compressed, original));
            Say(input_name + (output ? " -> " + output_name : "") + ": " +
                (Options.Mode == T_KYLZ_Mode::Test ? "OK" : sizes));
        }
    } catch (const T_KYLZ_Stream_Failure& failure) {
        const bool damaged = failure.Status == KYL_DAMAGED || failure.Status == KYL_TRUNCATED;
        const char* damage = failure.Status == KYL_TRUNCATED ? "unexpected end of input" : "damaged compressed data";
        Fail(input_name + ": " + (damaged ? damage : failure.what()), damaged ? KYL_Exit_Damaged : KYL_Exit_Failure);
    } catch (const T_KYL_Broken_Pipe&) {
        // The stream, its threads and any output are gone by now.
        KYL_End_By_Broken_Pipe();
    } catch (const T_KYL_Platform_Error& error) {
        Fail(error.what(), KYL_Exit_Failure);
    } catch (const std::bad_alloc&) {
        Fail(input_name + ": out of memory", KYL_Exit_Failure);
    }
}

void T_KYLZ_Jobs::Print_Listing() {
    if (Listed.empty()) return;
    if (Listed.size() > 1) {
        T_KYLZ_Listing total;
        for (const auto& [name, listing] : Listed) {
            total.Blocks += listing.Blocks;
            total.Compressed += listing.Compressed;
            total.Original += listing.Original;
        }
        Listed.emplace_back("(" + std::to_string(Listed.size()) + " files)", total);
    }
    std::vector<std::vector<std::string>> rows = {{"blocks", "compressed", "original", "ratio", "bits/byte", "name"}};
    for (const auto& [name, listing] : Listed) {
        const double ratio = listing.Compressed == 0 ? 0.0 : double(listing.Original) / double(listing.Compressed);
        rows.push_back({std::to_string(listing.Blocks), std::to_string(listing.Compressed),
                        std::to_string(listing.Original), Printed("%.3fx", ratio),
                        Printed("%.3f", Bits_Per_Byte(listing.Compressed, listing.Original)), name});
    }
    Print(Table(rows, {8, 15, 15, 8, 10}));
}

int T_KYLZ_Jobs::Finish() {
    try {
        Print_Listing();
    } catch (const T_KYL_Broken_Pipe&) {
        KYL_End_By_Broken_Pipe();
    } catch (const T_KYL_Platform_Error& error) {
        Fail(error.what(), KYL_Exit_Failure);
    }
    // A report asked for with -v that could not be written is a failure too.
    if (Options.Verbosity > 1 && !std::cerr) Status = std::max(Status, KYL_Exit_Failure);
    return Status;
}
