#include "engine/system.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

namespace {

// Reads one "Name:   value kB" line of /proc/meminfo, in bytes; -1 when absent.
int64_t meminfoValue(const std::string& meminfo, const char* name) {
    const std::size_t at = meminfo.find(name);
    if (at == std::string::npos)
        return -1;
    const char* text = meminfo.c_str() + at + std::strlen(name);
    char* end = nullptr;
    const long long kb = std::strtoll(text, &end, 10);
    if (end == text || kb < 0)
        return -1;
    return static_cast<int64_t>(kb) * 1024;
}

int64_t readSmallFileNumber(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max")
        return -1;
    char* end = nullptr;
    const long long value = std::strtoll(word.c_str(), &end, 10);
    return (end == word.c_str() || value < 0) ? -1 : static_cast<int64_t>(value);
}

// The room under one cgroup's limit; -1 when it sets none. A limit above the machine's memory
// is none: cgroup v1 writes "unlimited" as a huge number.
int64_t cgroupRoom(const std::string& limitFile, const std::string& usageFile, int64_t physical) {
    const int64_t limit = readSmallFileNumber(limitFile);
    if (limit < 0 || limit > physical)
        return -1;
    const int64_t usage = readSmallFileNumber(usageFile);
    return usage < 0 ? limit : limit > usage ? limit - usage : 0;
}

// The smallest room under the limits of a cgroup and each of its ancestors: a parent's limit
// binds its children whatever theirs say. mount is the hierarchy's directory, path the
// cgroup's as /proc/self/cgroup gives it.
int64_t smallestRoomUp(const std::string& mount, std::string path, const char* limitName,
                       const char* usageName, int64_t physical) {
    // A path outside the namespace's view ("/../..") has no directory under the mount; the
    // mount's own files are still the innermost visible limit.
    if (path.find("/..") != std::string::npos || path.empty() || path[0] != '/')
        path = "/";
    int64_t smallest = -1;
    for (;;) {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        const std::string dir = mount + (path == "/" ? "" : path) + "/";
        const int64_t room = cgroupRoom(dir + limitName, dir + usageName, physical);
        if (room >= 0 && (smallest < 0 || room < smallest))
            smallest = room;
        if (path == "/")
            return smallest;
        path.erase(std::max<std::size_t>(path.rfind('/'), 1));
    }
}

// Memory the system can actually hand out now. Linux over-commits anonymous mappings, so a
// block that does not fit would be granted and the process killed later when touched.
}  // namespace

int64_t availableMemory() {
    std::ifstream in("/proc/meminfo");
    const std::string meminfo((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    int64_t available = meminfoValue(meminfo, "MemAvailable:");
    if (available < 0)
        return std::numeric_limits<int64_t>::max();
    const int64_t swap = meminfoValue(meminfo, "SwapFree:");
    if (swap > 0)
        available += swap;
    // A container's own limit is often far below the host's free memory.
    const int64_t limitRoom = cgroupMemoryRoom("");
    if (limitRoom >= 0 && limitRoom < available)
        available = limitRoom;
    // An address-space limit (ulimit -v) caps what can be mapped, whatever the machine has.
    struct rlimit addressSpace {};
    if (getrlimit(RLIMIT_AS, &addressSpace) == 0 && addressSpace.rlim_cur != RLIM_INFINITY) {
        std::ifstream statm("/proc/self/statm");
        int64_t pages = -1;
        if (statm >> pages && pages >= 0) {
            const int64_t cap = static_cast<int64_t>(
                std::min<rlim_t>(addressSpace.rlim_cur, std::numeric_limits<int64_t>::max()));
            const int64_t used = pages * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
            const int64_t room = cap > used ? cap - used : 0;
            if (room < available)
                available = room;
        }
    }
    return available;
}

int64_t cgroupMemoryRoom(const std::string& root) {
    const int64_t pages = sysconf(_SC_PHYS_PAGES);
    const int64_t pageSize = sysconf(_SC_PAGESIZE);
    const int64_t physical =
        pages > 0 && pageSize > 0 ? pages * pageSize : std::numeric_limits<int64_t>::max();
    // Lines are "id:controllers:path": "0::path" for the unified (v2) hierarchy, a
    // comma-separated list holding "memory" for v1's memory controller.
    std::string unifiedPath = "/";
    std::string memoryPath = "/";
    std::ifstream in(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const std::string path = line.substr(second + 1);
        if (line.compare(0, second + 1, "0::") == 0) {
            unifiedPath = path;
        } else if (controllers.find(",memory,") != std::string::npos) {
            memoryPath = path;
        }
    }
    const int64_t unified = smallestRoomUp(root + "/sys/fs/cgroup", unifiedPath, "memory.max",
                                           "memory.current", physical);
    const int64_t v1 = smallestRoomUp(root + "/sys/fs/cgroup/memory", memoryPath,
                                      "memory.limit_in_bytes", "memory.usage_in_bytes", physical);
    return unified < 0 ? v1 : v1 < 0 ? unified : std::min(unified, v1);
}
