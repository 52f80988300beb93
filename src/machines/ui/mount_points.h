// The "drives" of the directory browser on Linux: the root and every mounted
// file system that holds files of the operator's (a block device or a network
// share), read from the kernel's mount table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorl {

// Mount points of the real file systems in a mount table in the format of
// /proc/self/mounts ("device mountpoint type options dump pass" per line, with
// blanks and backslashes in names written as octal escapes). "/" always comes
// first; each mount point is listed once, the others in name order. Pseudo file
// systems (proc, sysfs, tmpfs, cgroup, ...) are left out.
std::vector<std::string> RealMountPoints(std::string_view mountTable);

// RealMountPoints of this process's mount table ("/" alone when it cannot be read).
std::vector<std::string> CurrentMountPoints();

} // namespace vorl
