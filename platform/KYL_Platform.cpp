#include "platform/KYL_Platform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iostream>
#include <new>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& action, const std::string& name, const std::string& reason) {
    throw T_KYL_Platform_Error("cannot " + action + " \"" + name + "\": " + reason);
}

[[noreturn]] void Fail(const std::string& action, const std::string& name, int error) {
    Fail(action, name, std::string(std::strerror(error)));
}

// Counts `count` bytes against an armed fault counter; true when the fault
// fires now.  A fired counter disarms itself.
bool Fault_Fires(std::int64_t& counter, std::size_t count, std::size_t& allowed) {
    allowed = count;
    if (counter < 0) return false;
    if (std::int64_t(count) <= counter) {
        counter -= std::int64_t(count);
        return false;
    }
    allowed = std::size_t(counter);
    counter = -1;
    return true;
}

T_KYL_File_Identity Identity_Of(const struct stat& info) {
    return {std::uint64_t(info.st_dev),          std::uint64_t(info.st_ino),
            std::int64_t(info.st_size),          std::int64_t(info.st_mtim.tv_sec),
            std::int64_t(info.st_mtim.tv_nsec), std::uint64_t(info.st_nlink)};
}

}  // namespace

// ---------------------------------------------------------------- input file

T_KYL_Input_File::T_KYL_Input_File(const std::string& name, T_KYL_Fault_Plan* faults)
    : File_Name(name), Faults(faults) {
    Handle = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (Handle < 0) Fail("open", name, errno);
    struct stat info {};
    if (::fstat(Handle, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(Handle);
        Handle = -1;
        Fail("open", name, EISDIR);
    }
    Note_Identity();
}

T_KYL_Input_File::T_KYL_Input_File(int handle, const std::string& name)
    : File_Name(name), Handle(handle), Faults(nullptr) {
    Note_Identity();
}

void T_KYL_Input_File::Note_Identity() {
    struct stat info {};
    if (::fstat(Handle, &info) == 0) Opened = Identity_Of(info);
}

T_KYL_Input_File::~T_KYL_Input_File() {
    if (Handle >= 0) ::close(Handle);
}

std::size_t T_KYL_Input_File::Read(std::uint8_t* buffer, std::size_t count) {
    std::size_t allowed = count;
    if (Faults && Fault_Fires(Faults->Read_Fails_After, count, allowed)) Fail("read", File_Name, EIO);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(Handle, buffer + done, count - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            Fail("read", File_Name, errno);
        }
        if (got == 0) break;  // end of file
        done += std::size_t(got);
    }
    return done;
}

bool T_KYL_Input_File::Is_Same_File(const std::string& name) const {
    struct stat mine {}, other {};
    if (::fstat(Handle, &mine) != 0 || ::stat(name.c_str(), &other) != 0) return false;
    return mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

std::unique_ptr<T_KYL_Input_File> T_KYL_Input_File::Standard_Input(const std::string& name) {
    const int handle = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (handle < 0) Fail("read", name, errno);
    return std::unique_ptr<T_KYL_Input_File>(new T_KYL_Input_File(handle, name));
}

std::int64_t T_KYL_Input_File::Size() const {
    struct stat info {};
    if (::fstat(Handle, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return std::int64_t(info.st_size);
}

T_KYL_File_Attributes T_KYL_Input_File::Attributes() const {
    T_KYL_File_Attributes attributes;
    struct stat info {};
    if (::fstat(Handle, &info) != 0) return attributes;
    attributes.Mode = std::uint32_t(info.st_mode & 07777);
    attributes.Owner = std::int64_t(info.st_uid);
    attributes.Group = std::int64_t(info.st_gid);
    attributes.Accessed_Seconds = std::int64_t(info.st_atim.tv_sec);
    attributes.Accessed_Nanoseconds = std::int64_t(info.st_atim.tv_nsec);
    attributes.Modified_Seconds = std::int64_t(info.st_mtim.tv_sec);
    attributes.Modified_Nanoseconds = std::int64_t(info.st_mtim.tv_nsec);
    attributes.Known = true;
    return attributes;
}

// ------------------------------------------------- removal of unfinished outputs

namespace {

// The temporary files of unfinished outputs, in a fixed table that a signal
// handler can walk without allocating or locking.  A slot's path is written
// before the slot is armed and read only while it is armed.
struct T_Cleanup_Slot {
    std::atomic<bool> Taken{false};
    std::atomic<bool> Armed{false};
    char Path[PATH_MAX] = {};
};
constexpr int Cleanup_Slot_Count = 64;
T_Cleanup_Slot Cleanup_Slots[Cleanup_Slot_Count];

int Arm_Cleanup(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int slot = 0; slot < Cleanup_Slot_Count; ++slot) {
        bool free = false;
        if (!Cleanup_Slots[slot].Taken.compare_exchange_strong(free, true)) continue;
        std::memcpy(Cleanup_Slots[slot].Path, path.c_str(), path.size() + 1);
        Cleanup_Slots[slot].Armed.store(true, std::memory_order_release);
        return slot;
    }
    return -1;
}

void Disarm_Cleanup(int slot) {
    if (slot < 0) return;
    Cleanup_Slots[slot].Armed.store(false, std::memory_order_release);
    Cleanup_Slots[slot].Taken.store(false, std::memory_order_release);
}

// Safe in a signal handler: no allocation, no lock.
void Remove_Unfinished_Outputs() {
    for (T_Cleanup_Slot& slot : Cleanup_Slots)
        if (slot.Armed.load(std::memory_order_acquire)) ::unlink(slot.Path);
}

extern "C" void Remove_Outputs_And_End(int signal_number) {
    Remove_Unfinished_Outputs();
    // The handler was installed to run once: the signal raised again now
    // ends the process with the status the signal gives.
    ::raise(signal_number);
}

constexpr int Cleanup_Signals[] = {SIGINT, SIGTERM, SIGHUP};

// Holds the cleanup signals back while a temporary file is created and
// entered in the table, or renamed and taken out of it, so that no signal
// sees a file that exists but is not (or no longer) in the table.
class T_Signals_Held {
public:
    T_Signals_Held() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal_number : Cleanup_Signals) sigaddset(&held, signal_number);
        pthread_sigmask(SIG_BLOCK, &held, &Before);
    }
    ~T_Signals_Held() { pthread_sigmask(SIG_SETMASK, &Before, nullptr); }
    T_Signals_Held(const T_Signals_Held&) = delete;
    T_Signals_Held& operator=(const T_Signals_Held&) = delete;

private:
    sigset_t Before;
};

std::string Folder_Part(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? "" : name.substr(0, slash + 1);
}

std::string Last_Component(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

void KYL_Remove_Outputs_On_Signals() {
    for (const int signal_number : Cleanup_Signals) {
        // A signal ignored when the program starts was ignored on purpose by
        // whoever started it (nohup, trap '' HUP): it stays ignored, and the
        // run goes on to a whole output.
        struct sigaction current {};
        if (::sigaction(signal_number, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = Remove_Outputs_And_End;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (const int other : Cleanup_Signals) sigaddset(&action.sa_mask, other);
        ::sigaction(signal_number, &action, nullptr);
    }
}

// --------------------------------------------------------------- output file

T_KYL_Output_File::T_KYL_Output_File(const std::string& name, T_KYL_Fault_Plan* faults)
    : File_Name(name), Faults(faults) {
    struct stat entry {};
    if (::lstat(name.c_str(), &entry) == 0) {
        Entry_Existed = true;
        if (S_ISDIR(entry.st_mode)) Fail("create", name, EISDIR);
        if (!S_ISREG(entry.st_mode) && !S_ISLNK(entry.st_mode)) Fail("create", name, "it is not a regular file");
    } else if (errno != ENOENT) {
        Fail("create", name, errno);
    }
    // A hidden name beside the output, so the rename stays within one folder
    // (and one file system); the component is cut to keep within NAME_MAX.
    std::string temporary = Folder_Part(name) + "." + Last_Component(name).substr(0, 200) + ".XXXXXX";
    const T_Signals_Held held;
    Handle = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (Handle < 0) Fail("create", name, errno);
    Temporary_Name = temporary;
    Cleanup_Slot = Arm_Cleanup(Temporary_Name);
    Gathered.reserve(Gather_Size);
}

T_KYL_Output_File::~T_KYL_Output_File() { Discard(); }

void T_KYL_Output_File::Discard() noexcept {
    const T_Signals_Held held;
    if (Handle >= 0) ::close(Handle);
    Handle = -1;
    if (!Temporary_Name.empty()) ::unlink(Temporary_Name.c_str());
    Temporary_Name.clear();
    Disarm_Cleanup(Cleanup_Slot);
    Cleanup_Slot = -1;
}

void T_KYL_Output_File::Write(const std::uint8_t* data, std::size_t count) {
    if (Gathered.size() + count <= Gather_Size) {
        Gathered.insert(Gathered.end(), data, data + count);
        return;
    }
    Write_Gathered();
    if (count < Gather_Size) Gathered.insert(Gathered.end(), data, data + count);
    else Write_Through(data, count);
}

void T_KYL_Output_File::Write_Gathered() {
    // Emptied on every exit, so that nothing is written twice after a failure.
    struct T_Empty_On_Exit {
        std::vector<std::uint8_t>& Bytes;
        ~T_Empty_On_Exit() { Bytes.clear(); }
    } empty_on_exit{Gathered};
    Write_Through(Gathered.data(), Gathered.size());
}

void T_KYL_Output_File::Write_Through(const std::uint8_t* data, std::size_t count) {
    if (count == 0) return;
    std::size_t allowed = count;
    const bool fails = Faults && Fault_Fires(Faults->Write_Fails_After, count, allowed);
    std::size_t short_allowed = count;
    const bool comes_short = Faults && Fault_Fires(Faults->Write_Short_After, count, short_allowed);
    if (fails) Fail("write", File_Name, EIO);
    const std::size_t limit = comes_short ? short_allowed : count;
    std::size_t done = 0;
    while (done < limit) {
        const ssize_t put = ::write(Handle, data + done, limit - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            Fail("write", File_Name, errno);
        }
        if (put == 0) break;
        done += std::size_t(put);
    }
    if (done < count) Fail("write", File_Name, ENOSPC);
}

void T_KYL_Output_File::Commit(const T_KYL_File_Attributes& attributes) {
    Write_Gathered();
    if (attributes.Known) {
        // Owner and group first, the mode after them.  Only the owner (or
        // root) may give a file away; without that right the group alone is
        // tried, then nothing.
        if (::fchown(Handle, uid_t(attributes.Owner), gid_t(attributes.Group)) != 0 &&
            ::fchown(Handle, uid_t(-1), gid_t(attributes.Group)) != 0) {
            // Neither is permitted: the output keeps this user's owner and group.
        }
        // A compressed or expanded copy is data, not the program or shared
        // folder its input may have been: it never runs as its owner or group.
        if (::fchmod(Handle, mode_t(attributes.Mode & 0777)) != 0) Fail("create", File_Name, errno);
        const struct timespec times[2] = {
            {time_t(attributes.Accessed_Seconds), long(attributes.Accessed_Nanoseconds)},
            {time_t(attributes.Modified_Seconds), long(attributes.Modified_Nanoseconds)}};
        if (::futimens(Handle, times) != 0) Fail("create", File_Name, errno);
    }
    const int handle = std::exchange(Handle, -1);
    if (::close(handle) != 0) Fail("write", File_Name, errno);
    const T_Signals_Held held;
    if (::rename(Temporary_Name.c_str(), File_Name.c_str()) != 0) Fail("create", File_Name, errno);
    Temporary_Name.clear();
    Disarm_Cleanup(Cleanup_Slot);
    Cleanup_Slot = -1;
}

T_KYL_File_Key KYL_File_Key(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0) return {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), ""};
    const std::string folder = Folder_Part(name);
    if (::stat(folder.empty() ? "." : folder.c_str(), &info) == 0)
        return {std::uint64_t(info.st_dev), std::uint64_t(info.st_ino), "/" + Last_Component(name)};
    return {0, 0, name};
}

bool KYL_Is_Folder(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

T_KYL_Entry_Kind KYL_Entry_Kind(const std::string& name) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0) return T_KYL_Entry_Kind::Missing;
    if (S_ISREG(info.st_mode)) return T_KYL_Entry_Kind::Regular;
    if (S_ISDIR(info.st_mode)) return T_KYL_Entry_Kind::Folder;
    if (S_ISLNK(info.st_mode)) return T_KYL_Entry_Kind::Link;
    return T_KYL_Entry_Kind::Other;
}

std::vector<std::string> KYL_Folder_Entries(const std::string& folder) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) Fail("open", folder, errno);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

void KYL_Remove_File(const std::string& name) {
    if (::unlink(name.c_str()) != 0) Fail("remove", name, errno);
}

bool KYL_Remove_Unchanged_File(const std::string& name, const T_KYL_File_Identity& opened) {
    // The name is followed as it was when opened: a link named as input
    // leads to the file that was read, and the link goes with it.
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) return false;
    const T_KYL_File_Identity now = Identity_Of(info);
    if (now.Device != opened.Device || now.Inode != opened.Inode || now.Size != opened.Size ||
        now.Modified_Seconds != opened.Modified_Seconds || now.Modified_Nanoseconds != opened.Modified_Nanoseconds)
        return false;
    KYL_Remove_File(name);
    return true;
}

bool KYL_Is_Terminal(int descriptor) { return ::isatty(descriptor) == 1; }

std::size_t KYL_Terminal_Columns(int descriptor) {
    struct winsize size {};
    if (::ioctl(descriptor, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

namespace {

volatile std::sig_atomic_t Terminal_Size_Changed = 0;

extern "C" void Note_Terminal_Resize(int) { Terminal_Size_Changed = 1; }

// Installs the handler on the first call.  SA_RESTART: the reads and writes
// in progress go on as if nothing had come.
void Watch_Terminal_Size() {
    struct sigaction before {};
    if (::sigaction(SIGWINCH, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
    struct sigaction action {};
    action.sa_handler = Note_Terminal_Resize;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGWINCH, &action, nullptr);
}

}  // namespace

bool KYL_Terminal_Resized() {
    static const bool watched = (Watch_Terminal_Size(), true);
    (void)watched;
    const bool changed = Terminal_Size_Changed != 0;
    Terminal_Size_Changed = 0;
    return changed;
}

void KYL_Write_Standard_Output(const std::uint8_t* data, std::size_t count, const std::string& name) {
    while (count > 0) {
        const ssize_t put = ::write(STDOUT_FILENO, data, count);
        if (put < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) throw T_KYL_Broken_Pipe("cannot write \"" + name + "\": " + std::strerror(errno));
            Fail("write", name, errno);
        }
        data += put;
        count -= std::size_t(put);
    }
}

void KYL_End_By_Broken_Pipe() {
    Remove_Unfinished_Outputs();
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe_signal, nullptr);
    ::raise(SIGPIPE);
    ::_exit(128 + SIGPIPE);  // not reached: the signal's default action ends the process
}

// ---------------------------------------------------------- directory listing

namespace {

// A character of the locale's encoding, or a byte that forms none, kept
// apart from every character so that it matches only itself.
constexpr std::uint32_t Stray_Byte = 0x80000000u;

// Walks `text` one character of the locale's encoding at a time, calling
// visit(character, first, length) with the character folded to lower case,
// or with -1 for a byte that forms none (which then stands alone).
template <class T_Visit>
void Walk_Lower_Characters(const std::string& text, T_Visit&& visit) {
    std::mbstate_t state{};
    for (std::size_t at = 0; at < text.size();) {
        wchar_t character = 0;
        std::size_t length = std::mbrtowc(&character, text.data() + at, text.size() - at, &state);
        if (length == std::size_t(-1) || length == std::size_t(-2)) {
            visit(std::wint_t(-1), at, std::size_t(1));
            state = std::mbstate_t{};
            ++at;
            continue;
        }
        if (length == 0) length = 1;  // a NUL byte
        visit(std::towlower(std::wint_t(character)), at, length);
        at += length;
    }
}

std::vector<std::uint32_t> Characters_Of(const std::string& text) {
    std::vector<std::uint32_t> characters;
    Walk_Lower_Characters(text, [&](std::wint_t lower, std::size_t at, std::size_t) {
        characters.push_back(lower == std::wint_t(-1) ? Stray_Byte | static_cast<unsigned char>(text[at])
                                                       : std::uint32_t(lower));
    });
    return characters;
}

// Wildcard match over characters already folded to lower case: '*' stands
// for any run of characters, '?' for any one.  "*.*" also matches names
// without a dot, as users expect.
bool Name_Matches(const std::vector<std::uint32_t>& pattern, const std::vector<std::uint32_t>& name) {
    static const std::vector<std::uint32_t> any = {'*', '.', '*'};
    if (pattern == any) return true;
    std::size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && pattern[p] == name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace

std::vector<std::string> KYL_List_Files(const std::string& pattern) {
    const std::string directory = Folder_Part(pattern);
    const std::vector<std::uint32_t> name_pattern = Characters_Of(Last_Component(pattern));
    std::vector<std::string> names;
    if (name_pattern.empty()) return names;
    DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || !Name_Matches(name_pattern, Characters_Of(name))) continue;
        struct stat info {};
        if (::stat((directory + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(name);
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    for (std::string& name : names) name = directory + name;
    return names;
}

std::int64_t KYL_File_Size(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) return -1;
    return std::int64_t(info.st_size);
}

// -------------------------------------------------------------------- text

std::string KYL_Lower_Case(const std::string& text) {
    std::string lower;
    lower.reserve(text.size());
    Walk_Lower_Characters(text, [&](std::wint_t character, std::size_t at, std::size_t length) {
        char encoded[MB_LEN_MAX];
        std::mbstate_t state{};
        const std::size_t written =
            character == std::wint_t(-1) ? std::size_t(-1) : std::wcrtomb(encoded, wchar_t(character), &state);
        if (written == std::size_t(-1)) lower.append(text, at, length);
        else lower.append(encoded, written);
    });
    return lower;
}

std::size_t KYL_Character_Count(const std::string& text) { return Characters_Of(text).size(); }

// ------------------------------------------------------------------- console

void T_KYL_Console::Write(const std::string& text) { Stream << text; }
void T_KYL_Console::Line(const std::string& text) { Stream << text << "\r\n"; }
void T_KYL_Console::Flush() { Stream.flush(); }

// -------------------------------------------------------------- block memory

void T_KYL_Memory_Release::operator()(std::uint8_t* memory) const {
    if (memory != nullptr) ::munmap(memory, Size);
}

T_KYL_Block_Memory KYL_Allocate_Block_Memory(std::size_t size, std::size_t large_pages_from) {
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // A hint, from the first whole page on; small pages work too.
    const auto page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
    const auto from = (reinterpret_cast<std::uintptr_t>(memory) + large_pages_from + page - 1) / page * page;
    const auto end = reinterpret_cast<std::uintptr_t>(memory) + size;
    if (from < end) ::madvise(reinterpret_cast<void*>(from), end - from, MADV_HUGEPAGE);
#endif
    return T_KYL_Block_Memory(static_cast<std::uint8_t*>(memory), T_KYL_Memory_Release{size});
}

// ------------------------------------------------------------------- threads

std::thread KYL_Start_Thread(std::function<void()> body) {
    // A new thread inherits its creator's signal mask: every signal a thread
    // may take from another is held back while it is created, then released
    // again in the creator alone.  Faults (SIGSEGV and the like) stay with the
    // thread that causes them.
    sigset_t held;
    sigfillset(&held);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&held, fault);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &held, &before);
    try {
        std::thread thread(std::move(body));
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return thread;
    } catch (const std::system_error& error) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw T_KYL_Platform_Error(std::string("cannot start a thread: ") + error.what());
    }
}

// --------------------------------------------------------------- the machine

namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find(separator, at), text.size());
        pieces.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return pieces;
}

bool Has_Item(std::string_view list, std::string_view item) {
    for (const std::string_view piece : Split(list, ','))
        if (piece == item) return true;
    return false;
}

// The number at the start of `text` after blanks; nothing when none starts
// there ("max", say) or it passes 64 bits.
std::optional<std::uint64_t> Leading_Number(std::string_view text) {
    const std::size_t start = std::min(text.find_first_not_of(" \t"), text.size());
    std::uint64_t value = 0;
    const auto result = std::from_chars(text.data() + start, text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr == text.data() + start) return std::nullopt;
    return value;
}

// The whole of a small file (the kernel's files report no size); nothing
// when it cannot be read.
std::optional<std::string> Read_Small_File(const char* name) {
    const int handle = ::open(name, O_RDONLY | O_CLOEXEC);
    if (handle < 0) return std::nullopt;
    std::string text;
    char piece[4096];
    ssize_t got = 0;
    while ((got = ::read(handle, piece, sizeof piece)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        text.append(piece, std::size_t(got));
    }
    ::close(handle);
    if (got < 0) return std::nullopt;
    return text;
}

// A path of mountinfo, where a space, tab, newline or backslash is written
// as a backslash and three octal digits.
std::string Unescape_Mount_Path(std::string_view path) {
    const auto octal = [path](std::size_t at) { return path[at] >= '0' && path[at] <= '7'; };
    std::string plain;
    for (std::size_t at = 0; at < path.size(); ++at) {
        if (path[at] == '\\' && path.size() - at > 3 && octal(at + 1) && octal(at + 2) && octal(at + 3)) {
            plain += char((path[at + 1] - '0') * 64 + (path[at + 2] - '0') * 8 + (path[at + 3] - '0'));
            at += 3;
        } else {
            plain += path[at];
        }
    }
    return plain;
}

struct T_Cgroup_Mount {
    std::string Root;   // the cgroup the mount shows at its top
    std::string Point;  // where it is mounted
};

// The mount of the cgroup v2 tree, or of the v1 hierarchy that holds the
// memory controller.  A mountinfo line is "id parent device root point
// options [tags...] - type source super-options".
std::optional<T_Cgroup_Mount> Find_Cgroup_Mount(std::string_view mountinfo, bool version_2) {
    for (const std::string_view line : Split(mountinfo, '\n')) {
        const std::vector<std::string_view> fields = Split(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - dash < 4) continue;
        const std::string_view type = dash[1], super_options = dash[3];
        if (version_2 ? type == "cgroup2" : type == "cgroup" && Has_Item(super_options, "memory"))
            return T_Cgroup_Mount{Unescape_Mount_Path(fields[3]), Unescape_Mount_Path(fields[4])};
    }
    return std::nullopt;
}

// The limit files of the cgroup at `path` and of those above it, as far up
// as `mount` shows them.
void Add_Limit_Files(const T_Cgroup_Mount& mount, std::string_view path, const std::string& file_name,
                     std::vector<std::string>& files) {
    // A cgroup outside the part of the tree the mount shows (a path that
    // climbs out of a namespace's root, say) has no files here.
    if (path.find("/..") != std::string_view::npos) return;
    const std::string_view root = mount.Root == "/" ? "" : std::string_view(mount.Root);
    if (!path.starts_with(root) || (path.size() > root.size() && path[root.size()] != '/')) return;
    std::string below(path.substr(root.size()));
    while (!below.empty() && below.back() == '/') below.pop_back();
    for (;;) {
        files.push_back(mount.Point + below + "/" + file_name);
        if (below.empty()) return;
        below.erase(below.find_last_of('/'));
    }
}

}  // namespace

unsigned KYL_Usable_Cores() {
    // The set is sized for 1024 cores and grown while the system finds it
    // too small for its own.
    for (int cores = 1024; cores <= (1 << 16); cores *= 2) {
        const std::unique_ptr<cpu_set_t, void (*)(cpu_set_t*)> set(CPU_ALLOC(cores), [](cpu_set_t* s) { CPU_FREE(s); });
        if (!set) break;
        const std::size_t size = CPU_ALLOC_SIZE(cores);
        if (::sched_getaffinity(0, size, set.get()) == 0) return unsigned(std::max(CPU_COUNT_S(size, set.get()), 1));
        if (errno != EINVAL) break;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

std::optional<std::uint64_t> KYL_Parse_Mem_Available(std::string_view meminfo) {
    constexpr std::string_view key = "MemAvailable:";
    for (const std::string_view line : Split(meminfo, '\n')) {
        if (!line.starts_with(key)) continue;
        // The value is in kibibytes ("kB").
        const std::optional<std::uint64_t> value = Leading_Number(line.substr(key.size()));
        if (!value || *value > UINT64_MAX / 1024) return std::nullopt;
        return *value * 1024;
    }
    return std::nullopt;
}

std::vector<std::string> KYL_Memory_Limit_Files(std::string_view cgroups, std::string_view mountinfo) {
    std::vector<std::string> files;
    for (const std::string_view line : Split(cgroups, '\n')) {
        // "hierarchy:controllers:path"; the v2 tree is hierarchy 0 and names
        // no controllers.
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const bool version_2 = line.substr(0, first) == "0" && controllers.empty();
        if (!version_2 && !Has_Item(controllers, "memory")) continue;
        if (const std::optional<T_Cgroup_Mount> mount = Find_Cgroup_Mount(mountinfo, version_2))
            Add_Limit_Files(*mount, line.substr(second + 1), version_2 ? "memory.max" : "memory.limit_in_bytes",
                            files);
    }
    return files;
}

// A limit of "max" (v2) or a file that is missing (a controller the tree
// does not hold, the root of v2) sets nothing; v1 writes "no limit" as a
// number near 2^63, which any MemAvailable is below.
std::uint64_t KYL_Available_Memory() {
    std::uint64_t available = UINT64_MAX;
    if (const std::optional<std::string> meminfo = Read_Small_File("/proc/meminfo"))
        available = KYL_Parse_Mem_Available(*meminfo).value_or(available);
    const std::optional<std::string> cgroups = Read_Small_File("/proc/self/cgroup");
    const std::optional<std::string> mountinfo = Read_Small_File("/proc/self/mountinfo");
    if (!cgroups || !mountinfo) return available;
    for (const std::string& name : KYL_Memory_Limit_Files(*cgroups, *mountinfo))
        if (const std::optional<std::string> limit = Read_Small_File(name.c_str()))
            available = std::min(available, Leading_Number(*limit).value_or(available));
    return available;
}

// --------------------------------------------------------------------- clock

std::int64_t KYL_Clock_Ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
