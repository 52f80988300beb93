#include "platform/port_access.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vorl::platform {

PortOwnership QueryPortOwnership(const std::string& path) {
    PortOwnership port;
    port.device = path;
    if (const passwd* pw = ::getpwuid(::geteuid())) {
        port.user = pw->pw_name;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return port;
    }
    port.groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (const passwd* owner = ::getpwuid(st.st_uid)) {
        port.owner = owner->pw_name;
    } else {
        port.owner = std::to_string(st.st_uid);
    }
    port.inGroup = ::getegid() == st.st_gid;
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(count));
        const int got = ::getgroups(count, groups.data());
        for (int i = 0; i < got; ++i) {
            port.inGroup = port.inGroup || groups[static_cast<size_t>(i)] == st.st_gid;
        }
    }
    if (const group* gr = ::getgrgid(st.st_gid)) {
        port.group = gr->gr_name;
        for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member) {
            port.listedInGroup = port.listedInGroup || port.user == *member;
        }
    } else {
        port.group = std::to_string(st.st_gid);
    }
    return port;
}

std::string PermissionDeniedText(const PortOwnership& port) {
    const std::string head = "Permission denied on " + port.device;
    if (port.group.empty()) {
        return head;
    }
    if (!port.groupMayUse) {
        // Joining its group would not help: say whose it is.
        return head + ": it belongs to the user '" + port.owner + "' and the group '" + port.group +
               "', and that group may not read and write it";
    }
    if (port.inGroup) {
        return head; // the group is not what is missing
    }
    const std::string group = "'" + port.group + "'";
    if (port.listedInGroup) {
        return head + ": the user was added to the group " + group +
               " that owns it, which takes effect at the next login (log out and in again)";
    }
    const std::string user = port.user.empty() ? "USER" : port.user;
    return head + ": the user is not in the group " + group +
           " that owns it (an administrator adds it with: usermod -aG " + port.group + " " + user +
           "; then log in again)";
}

std::string NoAccessNote(const PortOwnership& port) {
    if (!port.group.empty() && port.groupMayUse && !port.inGroup) {
        return port.listedInGroup ? "no access: log in again for group '" + port.group + "'"
                                  : "no access: not in group '" + port.group + "'";
    }
    return "no access";
}

bool DeviceMayBePresent(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(path, ec);
    if (ec) {
        return false;
    }
    // The kernel reports a port without a UART as type 0.
    std::ifstream type("/sys/class/tty/" + real.filename().string() + "/type");
    int value = -1;
    return !(type >> value) || value != 0;
}

} // namespace vorl::platform
