#include "engine/system.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#ifndef QUORVANE_VERSION
#error "QUORVANE_VERSION comes from the project version in CMakeLists.txt"
#endif

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

const char* programVersion() {
    return QUORVANE_VERSION;
}

std::string executableDirectory() {
    // The kernel's link to our own executable; a path longer than PATH_MAX could not be opened
    // anyway, so a bigger buffer would buy nothing.
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
        return std::string();
    std::string path(buffer, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    path.resize(slash + 1);
    return path;
}

std::string truncateUtf8(const std::string& text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    std::size_t end = maxBytes;
    // Back off over continuation bytes (10xxxxxx) to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

namespace {

// The process umask without changing it: umask() can only be read by setting it, which would
// briefly affect files other threads create, so the kernel's report is preferred.
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Umask:") {
            unsigned value = 0;
            if (status >> std::oct >> value)
                return static_cast<mode_t>(value);
            break;
        }
        status.ignore(4096, '\n');
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// The name of the temporary file a replace is writing, for a signal handler that must remove it
// before the process ends: a fixed buffer and a lock-free flag, because the handler may neither
// allocate nor lock.
char temporaryInFlight[PATH_MAX];
constexpr int kTemporaryFree = 0, kTemporaryFilling = 1, kTemporaryNamed = 2;
std::atomic<int> temporaryState{kTemporaryFree};
static_assert(std::atomic<int>::is_always_lock_free);

// The folder part of path with its slash, or empty for a bare name.
std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a replace of path replaces: the end of a symbolic link's chain, even one that does
// not exist yet. Empty for a chain that never ends.
std::string replacedFile(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return current;
        char link[PATH_MAX];
        const ssize_t length = readlink(current.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link)
            return std::string();
        // A relative link counts from its own folder; the kernel resolves the joined name the
        // same way, even through linked folders and "..".
        const std::string next(link, static_cast<std::size_t>(length));
        current = next[0] == '/' ? next : directoryOf(current) + next;
    }
    return std::string();
}

// Root passes, as it would opening the file.
bool mayOverwrite(const std::string& target) {
    return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0 || errno == ENOENT;
}

// Only root may give a file away; an owner can still keep the group it is in. File systems that
// have no modes refuse fchmod; the file is good all the same.
void adoptAttributes(int fd, const struct stat* previous) {
    mode_t mode = 0666 & ~currentUmask();
    if (previous != nullptr) {
        mode = previous->st_mode & 0777;
        if (fchown(fd, previous->st_uid, previous->st_gid) != 0 &&
            fchown(fd, static_cast<uid_t>(-1), previous->st_gid) != 0) {
            mode &= ~static_cast<mode_t>(070);
        }
    }
    (void)fchmod(fd, mode);
}

// The temporary file of one replace. Until it has replaced its target it is removed again, and
// while it exists a signal handler can find it.
struct TemporaryFile {
    std::string path;
    int fd = -1;
    bool announced = false;

    explicit TemporaryFile(const std::string& directory) : path(directory + ".quorvane-XXXXXX") {
        // A short name of its own: the target's name plus a suffix could exceed the file
        // system's name length, and only the folder matters for the rename.
        // The stop signals wait while the file exists unannounced: a handler on this thread
        // could not know its name, and one on another thread waits for the name (see
        // discardTemporaryFile).
        sigset_t stops, previous;
        sigemptyset(&stops);
        for (const int number : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&stops, number);
        pthread_sigmask(SIG_BLOCK, &stops, &previous);
        fd = mkostemp(path.data(), O_CLOEXEC);
        int expected = kTemporaryFree;
        if (fd >= 0 && path.size() < sizeof temporaryInFlight &&
            temporaryState.compare_exchange_strong(expected, kTemporaryFilling)) {
            std::memcpy(temporaryInFlight, path.c_str(), path.size() + 1);
            temporaryState.store(kTemporaryNamed);
            announced = true;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ~TemporaryFile() {
        if (fd >= 0) {
            close(fd);
            unlink(path.c_str());
        }
        withdraw();
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    void withdraw() {
        if (announced)
            temporaryState.store(kTemporaryFree);
        announced = false;
    }

    // Synced first, or a crash soon after the rename could leave an empty file where the old
    // one was; the folder after, so the rename lasts.
    bool replace(const std::string& target) {
        const bool synced = fsync(fd) == 0;
        // The descriptor is gone even when close reports an error.
        const bool closed = close(fd) == 0;
        fd = -1;
        if (!synced || !closed || std::rename(path.c_str(), target.c_str()) != 0) {
            unlink(path.c_str());
            withdraw();
            return false;
        }
        withdraw();
        const std::string directory = directoryOf(target);
        const int folder =
            open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            // Some file systems cannot sync a folder; the file itself is safe by now.
            (void)fsync(folder);
            close(folder);
        }
        return true;
    }
};

}  // namespace

int replaceFile(const std::string& path, const std::function<bool(const std::string&)>& write) {
    const std::string target = replacedFile(path);
    if (target.empty())
        return REPLACE_NO_TEMPORARY;
    struct stat previous {};
    const bool exists = stat(target.c_str(), &previous) == 0;
    TemporaryFile temporary(directoryOf(target));
    if (temporary.fd < 0)
        return REPLACE_NO_TEMPORARY;
    if (!write(temporary.path))
        return REPLACE_NOT_WRITTEN;
    // Only now: a writer may open the file by name, which a read-only mode would refuse, and
    // until it is complete the file is best kept private.
    adoptAttributes(temporary.fd, exists ? &previous : nullptr);
    return temporary.replace(target) ? REPLACE_DONE : REPLACE_NOT_SAVED;
}

bool mayReplaceFile(const std::string& path) {
    const std::string target = replacedFile(path);
    return !target.empty() && mayOverwrite(target);
}

void discardTemporaryFile() {
    // Filling lasts a copy of a name on a thread that holds the stop signals back, so this
    // handler runs elsewhere and the wait is short.
    int state = temporaryState.load();
    while (state == kTemporaryFilling)
        state = temporaryState.load();
    if (state == kTemporaryNamed)
        unlink(temporaryInFlight);
}
