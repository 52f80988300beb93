#include "platform/device.h"

#include "platform/error_codes.h"

#include "platform/port_access.h"
#include "platform/posix_tty.h"
#include "platform/rfc2217_device.h"
#include "platform/simulated_device.h"
#include "platform/tcp_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

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
            return "Permission denied";
        }
        return PermissionDeniedText(QueryPortOwnership(path));
    default:
        return std::string(std::strerror(sysError)) + on;
    }
}

std::chrono::nanoseconds CharacterTime(const LineSettings& s) {
    const uint32_t bits =
        1u + s.byteSize + (s.parity ? 1 : 0) + (s.stopBits == kOneStopBit ? 1 : 2);
    return std::chrono::nanoseconds(uint64_t(bits) * 1000000000ull / (s.baud ? s.baud : 9600));
}

int Device::drain(int graceMs) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(std::max(graceMs, 0));
    for (;;) {
        if (!isOpen())
            return ecNotOpen;
        if (outputQueued() == 0)
            return 0;
        if (steady_clock::now() >= deadline)
            return ecTimeout;
        // A look every few milliseconds: the queue gives no notice of its own.
        std::this_thread::sleep_for(milliseconds(5));
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
