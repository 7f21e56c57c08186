// What the program asks of the operating system, in one place for every layer.
//
// Plain functions over Linux interfaces; none reports through the message channels (callers
// decide what a failure means to the user).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The program's version, as the project version in the top-level CMakeLists.txt gives it.
const char* programVersion();

// The folder of the running executable with its trailing slash; empty when the kernel cannot
// name it (a path longer than PATH_MAX).
std::string executableDirectory();

// text cut to at most maxBytes bytes, never inside a UTF-8 character.
std::string truncateUtf8(const std::string& text, std::size_t maxBytes);

// Replacing a file whole. The new contents go to a temporary file in the replaced file's
// folder, which is synced, renamed over it and the folder synced, so a failed or interrupted
// save never leaves a damaged file where a good one was. The file replaced is the end of a
// symbolic link's chain (the link stays, the file at its end is replaced even when it does not
// exist yet). The replacement keeps the permission bits of the file it replaces and, where we
// may set them, its owner and group (group bits are dropped with a group we could not keep); a
// new file gets 0666 under the umask. Other hard links keep the old contents.
enum ReplaceResult : int {
    REPLACE_DONE = 0,
    REPLACE_NO_TEMPORARY = -1,  // no file could be created there (or the link chain never ends)
    REPLACE_NOT_WRITTEN = -2,   // write returned false
    REPLACE_NOT_SAVED = -3,     // the sync, close or rename failed
};
// Calls write with the temporary file's path (created empty, mode 0600 until it is complete,
// so the writer may open it by name); true means the contents are complete. On any failure
// the previous file is untouched and no temporary file stays. Does not check mayReplaceFile.
int replaceFile(const std::string& path, const std::function<bool(const std::string&)>& write);
// false when a replace of path would overwrite a file we may not write (the rename needs
// permission only on the folder) or its link chain never ends; touches nothing.
bool mayReplaceFile(const std::string& path);
// Removes the temporary file of the replace under way, if any, so a process about to die of a
// signal leaves none behind. Async-signal-safe. One replace at a time is tracked; a concurrent
// one is not.
void discardTemporaryFile();

// Memory the system can actually hand out now, in bytes: available RAM and swap, capped by
// the process's cgroup limits and its address-space limit.
int64_t availableMemory();
// The room the memory limits of the process's cgroups (v2, or v1's memory controller) and
// their ancestors leave: the smallest limit minus usage, or -1 when none is set. Files are
// read under root ("" for the real system: root + "/proc/self/cgroup", root +
// "/sys/fs/cgroup/...").
int64_t cgroupMemoryRoom(const std::string& root);
