// SPDX-License-Identifier: MIT
// Files: input and output files, their names and identities, folders and the listing of a wildcard.
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
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KYL_Platform_Detail.h"

using namespace kyl_platform_detail;

namespace kyl_platform_detail {

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
    return {std::uint64_t(info.st_dev),        std::uint64_t(info.st_ino),         std::int64_t(info.st_size),
            std::int64_t(info.st_mtim.tv_sec), std::int64_t(info.st_mtim.tv_nsec), std::uint64_t(info.st_nlink)};
}

}  // namespace kyl_platform_detail

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
    struct stat mine {};
    struct stat other {};
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

namespace {

std::string Folder_Part(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? "" : name.substr(0, slash + 1);
}

std::string Last_Component(const std::string& name) {
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

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
        const struct timespec times[2] = {{time_t(attributes.Accessed_Seconds), long(attributes.Accessed_Nanoseconds)},
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

// ---------------------------------------------------------- directory listing

namespace {

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
