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

// Counts the block records of a compressed stream as its bytes pass: each
// starts with its header length and flags; a transformed record ends with
// its payload length, a stored one runs for a whole block (or to the end).
// Only intact streams are listed, so damage needs no care here.
class T_KYLZ_Record_Counter {
public:
    void Feed(const std::uint8_t* data, std::size_t count) {
        while (count > 0) {
            if (Skip > 0) {
                const std::size_t skipped = std::min<std::uint64_t>(Skip, count);
                Skip -= skipped;
                data += skipped;
                count -= skipped;
                continue;
            }
            if (Header.empty()) ++Records;
            Header.push_back(*data++);
            --count;
            const std::size_t length = Header[0];
            if (Header.size() < std::max<std::size_t>(length, 2)) continue;
            const bool transformed = (Header[1] & 1) != 0 && length >= 12;
            Skip = transformed ? std::uint64_t(Header[length - 3]) | std::uint64_t(Header[length - 2]) << 8 |
                                     std::uint64_t(Header[length - 1]) << 16
                               : Stored_Block_Length;
            Header.clear();
        }
    }
    std::uint64_t Records = 0;

private:
    static constexpr std::uint64_t Stored_Block_Length = 5242880;  // kyl's block size
    std::vector<std::uint8_t> Header;
    std::uint64_t Skip = 0;
};

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
    std::uint64_t Pump(T_KYL_Input_File& input, T_KYLZ_Progress& progress, T_KYLZ_Record_Counter& records,
                       T_Sink&& sink) {
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
            records.Feed(in.data(), got);
            progress.Advance(got);
        }
        Check(kyl_stream_finish(Stream));
        drain();
        return read;
    }

private:
    kyl_stream* Stream = nullptr;
};

double Bits_Per_Byte(std::uint64_t compressed, std::uint64_t original) {
    return original == 0 ? 0.0 : 8.0 * double(compressed) / double(original);
}

}  // namespace

void T_KYLZ_Jobs::Warn(const std::string& message) const {
    if (Options.Verbosity > 0) std::cerr << "kylz: " << message << '\n';
}

void T_KYLZ_Jobs::Fail(const std::string& message, int status) {
    std::cerr << "kylz: " << message << '\n';
    Status = std::max(Status, status);
}

void T_KYLZ_Jobs::Process(const std::string& argument) {
    if (argument == "-") {
        Process_Standard_Input();
        return;
    }
    switch (const T_KYL_Entry_Kind kind = KYL_Entry_Kind(argument)) {
        case T_KYL_Entry_Kind::Missing: Fail(argument + ": No such file or directory", KYLZ_Exit_Error); return;
        case T_KYL_Entry_Kind::Folder:
            if (Options.Recursive) Process_Folder(argument);
            else Fail(argument + " is a folder -- ignored (use -r to walk into it)", KYLZ_Exit_Error);
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
        Fail(error.what(), KYLZ_Exit_Error);
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

bool T_KYLZ_Jobs::Refuse_Terminal_Output() {
    if (Options.Mode != T_KYLZ_Mode::Compress || Options.Force || !KYL_Is_Terminal(1)) return false;
    Fail("compressed data not written to a terminal (use -f to force)", KYLZ_Exit_Error);
    return true;
}

void T_KYLZ_Jobs::Process_Standard_Input() {
    if (!Refuse_Terminal_Output()) Run(Standard_Input_Name, "", true);
}

void T_KYLZ_Jobs::Process_File(const std::string& name, T_KYL_Entry_Kind kind, bool named_on_command_line) {
    if (kind == T_KYL_Entry_Kind::Link && KYL_File_Size(name) < 0) {
        Fail(name + ": the link leads nowhere", KYLZ_Exit_Error);
        return;
    }
    if (kind == T_KYL_Entry_Kind::Other && !(Options.To_Standard_Output || Options.Mode == T_KYLZ_Mode::Test ||
                                             Options.Mode == T_KYLZ_Mode::List)) {
        Fail(name + " is not a regular file -- ignored", KYLZ_Exit_Error);
        return;
    }
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
            if (!Ends_With(name, Suffix) || name.size() == Suffix.size() || name.back() == '/') {
                if (named_on_command_line) Fail(name + ": unknown suffix -- ignored", KYLZ_Exit_Error);
                return;
            }
            output = name.substr(0, name.size() - Suffix.size());
            break;
        case T_KYLZ_Mode::Test:
        case T_KYLZ_Mode::List: break;
    }
    const bool to_file = !output.empty() && !Options.To_Standard_Output;
    if (!to_file) output.clear();
    if (!to_file && Refuse_Terminal_Output()) return;
    if (to_file && !Options.Force && KYL_Entry_Kind(output) != T_KYL_Entry_Kind::Missing) {
        Fail(output + " already exists -- skipped (use -f to overwrite)", KYLZ_Exit_Error);
        return;
    }
    Run(name, output, false);
}

void T_KYLZ_Jobs::Run(const std::string& input_name, const std::string& output_name, bool from_standard_input) {
    try {
        const std::unique_ptr<T_KYL_Input_File> input =
            from_standard_input ? T_KYL_Input_File::Standard_Input(input_name)
                                : std::make_unique<T_KYL_Input_File>(input_name);
        const bool compress = Options.Mode == T_KYLZ_Mode::Compress;
        T_KYLZ_Stream stream(compress ? KYL_STREAM_COMPRESS : KYL_STREAM_EXPAND, Options.Threads);
        const std::int64_t size = input->Size();
        T_KYLZ_Progress progress(input_name, size,
                                 Options.Verbosity > 0 && KYL_Is_Terminal(2) && (size < 0 || size >= Small_Input));
        std::uint64_t written = 0;
        std::unique_ptr<T_KYL_Output_File> output;
        if (!output_name.empty()) output = std::make_unique<T_KYL_Output_File>(output_name);
        const bool writes = compress || Options.Mode == T_KYLZ_Mode::Expand;
        T_KYLZ_Record_Counter records;
        const std::uint64_t read = stream.Pump(*input, progress, records, [&](const std::uint8_t* data, std::size_t count) {
            written += count;
            if (output) output->Write(data, count);
            else if (writes) KYL_Write_Standard_Output(data, count, Standard_Output_Name);
        });
        if (output) output->Commit(input->Attributes());
        // The input goes only once its output is complete, closed and named.
        if (Options.Remove_Inputs && output && !from_standard_input) KYL_Remove_File(input_name);

        const std::uint64_t compressed = compress ? written : read;
        const std::uint64_t original = compress ? read : written;
        if (Options.Mode == T_KYLZ_Mode::List) {
            const T_KYLZ_Listing listing{records.Records, read, written};
            Print_Listing(listing, input_name);
            Total.Blocks += listing.Blocks;
            Total.Compressed += listing.Compressed;
            Total.Original += listing.Original;
            ++Files_Listed;
        } else if (Options.Verbosity > 1) {
            char sizes[128];
            std::snprintf(sizes, sizeof sizes, "%llu -> %llu bytes, %.3f bits per byte",
                          (unsigned long long)read, (unsigned long long)written, Bits_Per_Byte(compressed, original));
            std::cerr << "kylz: " << input_name << (output ? " -> " + output_name : "") << ": "
                      << (Options.Mode == T_KYLZ_Mode::Test ? "OK" : sizes) << '\n';
        }
    } catch (const T_KYLZ_Stream_Failure& failure) {
        const bool damaged = failure.Status == KYL_DAMAGED || failure.Status == KYL_TRUNCATED;
        const char* damage = failure.Status == KYL_TRUNCATED ? "unexpected end of input" : "damaged compressed data";
        Fail(input_name + ": " + (damaged ? damage : failure.what()),
             damaged ? KYLZ_Exit_Damaged : KYLZ_Exit_Error);
    } catch (const T_KYL_Platform_Error& error) {
        Fail(error.what(), KYLZ_Exit_Error);
    } catch (const std::bad_alloc&) {
        Fail(input_name + ": out of memory", KYLZ_Exit_Error);
    }
}

void T_KYLZ_Jobs::Print_Listing(const T_KYLZ_Listing& listing, const std::string& name) const {
    if (Files_Listed == 0)
        std::printf("%8s %15s %15s %8s %10s  %s\n", "blocks", "compressed", "original", "ratio", "bits/byte", "name");
    const double ratio = listing.Compressed == 0 ? 0.0 : double(listing.Original) / double(listing.Compressed);
    std::printf("%8llu %15llu %15llu %7.3fx %10.3f  %s\n", (unsigned long long)listing.Blocks,
                (unsigned long long)listing.Compressed, (unsigned long long)listing.Original, ratio,
                Bits_Per_Byte(listing.Compressed, listing.Original), name.c_str());
}

int T_KYLZ_Jobs::Finish() {
    if (Files_Listed > 1) Print_Listing(Total, "(" + std::to_string(Files_Listed) + " files)");
    std::fflush(stdout);
    return Status;
}
