// Who may open a serial device: the group that owns it and whether the user
// has it, so that a refused open can say what to ask the administrator for
// instead of only "permission denied".
#pragma once

#include <string>

namespace vorl::platform {

struct PortOwnership {
    std::string device;       // the path examined
    std::string group;        // the owning group's name (its number if it has none); empty: unknown
    bool groupMayUse = false; // the group may read and write the device
    bool inGroup = false;     // this process has the group
    bool listedInGroup = false; // the group database lists the user (added after this login)
    std::string user;           // the user's login name
    std::string owner;          // the device's owner (its number if it has no name)
};

// Examines `path` (following links) and the process's groups.
PortOwnership QueryPortOwnership(const std::string& path);

// The message of an open refused for lack of permission, naming the group
// the user would need, e.g. "Permission denied on /dev/ttyS0: the user is not
// in the group 'dialout' that owns it (...)". A device its group may not use
// is named with its real owner and group, never a guessed group.
std::string PermissionDeniedText(const PortOwnership& port);

// The same in a few words for a list of ports, e.g. "no access: not in group
// 'dialout'".
std::string NoAccessNote(const PortOwnership& port);

// False for a serial device the kernel lists without hardware behind it (the
// placeholders /dev/ttyS0 ... of a computer with fewer serial ports).
bool DeviceMayBePresent(const std::string& path);

} // namespace vorl::platform
