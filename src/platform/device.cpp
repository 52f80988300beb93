#include "platform/device.h"

#include "platform/port_access.h"
#include "platform/posix_tty.h"
#include "platform/rfc2217_device.h"
#include "platform/simulated_device.h"
#include "platform/tcp_device.h"

#include <cerrno>
#include <cstring>

namespace vorl::platform {

int SystemErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return 0;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
    case ENOTTY: // a file, not a serial device
    case EISDIR:
        return kSysNoSuchDevice;
    case ENOTDIR:
        return kSysPathNotFound;
    case EBUSY:
    case EWOULDBLOCK:
        return kSysInUse;
    case EACCES:
    case EPERM:
        return kSysPermissionDenied;
    default:
        return err;
    }
}

bool IsLineLostErrno(int err) {
    switch (err) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
    case ECONNRESET:
    case ESHUTDOWN:
        return true;
    default:
        return false;
    }
}

std::string DeviceErrorText(int sysError, const std::string& path) {
    std::string on = path.empty() ? std::string() : " on " + path;
    switch (sysError) {
    case kSysNoSuchDevice:
        return "No such device" + on;
    case kSysPathNotFound:
        return "Path not found" + on;
    case kSysInUse:
        return "Device in use by another program" + on;
    case kSysPermissionDenied:
        if (path.empty()) {
            return "Permission denied (the user is probably not in the 'dialout' group)";
        }
        return PermissionDeniedText(QueryPortOwnership(path));
    default:
        return std::string(std::strerror(sysError)) + on;
    }
}

bool IsNetworkPath(const std::string& path) {
    return NetworkKindOf(path).has_value();
}

std::unique_ptr<Device> MakeDevice(const std::string& path) {
    if (path.rfind("sim:", 0) == 0)
        return std::make_unique<SimulatedDevice>(SimulatedLine::Find(path.substr(4)));
    if (auto kind = NetworkKindOf(path)) {
        if (*kind == NetworkKind::Rfc2217)
            return std::make_unique<Rfc2217Device>();
        return std::make_unique<TcpDevice>();
    }
    return std::make_unique<PosixTty>();
}

} // namespace vorl::platform
