#include "serial/dispatcher.h"

#include <mutex>

// First cut: the dispatcher list works; the port operations report that the
// port is not open.
namespace vorl {

struct TBaseDispatcher::Impl {};

namespace {
std::mutex gListLock;
std::vector<TBaseDispatcher*> gList;
} // namespace

TBaseDispatcher::TBaseDispatcher(void* owner) : d_(std::make_unique<Impl>()), owner_(owner) {
    std::lock_guard<std::mutex> lk(gListLock);
    size_t i = 0;
    while (i < gList.size() && gList[i])
        ++i;
    if (i == gList.size())
        gList.push_back(this);
    else
        gList[i] = this;
    handle_ = uint16_t(i);
}

TBaseDispatcher::~TBaseDispatcher() {
    std::lock_guard<std::mutex> lk(gListLock);
    if (handle_ < gList.size() && gList[handle_] == this)
        gList[handle_] = nullptr;
    while (!gList.empty() && !gList.back())
        gList.pop_back();
}

TBaseDispatcher* GetDispatcherPtr(uint16_t handle) {
    std::lock_guard<std::mutex> lk(gListLock);
    return handle < gList.size() ? gList[handle] : nullptr;
}

#define STUB(sig)                                                                                  \
    int32_t TBaseDispatcher::sig {                                                                 \
        return ecCommNotOpen;                                                                      \
    }
STUB(InitPort(const std::string&, int32_t, uint16_t, uint16_t, uint16_t, uint32_t, uint32_t,
              uint32_t))
STUB(DonePort())
STUB(PutChar(uint8_t))
STUB(PutString(std::string_view))
STUB(PutBlock(const void*, uint32_t))
STUB(GetChar(uint8_t&))
STUB(PeekChar(uint8_t&, uint32_t))
STUB(GetBlock(void*, uint32_t))
STUB(PeekBlock(void*, uint32_t))
STUB(InBuffUsed())
STUB(InBuffFree())
STUB(OutBuffUsed())
STUB(OutBuffFree())
STUB(FlushInBuffer())
STUB(FlushOutBuffer())
STUB(SetCommBuffers(uint32_t, uint32_t))
STUB(SetLine(int32_t, uint16_t, uint16_t, uint16_t))
STUB(GetLine(int32_t&, uint16_t&, uint16_t&, uint16_t&))
STUB(ChangeBaud(int32_t))
STUB(SetDtr(bool))
STUB(SetRts(bool))
STUB(SetModem(bool, bool))
STUB(SendBreak(int32_t, bool))
STUB(SetBreak(bool))
STUB(SetRS485Mode(bool))
STUB(SetBaseAddress(uint16_t))
STUB(HWFlowOptions(uint16_t, uint16_t, uint16_t))
STUB(HWFlowState())
STUB(SWFlowEnable(uint16_t, uint16_t, uint16_t))
STUB(SWFlowDisable())
STUB(SWFlowState())
STUB(SWFlowChars(uint8_t, uint8_t))
STUB(GetLineError())
STUB(RefreshStatus())
STUB(SetDataPointer(void*, int))
STUB(GetDataPointer(void*&, int))
STUB(InitTracing(uint32_t))
STUB(DumpTrace(const std::string&, bool, bool))
STUB(AppendTrace(const std::string&, bool, bool))
STUB(InitDispatchLogging(uint32_t))
STUB(DumpDispatchLog(const std::string&, bool, bool))
STUB(AppendDispatchLog(const std::string&, bool, bool))
STUB(AddDataTrigger(std::string_view, bool))
STUB(AddDataTriggerLen(const void*, bool, uint32_t))
STUB(AddTimerTrigger())
STUB(AddStatusTrigger(uint16_t))
STUB(SetTimerTrigger(uint32_t, int32_t, bool))
STUB(ExtendTimer(uint32_t, int32_t))
STUB(TimerTicksRemaining(uint32_t, int32_t&))
STUB(SetStatusTrigger(uint32_t, uint32_t, bool))
STUB(ChangeLengthTrigger(uint32_t))
STUB(RemoveTrigger(uint32_t))
STUB(RegisterWndTriggerHandler(std::shared_ptr<Delivery>, TTriggerNoticeFn))
STUB(DeregisterWndTriggerHandler(const Delivery*))
STUB(RegisterProcTriggerHandler(TTriggerHandlerProc))
STUB(DeregisterProcTriggerHandler(TTriggerHandlerProc))
STUB(RegisterEventTriggerHandler(TTriggerNoticeFn, const void*))
STUB(RegisterSyncEventTriggerHandler(std::shared_ptr<Delivery>, TTriggerNoticeFn, const void*))
STUB(DeregisterEventTriggerHandler(const void*))
#undef STUB

bool TBaseDispatcher::IsOpen() const {
    return false;
}
bool TBaseDispatcher::ThreadsActive() const {
    return false;
}
bool TBaseDispatcher::ClosePending() const {
    return false;
}
bool TBaseDispatcher::NoticeBusy() const {
    return false;
}
bool TBaseDispatcher::CharReady() {
    return false;
}
void TBaseDispatcher::BufferSizes(uint32_t& in, uint32_t& out) {
    in = out = 0;
}
uint16_t TBaseDispatcher::GetBaseAddress() {
    return 0;
}
void TBaseDispatcher::GetFlowOptions(uint16_t& hw, uint16_t& sw, uint16_t& full, uint16_t& resume) {
    hw = sw = full = resume = 0;
}
uint8_t TBaseDispatcher::GetModemStatus() {
    return 0;
}
bool TBaseDispatcher::CheckCTS() {
    return false;
}
bool TBaseDispatcher::CheckDSR() {
    return false;
}
bool TBaseDispatcher::CheckRI() {
    return false;
}
bool TBaseDispatcher::CheckDCD() {
    return false;
}
bool TBaseDispatcher::CheckDeltaCTS() {
    return false;
}
bool TBaseDispatcher::CheckDeltaDSR() {
    return false;
}
bool TBaseDispatcher::CheckDeltaRI() {
    return false;
}
bool TBaseDispatcher::CheckDeltaDCD() {
    return false;
}
bool TBaseDispatcher::CheckLineBreak() {
    return false;
}
void TBaseDispatcher::OptionsOn(uint32_t) {}
void TBaseDispatcher::OptionsOff(uint32_t) {}
bool TBaseDispatcher::OptionsAreOn(uint32_t) {
    return false;
}
void TBaseDispatcher::SetThreadBoost(uint8_t) {}
void TBaseDispatcher::AddTraceEntry(char, uint8_t) {}
void TBaseDispatcher::ClearTracing() {}
void TBaseDispatcher::AbortTracing() {}
void TBaseDispatcher::StartTracing() {}
void TBaseDispatcher::StopTracing() {}
bool TBaseDispatcher::TracingOn() {
    return false;
}
void TBaseDispatcher::AddDispatchEntry(TDispatchType, TDispatchSubType, uint32_t, const void*,
                                       uint32_t) {}
void TBaseDispatcher::ClearDispatchLogging() {}
void TBaseDispatcher::AbortDispatchLogging() {}
void TBaseDispatcher::StartDispatchLogging() {}
void TBaseDispatcher::StopDispatchLogging() {}
bool TBaseDispatcher::DispatchLoggingOn() {
    return false;
}
void TBaseDispatcher::AddStringToLog(std::string_view) {}
void TBaseDispatcher::RemoveAllTriggers() {}
void TBaseDispatcher::SaveTriggers(TTriggerSave&) {}
void TBaseDispatcher::RestoreTriggers(const TTriggerSave&) {}
void TBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
    save = TTriggerSave{};
}
void TBaseDispatcher::UpdateHandlerFlags(THandlerFlagUpdate) {}
bool TBaseDispatcher::SetEventBusy(bool) {
    return false;
}
void TBaseDispatcher::ProcessCommunications() {
    std::this_thread::yield();
}
void TBaseDispatcher::DonePortPrim() {}
void TBaseDispatcher::ComThreadLoop() {}
void TBaseDispatcher::DispThreadLoop() {}
void TBaseDispatcher::OutThreadLoop() {}
void TBaseDispatcher::ThreadEnded() {}

TLinuxDispatcher::TLinuxDispatcher(void* owner, DeviceFactory factory)
    : TBaseDispatcher(owner), factory_(std::move(factory)) {}
TLinuxDispatcher::~TLinuxDispatcher() = default;
int32_t TLinuxDispatcher::OpenCom(const std::string&, uint32_t, uint32_t) {
    return ecFileNotFound;
}
int32_t TLinuxDispatcher::CloseCom() {
    return ecOK;
}
int32_t TLinuxDispatcher::SetupCom(uint32_t, uint32_t) {
    return ecCommNotOpen;
}
int32_t TLinuxDispatcher::GetComState(LineSettings&) {
    return ecCommNotOpen;
}
int32_t TLinuxDispatcher::SetComState(const LineSettings&) {
    return ecCommNotOpen;
}
long TLinuxDispatcher::ReadCom(uint8_t*, size_t) {
    return 0;
}
long TLinuxDispatcher::WriteCom(const uint8_t*, size_t) {
    return 0;
}
platform::WaitResult TLinuxDispatcher::WaitComEvent(bool, int) {
    return platform::WaitResult::Failed;
}
platform::WaitResult TLinuxDispatcher::WaitComWritable(int) {
    return platform::WaitResult::Failed;
}
void TLinuxDispatcher::WakeCom(bool, bool) {}
platform::DeviceStatus TLinuxDispatcher::GetComError() {
    return {};
}
uint8_t TLinuxDispatcher::GetComModemLines() {
    return 0;
}
bool TLinuxDispatcher::HasModemLines() {
    return false;
}
int32_t TLinuxDispatcher::EscapeComFunction(int32_t) {
    return ecBadArgument;
}
int32_t TLinuxDispatcher::FlushCom(unsigned) {
    return ecOK;
}
int32_t TLinuxDispatcher::StartDispatcher() {
    return ecOK;
}
int32_t TLinuxDispatcher::StopDispatcher() {
    return ecOK;
}

} // namespace vorl
