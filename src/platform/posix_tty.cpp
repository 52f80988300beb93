#include "platform/posix_tty.h"

// First cut: every operation reports that the device is not there yet.
namespace vorl::platform {

PosixTty::PosixTty() = default;
PosixTty::~PosixTty() = default;
int PosixTty::open(const std::string&) {
    return kSysNoSuchDevice;
}
void PosixTty::close() {}
bool PosixTty::isOpen() const {
    return false;
}
int PosixTty::setQueueSizes(uint32_t, uint32_t) {
    return kSysNoSuchDevice;
}
int PosixTty::getLineSettings(LineSettings&) {
    return kSysNoSuchDevice;
}
int PosixTty::setLineSettings(const LineSettings&) {
    return kSysNoSuchDevice;
}
long PosixTty::read(uint8_t*, size_t) {
    return -1;
}
long PosixTty::write(const uint8_t*, size_t) {
    return -1;
}
WaitResult PosixTty::waitInput(bool, int) {
    return WaitResult::Failed;
}
WaitResult PosixTty::waitOutput(int) {
    return WaitResult::Failed;
}
void PosixTty::wakeInput() {}
void PosixTty::wakeOutput() {}
uint8_t PosixTty::modemLines() {
    return 0;
}
bool PosixTty::hasModemLines() {
    return false;
}
int PosixTty::setDtr(bool) {
    return kSysNoSuchDevice;
}
int PosixTty::setRts(bool) {
    return kSysNoSuchDevice;
}
int PosixTty::setBreak(bool) {
    return kSysNoSuchDevice;
}
int PosixTty::purge(unsigned) {
    return kSysNoSuchDevice;
}
DeviceStatus PosixTty::status() {
    return {};
}

} // namespace vorl::platform
