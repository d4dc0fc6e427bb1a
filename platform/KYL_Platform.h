// The only code that touches the operating system: file streams, directory
// listing, console and clock.  Everything above it is plain computation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A failure of the platform (a file that cannot be opened, created, read or
// written, memory that cannot be had).  The message names the file.  The
// batch driver reports it and ends the run with exit status 1.
class T_KYL_Platform_Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Failure injection for the tests, installed on the files that a test opens:
// each counter, when not negative, makes the platform fail once that many
// more bytes have passed (a read error, a write error, or a write that comes
// up short as on a full disk).
struct T_KYL_Fault_Plan {
    std::int64_t Read_Fails_After = -1;
    std::int64_t Write_Fails_After = -1;
    std::int64_t Write_Short_After = -1;
};

// A file opened for reading.  Reads deliver as many bytes as were asked for
// unless the file ends first; a read error is never taken for the end of file.
class T_KYL_Input_File {
public:
    // `faults`, when given, must outlive the file.
    explicit T_KYL_Input_File(const std::string& name, T_KYL_Fault_Plan* faults = nullptr);
    ~T_KYL_Input_File();
    T_KYL_Input_File(const T_KYL_Input_File&) = delete;
    T_KYL_Input_File& operator=(const T_KYL_Input_File&) = delete;

    // Reads up to `count` bytes into `buffer`; returns how many came (fewer
    // only at the end of the file).
    std::size_t Read(std::uint8_t* buffer, std::size_t count);
    const std::string& Name() const { return File_Name; }
    // True when `name` is this very file (the same file reached through
    // another name, a link or a case-insensitive mount).
    bool Is_Same_File(const std::string& name) const;

private:
    std::string File_Name;
    int Handle = -1;
    T_KYL_Fault_Plan* Faults;
};

// A file created (or replaced) for writing.  Every write is complete or
// raises an error (a full disk included).  Small writes are gathered and
// reach the file in large pieces; Close writes what is gathered and reports a
// failure to write or to close.  A file destroyed without Close loses what
// was still gathered.
class T_KYL_Output_File {
public:
    // `faults`, when given, must outlive the file.
    explicit T_KYL_Output_File(const std::string& name, T_KYL_Fault_Plan* faults = nullptr);
    ~T_KYL_Output_File();
    T_KYL_Output_File(const T_KYL_Output_File&) = delete;
    T_KYL_Output_File& operator=(const T_KYL_Output_File&) = delete;

    void Write(const std::uint8_t* data, std::size_t count);
    void Close();

    // Writes of fewer bytes than this are gathered.
    static constexpr std::size_t Gather_Size = std::size_t(1) << 18;

private:
    void Write_Through(const std::uint8_t* data, std::size_t count);
    void Write_Gathered();

    std::string File_Name;
    int Handle = -1;
    T_KYL_Fault_Plan* Faults;
    std::vector<std::uint8_t> Gathered;
};

// The regular files (dot-files included, directories excluded) whose names
// match the name part of `pattern` ('*' and '?' wildcards, letter case
// ignored), in name order, each prefixed by the pattern's directory part.
std::vector<std::string> KYL_List_Files(const std::string& pattern);

// The size of the named entry, or -1 when there is none.
std::int64_t KYL_File_Size(const std::string& name);

// Console output to one stream (standard output for the program, a string
// stream in tests).  Lines end with CR LF.
class T_KYL_Console {
public:
    explicit T_KYL_Console(std::ostream& stream) : Stream(stream) {}

    void Write(const std::string& text);
    void Line(const std::string& text = "");
    void Flush();

private:
    std::ostream& Stream;
};

// Block memory: one large zero-filled allocation, released by its owner.
// Backed by large pages where the system offers them, since a block's
// first pass touches tens of megabytes and small pages would cost a fault
// every 4 KiB.  Throws std::bad_alloc when the memory cannot be had.
struct T_KYL_Memory_Release {
    std::size_t Size = 0;
    void operator()(std::uint8_t* memory) const;
};
using T_KYL_Block_Memory = std::unique_ptr<std::uint8_t[], T_KYL_Memory_Release>;
T_KYL_Block_Memory KYL_Allocate_Block_Memory(std::size_t size);

// Milliseconds from an arbitrary fixed point, for elapsed times.
std::int64_t KYL_Clock_Ms();
