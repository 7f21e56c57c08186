// What the program asks of the operating system, in one place for every layer.
//
// Plain functions over Linux interfaces; none reports through the message channels (callers
// decide what a failure means to the user).
#pragma once

#include <cstdint>
#include <string>

// Memory the system can actually hand out now, in bytes: available RAM and swap, capped by
// the process's cgroup limits and its address-space limit.
int64_t availableMemory();
// The room the memory limits of the process's cgroups (v2, or v1's memory controller) and
// their ancestors leave: the smallest limit minus usage, or -1 when none is set. Files are
// read under root ("" for the real system: root + "/proc/self/cgroup", root +
// "/sys/fs/cgroup/...").
int64_t cgroupMemoryRoom(const std::string& root);
