// SPDX-License-Identifier: MIT
// Memory: the block memory, the memory the machine has available.
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
            Add_Limit_Files(*mount, line.substr(second + 1), version_2 ? "memory.max" : "memory.limit_in_bytes", files);
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
