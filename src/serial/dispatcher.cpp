#include "serial/dispatcher.h"

#include "serial/dispatcher_impl.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace vorl {

// ---------------------------------------------------------------------------
// Process-wide dispatcher list

namespace {

std::mutex gListLock;
std::vector<TBaseDispatcher*> gList;
uint16_t gLastHandle = 0xFFFF;
TBaseDispatcher* gLastResult = nullptr;

} // namespace

TBaseDispatcher* GetDispatcherPtr(uint16_t handle) {
    std::lock_guard<std::mutex> lk(gListLock);
    if (handle == gLastHandle && gLastResult)
        return gLastResult;
    TBaseDispatcher* d = handle < gList.size() ? gList[handle] : nullptr;
    gLastHandle = handle;
    gLastResult = d;
    return d;
}

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
    if (gLastResult == this) {
        gLastResult = nullptr;
        gLastHandle = 0xFFFF;
    }
}

bool TBaseDispatcher::IsOpen() const {
    return d_->open;
}
bool TBaseDispatcher::ThreadsActive() const {
    return d_->liveThreads.load() > 0;
}
bool TBaseDispatcher::ClosePending() const {
    return d_->closePending;
}
bool TBaseDispatcher::NoticeBusy() const {
    return d_->busy || d_->delivering;
}

// ---------------------------------------------------------------------------
// Opening and closing

int32_t TBaseDispatcher::InitPort(const std::string& name, int32_t baud, uint16_t parity,
                                  uint16_t databits, uint16_t stopbits, uint32_t inQueue,
                                  uint32_t outQueue, uint32_t options) {
    Impl& d = *d_;
    if (d.open || d.liveThreads > 0)
        return ecAlreadyOpen;
    d.ringSeen = false;
    d.busy = false;
    d.delivering = false;
    d.closePending = false;
    d.kill = false;

    int32_t r = OpenCom(name, inQueue, outQueue);
    if (r == ecOK)
        r = SetupCom(inQueue, outQueue);
    if (r != ecOK) {
        DonePort();
        return r;
    }
    {
        std::lock_guard<std::mutex> g(d.general);
        std::lock_guard<std::mutex> o(d.output);
        std::lock_guard<std::mutex> i(d.input);
        d.obuf = std::make_unique<uint8_t[]>(outQueue ? outQueue : 1);
        d.osize = outQueue;
        d.ohead = d.otail = 0;
        d.lineFailure = 0;
        d.head = d.tail = 0;
        d.scanPos = 0;
        d.availPos = UINT64_MAX;
        d.readerStalled = false;
        d.inQueue = inQueue;
        d.outQueue = outQueue;
        d.lineErrors = 0;
        d.rs485 = false;
        d.baseAddress = 0;
        d.dtrAuto = options & kOptionDTRHandshake;
        d.rtsAuto = options & kOptionRTSHandshake;
        d.dtrState = options & kOptionDTR;
        d.rtsState = options & kOptionRTS;
        d.inAvailNotice = false;
        d.noticeReaders.clear();
        d.largestCount = 0;
        d.deletionsPending = false;
    }
    RemoveAllTriggers();
    {
        std::lock_guard<std::mutex> g(d.general);
        d.lastLines = GetComModemLines();
        d.modemStatus = d.lastLines;
        d.lastBaud = 115200;
    }
    // The line settings are applied in full once, whatever the device had.
    r = SetLine(baud, parity, stopbits, databits);
    if (r == ecOK) {
        LineSettings s;
        std::lock_guard<std::mutex> g(d.general);
        r = GetComState(s);
        if (r == ecOK) {
            if (d.dtrAuto)
                s.dtrControl = platform::LineControl::Handshake;
            if (d.rtsAuto)
                s.rtsControl = platform::LineControl::Handshake;
            r = SetComState(s);
            if (r == ecOK) {
                d.lastBaud = int32_t(s.baud);
                if (!d.dtrAuto)
                    EscapeComFunction(d.dtrState ? kEscSetDTR : kEscClrDTR);
                if (!d.rtsAuto)
                    EscapeComFunction(d.rtsState ? kEscSetRTS : kEscClrRTS);
            }
        }
    }
    if (r != ecOK) {
        DonePort();
        return r;
    }
    RefreshStatus();
    {
        std::lock_guard<std::mutex> g(d.general);
        d.traceState = 0;
        d.trace.clear();
        d.logState = 0;
        d.log.clear();
        d.openMs = TimeGetTime();
    }
    d.open = true;
    r = StartDispatcher();
    if (r != ecOK) {
        DonePort();
        return r;
    }
    return ecOK;
}

int32_t TBaseDispatcher::DonePort() {
    Impl& d = *d_;
    if (d.open) {
        // What a finished transfer put last (a Stop string, the end of a
        // program) is still on its way: it goes to the line, never purged by
        // the close. Only a line that does not take it in the time it needs
        // (held for good) has it discarded, so the close never hangs.
        if (DrainOutput(kCloseDrainGraceMs) != ecOK)
            FlushOutBuffer();
        FlushInBuffer();
    }
    // Also after a failed open: a device opened before the failure is let go.
    CloseCom();
    bool defer = false;
    {
        std::lock_guard<std::mutex> g(d.general);
        d.kill = true;
        // Also from inside a notice on the dispatcher thread itself: that
        // thread ends when the notice returns.
        defer = d.delivering && d.liveThreads > 0;
        if (defer)
            d.closePending = true;
    }
    {
        std::lock_guard<std::mutex> e(d.evLock);
        d.comEvent = true;
    }
    d.evCv.notify_all();
    if (!defer)
        DonePortPrim();
    return ecOK;
}

void TBaseDispatcher::DonePortPrim() {
    if (d_->active || d_->liveThreads > 0)
        StopDispatcher();
}

void TBaseDispatcher::ProcessCommunications() {
    std::this_thread::yield();
}

void TBaseDispatcher::SetThreadBoost(uint8_t boost) {
    // Thread priorities above normal need privileges the program does not
    // have; the setting is kept for the component.
    std::lock_guard<std::mutex> g(d_->general);
    d_->threadBoost = boost;
}

// ---------------------------------------------------------------------------
// Status

int32_t TBaseDispatcher::RefreshStatus() {
    std::lock_guard<std::mutex> g(d_->general);
    RefreshLocked(*this, *d_);
    return ecOK;
}

namespace {

uint8_t ModemStatusPrim(TBaseDispatcher& self, TBaseDispatcher::Impl& d, uint8_t keepMask) {
    if (d.open) {
        uint8_t lines = self.GetComModemLines();
        d.modemStatus = uint8_t((d.modemStatus & 0x0F) | lines);
    }
    if (d.ringSeen) {
        d.ringSeen = false;
        d.modemStatus |= kDeltaRI;
    }
    uint8_t result = d.modemStatus;
    d.modemStatus &= keepMask;
    return result;
}

} // namespace

uint8_t TBaseDispatcher::GetModemStatus() {
    std::lock_guard<std::mutex> g(d_->general);
    return ModemStatusPrim(*this, *d_, 0xF0);
}

#define CHECK_BIT(name, bit, keep)                                                                 \
    bool TBaseDispatcher::name() {                                                                 \
        std::lock_guard<std::mutex> g(d_->general);                                                \
        return (ModemStatusPrim(*this, *d_, keep) & (bit)) != 0;                                   \
    }
CHECK_BIT(CheckCTS, platform::kLineCTS, 0xFE)
CHECK_BIT(CheckDSR, platform::kLineDSR, 0xFD)
CHECK_BIT(CheckRI, platform::kLineRI, 0xFB)
CHECK_BIT(CheckDCD, platform::kLineDCD, 0xF7)
CHECK_BIT(CheckDeltaCTS, kDeltaCTS, 0xFE)
CHECK_BIT(CheckDeltaDSR, kDeltaDSR, 0xFD)
CHECK_BIT(CheckDeltaRI, kDeltaRI, 0xFB)
CHECK_BIT(CheckDeltaDCD, kDeltaDCD, 0xF7)
#undef CHECK_BIT

int32_t TBaseDispatcher::GetLineError() {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    if (d.open)
        RefreshLocked(*this, d);
    int32_t r = kLeNone;
    if (d.lineErrors & platform::kErrRxOverflow)
        r = kLeBuffer;
    else if (d.lineErrors & platform::kErrOverrun)
        r = kLeOverrun;
    else if (d.lineErrors & platform::kErrParity)
        r = kLeParity;
    else if (d.lineErrors & platform::kErrFraming)
        r = kLeFraming;
    else if (d.lineErrors & platform::kErrBreak)
        r = kLeBreak;
    if (r != kLeNone)
        d.lineErrors &= uint8_t(~0x0F); // a break stays until CheckLineBreak
    return r;
}

bool TBaseDispatcher::CheckLineBreak() {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    if (d.open)
        RefreshLocked(*this, d);
    bool b = d.lineErrors & platform::kErrBreak;
    d.lineErrors &= uint8_t(~platform::kErrBreak);
    return b;
}

// ---------------------------------------------------------------------------
// Writing

int32_t TBaseDispatcher::PutChar(uint8_t c) {
    return PutBlock(&c, 1);
}

int32_t TBaseDispatcher::PutString(std::string_view s) {
    return PutBlock(s.data(), uint32_t(s.size()));
}

int32_t TBaseDispatcher::PutBlock(const void* buf, uint32_t len) {
    Impl& d = *d_;
    if (len == 0)
        return 0;
    if (!d.open)
        return ecCommNotOpen;
    // The kernel's queue counts as ours; line errors are gathered by the com
    // thread and never cleared by a write.
    uint32_t kernelQueued = GetComOutQueue();
    const uint8_t* src = static_cast<const uint8_t*>(buf);
    {
        std::lock_guard<std::mutex> o(d.output);
        uint64_t used = (d.ohead - d.otail) + kernelQueued;
        if (d.lineFailure != 0)
            return d.lineFailure;
        uint64_t room = used >= d.osize ? 0 : d.osize - used;
        if (len > room)
            return ecOutputBufferTooSmall;
        uint32_t pos = uint32_t(d.ohead % d.osize);
        uint32_t first = std::min(len, d.osize - pos);
        std::memcpy(d.obuf.get() + pos, src, first);
        if (first < len)
            std::memcpy(d.obuf.get(), src + first, len - first);
        d.ohead += len;
        d.dataWritten = true;
    }
    d.ocv.notify_all();
    {
        std::lock_guard<std::mutex> g(d.general);
        if (d.logState == 1)
            LogEntryLocked(d, dtDispatch, dstWriteCom, len, src, len);
        if (d.traceState == 1)
            for (uint32_t i = 0; i < len; ++i)
                TraceEntryLocked(d, 'T', src[i]);
    }
    return int32_t(len);
}

int32_t TBaseDispatcher::LineFailure() {
    std::lock_guard<std::mutex> o(d_->output);
    return d_->lineFailure;
}

int32_t TBaseDispatcher::OutBuffUsed() {
    Impl& d = *d_;
    if (!d.open)
        return 0;
    std::lock_guard<std::mutex> g(d.general);
    RefreshLocked(*this, d);
    std::lock_guard<std::mutex> o(d.output);
    return int32_t(OutUsedLocked(d));
}

int32_t TBaseDispatcher::OutBuffFree() {
    Impl& d = *d_;
    if (!d.open)
        return int32_t(d.osize);
    std::lock_guard<std::mutex> g(d.general);
    RefreshLocked(*this, d);
    std::lock_guard<std::mutex> o(d.output);
    return int32_t(d.osize - OutUsedLocked(d));
}

int32_t TBaseDispatcher::FlushOutBuffer() {
    Impl& d = *d_;
    std::unique_lock<std::mutex> o(d.output);
    ++d.oflushGen;
    d.flushing = true;
    WakeCom(false, true);
    d.ocv.notify_all();
    // The writer acknowledges by leaving the device; it never blocks there
    // for long once woken.
    d.ocv.wait(o, [&] { return !d.writerBusy; });
    d.otail = d.ohead;
    int32_t r = ecOK;
    if (d.open)
        r = FlushCom(platform::PurgeTx);
    d.flushing = false;
    d.ocv.notify_all();
    return r;
}

int32_t TBaseDispatcher::DrainOutput(int32_t graceMs) {
    Impl& d = *d_;
    if (!d.open)
        return ecCommNotOpen;
    // As long as the ring's bytes go out, however slow the line; a line held
    // for good (XOFF, CTS) is given up on after the grace without progress.
    const auto grace = std::chrono::milliseconds(std::max(graceMs, 0));
    std::unique_lock<std::mutex> o(d.output);
    for (;;) {
        const uint64_t tail = d.otail;
        // The writer tells every stretch it wrote (and a flush or close) here.
        d.ocv.wait_for(o, grace, [&] {
            return d.ohead == d.otail || d.otail != tail || d.lineFailure != 0 || d.kill || !d.open;
        });
        if (d.lineFailure != 0)
            return d.lineFailure;
        if (!d.open || d.kill)
            return ecCommNotOpen;
        if (d.ohead == d.otail)
            break;
        if (d.otail == tail)
            return ecTimeout;
    }
    o.unlock();
    return DrainCom(graceMs);
}

// ---------------------------------------------------------------------------
// Reading

namespace {

// The first byte the caller has not yet taken (input held). A thread that
// runs no handler of the current notice reads after the most any handler has
// taken: a byte a handler took is never delivered a second time.
uint64_t ReadPos(TBaseDispatcher::Impl& d) {
    if (const auto* r = ProvisionalReader(d))
        return std::max(d.tail, d.noticeBase + r->count);
    if (ReadsLate(d))
        return std::max(d.tail, d.lateReadPos);
    if (d.inAvailNotice)
        return std::max(d.tail, d.noticeBase + d.largestCount);
    return d.tail;
}

void CopyOut(const TBaseDispatcher::Impl& d, uint64_t from, uint8_t* dst, uint32_t len) {
    uint32_t pos = uint32_t(from % kDispatchBufferSize);
    uint32_t first = std::min<uint32_t>(len, kDispatchBufferSize - pos);
    std::memcpy(dst, d.dbuf.data() + pos, first);
    if (first < len)
        std::memcpy(dst + first, d.dbuf.data(), len - first);
}

// Takes `n` bytes at `pos` for the caller (input held). Returns true when the
// com thread waits for room and should be woken.
bool Consume(TBaseDispatcher::Impl& d, uint64_t pos, uint32_t n) {
    if (auto* r = ProvisionalReader(d)) {
        r->count = uint32_t(pos + n - d.noticeBase);
        d.largestCount = std::max(d.largestCount, r->count); // committed at the notice's end
        return false;
    }
    d.tail = pos + n;
    if (ReadsLate(d))
        d.lateReadPos = pos + n;
    bool wake = d.readerStalled;
    d.readerStalled = false;
    return wake;
}

} // namespace

bool TBaseDispatcher::CharReady() {
    std::lock_guard<std::mutex> i(d_->input);
    return d_->head > ReadPos(*d_);
}

int32_t TBaseDispatcher::InBuffUsed() {
    std::lock_guard<std::mutex> i(d_->input);
    return int32_t(d_->head - ReadPos(*d_));
}

int32_t TBaseDispatcher::InBuffFree() {
    std::lock_guard<std::mutex> i(d_->input);
    return int32_t(kDispatchBufferSize - (d_->head - ReadPos(*d_)));
}

int32_t TBaseDispatcher::GetChar(uint8_t& c) {
    Impl& d = *d_;
    bool wake;
    {
        std::lock_guard<std::mutex> i(d.input);
        uint64_t pos = ReadPos(d);
        if (d.head <= pos)
            return ecBufferIsEmpty;
        c = d.dbuf[pos % kDispatchBufferSize];
        wake = Consume(d, pos, 1);
    }
    if (wake)
        WakeCom(true, false);
    std::lock_guard<std::mutex> g(d.general);
    if (d.traceState == 1)
        TraceEntryLocked(d, 'R', c);
    return ecOK;
}

int32_t TBaseDispatcher::PeekChar(uint8_t& c, uint32_t n) {
    if (n == 0)
        return ecBadArgument;
    std::lock_guard<std::mutex> i(d_->input);
    uint64_t pos = ReadPos(*d_);
    if (d_->head - pos < n)
        return ecBufferIsEmpty;
    c = d_->dbuf[(pos + n - 1) % kDispatchBufferSize];
    return ecOK;
}

int32_t TBaseDispatcher::PeekBlock(void* buf, uint32_t len) {
    std::lock_guard<std::mutex> i(d_->input);
    uint64_t pos = ReadPos(*d_);
    if (d_->head - pos < len)
        return ecBufferIsEmpty;
    CopyOut(*d_, pos, static_cast<uint8_t*>(buf), len);
    return int32_t(len);
}

int32_t TBaseDispatcher::GetBlock(void* buf, uint32_t len) {
    Impl& d = *d_;
    bool wake;
    {
        std::lock_guard<std::mutex> i(d.input);
        uint64_t pos = ReadPos(d);
        if (d.head - pos < len)
            return ecBufferIsEmpty;
        CopyOut(d, pos, static_cast<uint8_t*>(buf), len);
        wake = Consume(d, pos, len);
    }
    if (wake)
        WakeCom(true, false);
    std::lock_guard<std::mutex> g(d.general);
    if (d.traceState == 1)
        for (uint32_t k = 0; k < len; ++k)
            TraceEntryLocked(d, 'R', static_cast<uint8_t*>(buf)[k]);
    return int32_t(len);
}

int32_t TBaseDispatcher::FlushInBuffer() {
    Impl& d = *d_;
    int32_t r = ecOK;
    bool wake;
    {
        std::lock_guard<std::mutex> g(d.general);
        for (auto& t : d.datas)
            t.partialCounts.fill(0);
        // The device is purged under the input lock, under which the com
        // thread also reads it: a read falls wholly before the purge (its
        // bytes are discarded below) or wholly after it (its bytes came after
        // the flush and are kept).
        std::lock_guard<std::mutex> i(d.input);
        if (d.open)
            r = FlushCom(platform::PurgeRx);
        // At once for every reader, also inside a notice: the handlers read
        // from no earlier than the tail, so none of them (nor the thread that
        // asked) sees a flushed byte again.
        if (d.inAvailNotice)
            d.largestCount = uint32_t(d.head - d.noticeBase);
        d.tail = d.head;
        // Flushed bytes are not fed to the data triggers either.
        d.scanPos = std::max(d.scanPos, d.head);
        wake = d.readerStalled;
        d.readerStalled = false;
    }
    if (wake)
        WakeCom(true, false);
    return r;
}

void TBaseDispatcher::BufferSizes(uint32_t& inQueue, uint32_t& outQueue) {
    std::lock_guard<std::mutex> g(d_->general);
    inQueue = d_->inQueue;
    outQueue = d_->outQueue;
}

int32_t TBaseDispatcher::SetCommBuffers(uint32_t inQueue, uint32_t outQueue) {
    int32_t r = SetupCom(inQueue, outQueue);
    if (r == ecOK) {
        std::lock_guard<std::mutex> g(d_->general);
        d_->inQueue = inQueue;
        d_->outQueue = outQueue; // the output ring keeps the size it has
    }
    return r;
}

// ---------------------------------------------------------------------------
// Other

void TBaseDispatcher::OptionsOn(uint32_t options) {
    std::lock_guard<std::mutex> g(d_->general);
    d_->options |= options;
}

void TBaseDispatcher::OptionsOff(uint32_t options) {
    std::lock_guard<std::mutex> g(d_->general);
    d_->options &= ~options;
}

bool TBaseDispatcher::OptionsAreOn(uint32_t options) {
    std::lock_guard<std::mutex> g(d_->general);
    return (d_->options & options) == options;
}

int32_t TBaseDispatcher::SetDataPointer(void* p, int index) {
    if (index < 1 || index > 3)
        return ecBadArgument;
    std::lock_guard<std::mutex> g(d_->general);
    d_->dataPointers[size_t(index - 1)] = p;
    return ecOK;
}

int32_t TBaseDispatcher::GetDataPointer(void*& p, int index) {
    if (index < 1 || index > 3)
        return ecBadArgument;
    std::lock_guard<std::mutex> g(d_->general);
    p = d_->dataPointers[size_t(index - 1)];
    return ecOK;
}

} // namespace vorl
