#include "platform/KYL_Platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <new>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& action, const std::string& name, int error) {
    throw T_KYL_Platform_Error("cannot " + action + " \"" + name + "\": " + std::strerror(error));
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

// --------------------------------------------------------------- output file

T_KYL_Output_File::T_KYL_Output_File(const std::string& name, T_KYL_Fault_Plan* faults)
    : File_Name(name), Faults(faults) {
    Handle = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (Handle < 0) Fail("create", name, errno);
    Gathered.reserve(Gather_Size);
}

T_KYL_Output_File::~T_KYL_Output_File() {
    if (Handle >= 0) ::close(Handle);
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

void T_KYL_Output_File::Close() {
    if (Handle < 0) return;
    Write_Gathered();
    const int handle = std::exchange(Handle, -1);
    if (::close(handle) != 0) Fail("close", File_Name, errno);
}

// ---------------------------------------------------------- directory listing

namespace {

bool Same_Letter(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// Wildcard match, letter case ignored: '*' stands for any run of characters,
// '?' for any one.  "*.*" also matches names without a dot, as users expect.
bool Name_Matches(const std::string& pattern, const std::string& name) {
    if (pattern == "*.*") return true;
    std::size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && Same_Letter(pattern[p], name[n])))) {
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
    const std::size_t slash = pattern.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    const std::string name_pattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    std::vector<std::string> names;
    if (name_pattern.empty()) return names;
    DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || !Name_Matches(name_pattern, name)) continue;
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

// ------------------------------------------------------------------- console

void T_KYL_Console::Write(const std::string& text) { Stream << text; }
void T_KYL_Console::Line(const std::string& text) { Stream << text << "\r\n"; }
void T_KYL_Console::Flush() { Stream.flush(); }

// -------------------------------------------------------------- block memory

void T_KYL_Memory_Release::operator()(std::uint8_t* memory) const {
    if (memory != nullptr) ::munmap(memory, Size);
}

T_KYL_Block_Memory KYL_Allocate_Block_Memory(std::size_t size) {
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(memory, size, MADV_HUGEPAGE);  // a hint; small pages work too
#endif
    return T_KYL_Block_Memory(static_cast<std::uint8_t*>(memory), T_KYL_Memory_Release{size});
}

// --------------------------------------------------------------------- clock

std::int64_t KYL_Clock_Ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
