// SPDX-License-Identifier: MIT
// The only code that touches the operating system: file streams, directory
// listing, console, clock, and the cores and memory the process may use.
// Everything above it is plain computation.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A failure of the platform (a file that cannot be opened, created, read or
// written, memory that cannot be had).  The message names the file.  Each
// client reports it in its own way: kyl's batch driver prints it and ends the
// run with exit status 1, kylz prints it and goes on to the next file, the
// library returns a status.
class T_KYL_Platform_Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A write to standard output whose reader has gone (a closed pipe).  Kept
// apart so that a front end can end quietly, as SIGPIPE would end it.
class T_KYL_Broken_Pipe : public T_KYL_Platform_Error {
public:
    using T_KYL_Platform_Error::T_KYL_Platform_Error;
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

// The permission bits, owner, group and modification time a file had when
// it was opened, for an output to take over.
struct T_KYL_File_Attributes {
    std::uint32_t Mode = 0600;
    std::int64_t Owner = -1;
    std::int64_t Group = -1;
    std::int64_t Accessed_Seconds = 0;
    std::int64_t Accessed_Nanoseconds = 0;
    std::int64_t Modified_Seconds = 0;
    std::int64_t Modified_Nanoseconds = 0;
    bool Known = false;
};

// What identifies a file's contents as they were when it was opened: the
// file (device and inode), its size and modification time, and its number
// of names.  A different file at the name, or the same file written to
// since, differs in one of the first four.
struct T_KYL_File_Identity {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    std::int64_t Size = -1;
    std::int64_t Modified_Seconds = 0;
    std::int64_t Modified_Nanoseconds = 0;
    std::uint64_t Links = 0;
};

// A file opened for reading.  Reads deliver as many bytes as were asked for
// unless the file ends first; a read error is never taken for the end of file.
class T_KYL_Input_File {
public:
    // `faults`, when given, must outlive the file.
    explicit T_KYL_Input_File(const std::string& name, T_KYL_Fault_Plan* faults = nullptr);
    // Standard input, named `name` in messages; it is never positioned.
    static std::unique_ptr<T_KYL_Input_File> Standard_Input(const std::string& name);
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
    T_KYL_File_Attributes Attributes() const;
    // The file as it was when it was opened.
    const T_KYL_File_Identity& Identity() const { return Opened; }
    // The size of a regular file; -1 for a pipe, terminal or socket.
    std::int64_t Size() const;

private:
    T_KYL_Input_File(int handle, const std::string& name);
    void Note_Identity();

    std::string File_Name;
    int Handle = -1;
    T_KYL_Fault_Plan* Faults;
    T_KYL_File_Identity Opened;
};

// An output written whole or not at all.  The bytes go to a new temporary
// file beside `name` (created exclusively, never through a link, readable by
// this user alone while written); Commit gives it its final attributes and
// renames it to `name` in one step, replacing whatever entry stood there (a
// link is replaced, never written through).  Until then the entry at `name`
// is untouched, and a destroyed or interrupted output leaves no trace.  A
// FIFO, device, socket or folder at `name` is refused at creation.  Every
// write is complete or raises an error (a full disk included), and errors
// name the output, not its temporary file.  Small writes are gathered and
// reach the file in large pieces.
class T_KYL_Output_File {
public:
    // `faults`, when given, must outlive the file.
    explicit T_KYL_Output_File(const std::string& name, T_KYL_Fault_Plan* faults = nullptr);
    ~T_KYL_Output_File();
    T_KYL_Output_File(const T_KYL_Output_File&) = delete;
    T_KYL_Output_File& operator=(const T_KYL_Output_File&) = delete;

    void Write(const std::uint8_t* data, std::size_t count);
    // Gives the file `attributes` (owner and group only where permitted;
    // the permission bits without setuid, setgid and sticky, which a copy
    // made by a compressor must not gain), closes it and renames it to its
    // name.
    void Commit(const T_KYL_File_Attributes& attributes);
    // True when an entry stood at the name when the output was created.
    bool Replaces_An_Entry() const { return Entry_Existed; }

    // Writes of fewer bytes than this are gathered.
    static constexpr std::size_t Gather_Size = std::size_t(1) << 18;

private:
    void Discard() noexcept;
    void Write_Through(const std::uint8_t* data, std::size_t count);
    void Write_Gathered();

    std::string File_Name;
    std::string Temporary_Name;
    int Handle = -1;
    int Cleanup_Slot = -1;
    bool Entry_Existed = false;
    T_KYL_Fault_Plan* Faults;
    std::vector<std::uint8_t> Gathered;
};

// Removes the temporary files of unfinished outputs when the process gets
// SIGINT, SIGTERM or SIGHUP, then ends it as the signal would have.  A signal
// that is ignored when this is called (at start-up) stays ignored.
void KYL_Remove_Outputs_On_Signals();

// Identity of the file a name reaches, as the file system compares names:
// the device and inode of an existing file (through links), or else the
// folder's device and inode and the last component.  Two names with equal
// keys write to the same file.
struct T_KYL_File_Key {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    std::string Entry;  // empty for an existing file
    auto operator<=>(const T_KYL_File_Key&) const = default;
};
T_KYL_File_Key KYL_File_Key(const std::string& name);

// True when `name` is a folder.
bool KYL_Is_Folder(const std::string& name);

// What stands at a name, links not followed.
enum class T_KYL_Entry_Kind { Missing, Regular, Folder, Link, Other };
T_KYL_Entry_Kind KYL_Entry_Kind(const std::string& name);
// The names in a folder ("." and ".." left out), in name order.
std::vector<std::string> KYL_Folder_Entries(const std::string& folder);
// Removes a file; raises a platform error naming it when that fails.
void KYL_Remove_File(const std::string& name);
// Removes the file at `name` only while it is still the file `opened`
// describes (the same device, inode, size and modification time: neither
// replaced nor written to since); returns false, removing nothing, when it
// is not.  A failed removal raises a platform error naming the file.
bool KYL_Remove_Unchanged_File(const std::string& name, const T_KYL_File_Identity& opened);
// True when the descriptor (0, 1, 2) is a terminal.
bool KYL_Is_Terminal(int descriptor);
// The width in columns of the terminal at `descriptor`; 0 when unknown.
std::size_t KYL_Terminal_Columns(int descriptor);
// True once after each change of the terminal's size (SIGWINCH), from the
// first call on; the handler only notes the change.  A SIGWINCH ignored at
// start-up stays ignored, and then this never turns true.
bool KYL_Terminal_Resized();

// Standard output for data: every write is complete or raises an error
// naming `name`; a reader that went away raises T_KYL_Broken_Pipe.
void KYL_Write_Standard_Output(const std::uint8_t* data, std::size_t count, const std::string& name);
// Removes the temporary files of unfinished outputs and ends the process by
// SIGPIPE (its default action restored), as a write to a closed pipe ends a
// program that does not ignore the signal.
[[noreturn]] void KYL_End_By_Broken_Pipe();

// The regular files (dot-files included, directories excluded) whose names
// match the name part of `pattern` ('*' and '?' wildcards, each standing for
// characters of the locale's encoding; letter case ignored by the locale's
// rules), in name order, each prefixed by the pattern's directory part.
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
// From byte `large_pages_from` on it is backed by large pages where the
// system offers them: the owner puts there what a block uses in full and
// reads at random, where small pages would cost a fault every 4 KiB and a
// translation miss at most reads.  A large page counts whole towards the
// resident memory as soon as one byte of it is touched, so the parts used
// a little at a time stay on small pages.  Throws std::bad_alloc when the
// memory cannot be had.
struct T_KYL_Memory_Release {
    std::size_t Size = 0;
    void operator()(std::uint8_t* memory) const;
};
using T_KYL_Block_Memory = std::unique_ptr<std::uint8_t[], T_KYL_Memory_Release>;
T_KYL_Block_Memory KYL_Allocate_Block_Memory(std::size_t size, std::size_t large_pages_from = 0);

// Starts `body` on a new thread that never receives the asynchronous signals
// (interrupt, termination, hang-up and the like): they reach the threads that
// own the files, where the handlers that remove unfinished outputs run.
// Throws T_KYL_Platform_Error when the system has no thread to give.
std::thread KYL_Start_Thread(std::function<void()> body);

// ------------------------------------------------------------- the machine

// The cores this process may run on (its affinity mask, as taskset or a
// container's CPU set leave it), at least 1.
unsigned KYL_Usable_Cores();

// The memory this process may still take, in bytes: the system's available
// memory (MemAvailable), or the limit of the memory cgroup it runs in (or of
// a cgroup above it) where that is smaller.  UINT64_MAX when the system
// tells neither.
std::uint64_t KYL_Available_Memory();

// The two readings behind KYL_Available_Memory, apart so that they can be
// tried on sample texts.  MemAvailable of a /proc/meminfo text, in bytes.
std::optional<std::uint64_t> KYL_Parse_Mem_Available(std::string_view meminfo);
// The files that hold the memory limits of the cgroups a process belongs to,
// from the texts of its /proc/self/cgroup and /proc/self/mountinfo: for
// cgroup v1 and v2 alike, its own cgroup's file first, then those of the
// cgroups above it up to the root of the mount.  A cgroup that no mount
// shows has none.
std::vector<std::string> KYL_Memory_Limit_Files(std::string_view cgroups, std::string_view mountinfo);

// Lower case by the locale's rules, multi-byte characters included; bytes
// that do not form a character stay as they are.
std::string KYL_Lower_Case(const std::string& text);
// The number of characters `text` shows in the locale's encoding.
std::size_t KYL_Character_Count(const std::string& text);

// Milliseconds from an arbitrary fixed point, for elapsed times.
std::int64_t KYL_Clock_Ms();
