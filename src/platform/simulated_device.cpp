#include "platform/simulated_device.h"

// First cut: lines can be registered; the device itself is not there yet.
namespace vorl::platform {

namespace {
std::mutex gLinesLock;
std::vector<std::pair<std::string, std::shared_ptr<SimulatedLine>>>& Lines() {
    static std::vector<std::pair<std::string, std::shared_ptr<SimulatedLine>>> lines;
    return lines;
}
} // namespace

std::shared_ptr<SimulatedLine> SimulatedLine::Register(const std::string& name) {
    auto line = std::make_shared<SimulatedLine>();
    std::lock_guard<std::mutex> lk(gLinesLock);
    for (auto& [n, l] : Lines())
        if (n == name) {
            l = line;
            return line;
        }
    Lines().emplace_back(name, line);
    return line;
}

std::shared_ptr<SimulatedLine> SimulatedLine::Find(const std::string& name) {
    std::lock_guard<std::mutex> lk(gLinesLock);
    for (auto& [n, l] : Lines())
        if (n == name)
            return l;
    return nullptr;
}

void SimulatedLine::Unregister(const std::string& name) {
    std::lock_guard<std::mutex> lk(gLinesLock);
    auto& v = Lines();
    for (auto it = v.begin(); it != v.end(); ++it)
        if (it->first == name) {
            v.erase(it);
            return;
        }
}

void SimulatedLine::peerSend(const std::string&) {}
void SimulatedLine::peerSend(const uint8_t*, size_t) {}
std::string SimulatedLine::peerTake() {
    return {};
}
size_t SimulatedLine::outputWaiting() {
    return 0;
}
void SimulatedLine::setLines(uint8_t) {}
void SimulatedLine::raiseErrors(uint8_t) {}
void SimulatedLine::setOutputRoom(size_t) {}
void SimulatedLine::setInUse(bool) {}
void SimulatedLine::setMissing(bool) {}
bool SimulatedLine::dtr() {
    return false;
}
bool SimulatedLine::rts() {
    return false;
}
bool SimulatedLine::breakOn() {
    return false;
}
LineSettings SimulatedLine::settings() {
    return {};
}
bool SimulatedLine::isOpen() {
    return false;
}

SimulatedDevice::SimulatedDevice(std::shared_ptr<SimulatedLine> line) : line_(std::move(line)) {}
SimulatedDevice::~SimulatedDevice() = default;
int SimulatedDevice::open(const std::string&) {
    return kSysNoSuchDevice;
}
void SimulatedDevice::close() {}
bool SimulatedDevice::isOpen() const {
    return false;
}
int SimulatedDevice::setQueueSizes(uint32_t, uint32_t) {
    return kSysNoSuchDevice;
}
int SimulatedDevice::getLineSettings(LineSettings&) {
    return kSysNoSuchDevice;
}
int SimulatedDevice::setLineSettings(const LineSettings&) {
    return kSysNoSuchDevice;
}
long SimulatedDevice::read(uint8_t*, size_t) {
    return -1;
}
long SimulatedDevice::write(const uint8_t*, size_t) {
    return -1;
}
WaitResult SimulatedDevice::waitInput(bool, int) {
    return WaitResult::Failed;
}
WaitResult SimulatedDevice::waitOutput(int) {
    return WaitResult::Failed;
}
void SimulatedDevice::wakeInput() {}
void SimulatedDevice::wakeOutput() {}
uint8_t SimulatedDevice::modemLines() {
    return 0;
}
int SimulatedDevice::setDtr(bool) {
    return kSysNoSuchDevice;
}
int SimulatedDevice::setRts(bool) {
    return kSysNoSuchDevice;
}
int SimulatedDevice::setBreak(bool) {
    return kSysNoSuchDevice;
}
int SimulatedDevice::purge(unsigned) {
    return kSysNoSuchDevice;
}
DeviceStatus SimulatedDevice::status() {
    return {};
}
uint8_t SimulatedDevice::holdsLocked() const {
    return 0;
}

} // namespace vorl::platform
