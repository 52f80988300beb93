#include "serial/dispatcher.h"

#include "serial/dispatcher_impl.h"

#include <algorithm>
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

// Bits per character at the given framing, for drain times.
int BitsPerChar(const LineSettings& s) {
    return s.byteSize + 2 + (s.parity != 0 ? 1 : 0) + (s.stopBits != platform::kOneStopBit ? 1 : 0);
}

// Legacy rate codes 0xFF10 to 0xFF27; 0 marks codes without a rate.
constexpr int32_t kLegacyRates[] = {110,   300, 600, 1200,   2400, 4800, 9600, 14400,
                                    19200, 0,   0,   38400,  0,    0,    0,    56000,
                                    0,     0,   0,   128000, 0,    0,    0,    256000};

int32_t TranslateBaud(int32_t baud) {
    if (baud == 0xFEFF)
        return 115200;
    if (baud >= 0xFF10 && baud <= 0xFF27) {
        int32_t r = kLegacyRates[baud - 0xFF10];
        return r ? r : baud;
    }
    return baud;
}

// The stop-bit code for `stopbits` (1, 2, or 3 to keep `present`) at
// `byteSize` data bits. Five data bits cannot have two stop bits: one and a
// half take their place, and only there. Both the "unchanged?" check and the
// settings applied use this, so the same settings again are no change.
uint8_t StopBitCode(uint16_t stopbits, uint8_t byteSize, uint8_t present) {
    uint8_t code = present;
    if (stopbits == 1)
        code = platform::kOneStopBit;
    else if (stopbits == 2)
        code = platform::kTwoStopBits;
    if (byteSize == 5 && code == platform::kTwoStopBits)
        return platform::kOne5StopBits;
    if (byteSize != 5 && code == platform::kOne5StopBits)
        return platform::kTwoStopBits;
    return code;
}

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

// ---------------------------------------------------------------------------
// Reading

namespace {

// The first byte the caller has not yet taken (input held).
uint64_t ReadPos(TBaseDispatcher::Impl& d) {
    if (const auto* r = ProvisionalReader(d))
        return std::max(d.tail, d.noticeBase + r->count);
    if (ReadsLate(d))
        return std::max(d.tail, d.lateReadPos);
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
        if (d.inAvailNotice)
            d.largestCount = uint32_t(d.head - d.noticeBase); // discarded at the notice's end
        else
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
// Line settings

namespace {

// Applies `s` with DTR and RTS from the stored states (general held).
int32_t ApplyLocked(TBaseDispatcher& self, TBaseDispatcher::Impl& d, LineSettings s) {
    using platform::LineControl;
    if (!d.dtrAuto)
        s.dtrControl = d.dtrState ? LineControl::On : LineControl::Off;
    if (!d.rtsAuto && !(s.rtsControl == LineControl::Toggle && d.rs485))
        s.rtsControl = d.rtsState ? LineControl::On : LineControl::Off;
    int32_t r = self.SetComState(s);
    if (r != ecOK)
        return r;
    d.lastBaud = int32_t(s.baud);
    if (!d.dtrAuto)
        self.EscapeComFunction(d.dtrState ? kEscSetDTR : kEscClrDTR);
    if (!d.rtsAuto && !d.rs485 && !s.ctsOutFlow)
        self.EscapeComFunction(d.rtsState ? kEscSetRTS : kEscClrRTS);
    return ecOK;
}

// Waits until the output has gone, at most 10 s, then the time of 18
// characters for the UART's own buffer.
void WaitTxSent(TBaseDispatcher& self, TBaseDispatcher::Impl& d) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (self.OutBuffUsed() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::unique_lock<std::mutex> o(d.output);
        // Woken by the writer's progress; the kernel's part drains unseen,
        // so look again after a short while.
        d.ocv.wait_for(o, std::chrono::milliseconds(20));
    }
    LineSettings s;
    int32_t baud;
    {
        std::lock_guard<std::mutex> g(d.general);
        if (self.GetComState(s) != ecOK)
            return;
        baud = d.lastBaud > 0 ? d.lastBaud : 9600;
    }
    int64_t t = int64_t(10000000 / baud) * BitsPerChar(s) * 18;
    if (t < 10000)
        t *= 2;
    std::this_thread::sleep_for(std::chrono::milliseconds((t + 9999) / 10000));
}

} // namespace

int32_t TBaseDispatcher::SetLine(int32_t baud, uint16_t parity, uint16_t stopbits,
                                 uint16_t databits) {
    Impl& d = *d_;
    baud = TranslateBaud(baud);
    if (stopbits == 0)
        stopbits = 1;
    else if (stopbits > 2 && stopbits != 3)
        stopbits = 2;
    LineSettings s;
    {
        std::lock_guard<std::mutex> g(d.general);
        int32_t r = GetComState(s);
        if (r != ecOK)
            return r;
        uint32_t nb = baud == 0 ? s.baud : uint32_t(baud);
        uint8_t np = parity == 5 ? s.parity : uint8_t(parity);
        uint8_t nd = databits == 9 ? s.byteSize : uint8_t(databits);
        uint8_t ns = StopBitCode(stopbits, nd, s.stopBits);
        if (nb == s.baud && np == s.parity && nd == s.byteSize && ns == s.stopBits) {
            // Only the fixed flags may differ; they change nothing on the line.
            return ecOK;
        }
    }
    WaitTxSent(*this, d);
    std::lock_guard<std::mutex> g(d.general);
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    s.binary = true;
    s.txContinueOnXoff = true;
    s.parityCheck = false;
    s.dsrSensitivity = false;
    s.nullStrip = false;
    if (baud != 0)
        s.baud = uint32_t(baud);
    if (parity != 5)
        s.parity = uint8_t(parity);
    if (databits != 9)
        s.byteSize = uint8_t(databits);
    s.stopBits = StopBitCode(stopbits, s.byteSize, s.stopBits);
    return ApplyLocked(*this, d, s);
}

int32_t TBaseDispatcher::GetLine(int32_t& baud, uint16_t& parity, uint16_t& stopbits,
                                 uint16_t& databits) {
    LineSettings s;
    std::lock_guard<std::mutex> g(d_->general);
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    baud = TranslateBaud(int32_t(s.baud));
    parity = s.parity;
    databits = s.byteSize;
    stopbits = s.stopBits != platform::kOneStopBit ? 2 : 1;
    return ecOK;
}

int32_t TBaseDispatcher::ChangeBaud(int32_t baud) {
    return SetLine(baud, 5, 3, 9);
}

int32_t TBaseDispatcher::SetDtr(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    if (d_->dtrAuto)
        return 1;
    if (EscapeComFunction(on ? kEscSetDTR : kEscClrDTR) != ecOK)
        return ecBadArgument;
    d_->dtrState = on;
    return ecOK;
}

int32_t TBaseDispatcher::SetRts(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    if (d_->rtsAuto || d_->rs485)
        return 1;
    if (EscapeComFunction(on ? kEscSetRTS : kEscClrRTS) != ecOK)
        return ecBadArgument;
    d_->rtsState = on;
    return ecOK;
}

int32_t TBaseDispatcher::SetModem(bool dtr, bool rts) {
    int32_t r = SetDtr(dtr);
    if (r < 0)
        return r;
    return SetRts(rts);
}

int32_t TBaseDispatcher::SetBreak(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    return EscapeComFunction(on ? kEscSetBreak : kEscClrBreak) == ecOK ? ecOK : ecBadArgument;
}

int32_t TBaseDispatcher::SendBreak(int32_t ticks, bool yield) {
    int32_t r = SetBreak(true);
    if (r != ecOK)
        return r;
    int32_t w = DelayTicks(ticks, yield);
    r = SetBreak(false);
    return r != ecOK ? r : w;
}

int32_t TBaseDispatcher::SetRS485Mode(bool on) {
    std::lock_guard<std::mutex> g(d_->general);
    // Never stored without the device doing it: a line driver left in the
    // wrong direction sends nothing.
    int32_t r = SetComRS485(on);
    if (r == ecOK)
        d_->rs485 = on;
    return r;
}

int32_t TBaseDispatcher::SetBaseAddress(uint16_t address) {
    std::lock_guard<std::mutex> g(d_->general);
    d_->baseAddress = address;
    return ecOK;
}

uint16_t TBaseDispatcher::GetBaseAddress() {
    std::lock_guard<std::mutex> g(d_->general);
    return d_->baseAddress;
}

// ---------------------------------------------------------------------------
// Flow control

int32_t TBaseDispatcher::HWFlowOptions(uint16_t bufferFull, uint16_t bufferResume,
                                       uint16_t options) {
    using platform::LineControl;
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    if (bufferFull < bufferResume || bufferFull > d.inQueue)
        return ecBadArgument;
    LineSettings s;
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    LineSettings before = s;
    bool dtrAuto = d.dtrAuto, rtsAuto = d.rtsAuto;
    s.ctsOutFlow = s.dsrOutFlow = false;
    d.dtrAuto = d.rtsAuto = false;
    if (options & kHWFlowUseDTR) {
        s.dtrControl = LineControl::Handshake;
        d.dtrAuto = true;
    } else {
        s.dtrControl = d.dtrState ? LineControl::On : LineControl::Off;
    }
    if (options & kHWFlowUseRTS) {
        s.rtsControl = LineControl::Handshake;
        d.rtsAuto = true;
    } else {
        s.rtsControl = d.rtsState ? LineControl::On : LineControl::Off;
    }
    s.xoffLimit = uint16_t(d.inQueue - bufferFull);
    s.xonLimit = bufferResume;
    s.dsrOutFlow = options & kHWFlowRequireDSR;
    s.ctsOutFlow = options & kHWFlowRequireCTS;
    r = ApplyLocked(*this, d, s);
    if (r != ecOK) {
        // Refused (a line the device cannot hand to flow control): as before.
        d.dtrAuto = dtrAuto;
        d.rtsAuto = rtsAuto;
        SetComState(before);
        return r;
    }
    d.hwOptions = options;
    d.bufferFull = bufferFull;
    d.bufferResume = bufferResume;
    return ecOK;
}

int32_t TBaseDispatcher::HWFlowState() {
    using platform::LineControl;
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    if (GetComState(s) != ecOK)
        return kFlowOff;
    bool dtrHs = s.dtrControl == LineControl::Handshake;
    bool rtsHs = s.rtsControl == LineControl::Handshake;
    if (!s.ctsOutFlow && !s.dsrOutFlow && !dtrHs && !rtsHs)
        return kFlowOff;
    // Only CTS and DSR ever hold our output; when one does, it is told,
    // whichever lines input flow drives.
    if (!s.ctsOutFlow && !s.dsrOutFlow)
        return kFlowOn;
    RefreshLocked(*this, d);
    if (s.ctsOutFlow && (d.comStat.holds & platform::kHoldCTS))
        return kFlowCtsHold;
    if (s.dsrOutFlow && (d.comStat.holds & platform::kHoldDSR))
        return kFlowDsrHold;
    return kFlowOn;
}

int32_t TBaseDispatcher::SWFlowEnable(uint16_t bufferFull, uint16_t bufferResume,
                                      uint16_t options) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    if (bufferFull < bufferResume || bufferFull > d.inQueue)
        return ecBadArgument;
    LineSettings s;
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    // Exactly the directions asked for: switching from both to one turns the
    // other off.
    s.xonXoffIn = options & kSWFlowReceive;
    s.xonXoffOut = options & kSWFlowTransmit;
    if (s.xonXoffIn) {
        s.xoffLimit = uint16_t(d.inQueue - bufferFull);
        s.xonLimit = bufferResume;
    }
    if (options & (kSWFlowReceive | kSWFlowTransmit)) {
        s.xonChar = 17;
        s.xoffChar = 19;
    }
    r = ApplyLocked(*this, d, s);
    if (r == ecOK) {
        d.swOptions = options;
        d.bufferFull = bufferFull;
        d.bufferResume = bufferResume;
    }
    return r;
}

int32_t TBaseDispatcher::SWFlowDisable() {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    s.xonXoffIn = s.xonXoffOut = false;
    r = ApplyLocked(*this, d, s);
    if (r == ecOK)
        d.swOptions = 0;
    return r;
}

int32_t TBaseDispatcher::SWFlowChars(uint8_t xon, uint8_t xoff) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    int32_t r = GetComState(s);
    if (r != ecOK)
        return r;
    s.xonChar = xon;
    s.xoffChar = xoff;
    return ApplyLocked(*this, d, s);
}

int32_t TBaseDispatcher::SWFlowState() {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    LineSettings s;
    if (GetComState(s) != ecOK || (!s.xonXoffIn && !s.xonXoffOut))
        return kFlowOff;
    RefreshLocked(*this, d);
    bool sent = d.comStat.holds & platform::kHoldXoffSent;
    bool held = d.comStat.holds & platform::kHoldXoff;
    if (sent && held)
        return kFlowXBothHold;
    if (sent)
        return kFlowXInHold;
    if (held)
        return kFlowXOutHold;
    return kFlowOn;
}

void TBaseDispatcher::GetFlowOptions(uint16_t& hwOptions, uint16_t& swOptions, uint16_t& bufferFull,
                                     uint16_t& bufferResume) {
    std::lock_guard<std::mutex> g(d_->general);
    hwOptions = d_->hwOptions;
    swOptions = d_->swOptions;
    bufferFull = d_->bufferFull;
    bufferResume = d_->bufferResume;
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

// ---------------------------------------------------------------------------
// Threads

void TBaseDispatcher::ThreadEnded() {
    if (d_->liveThreads.fetch_sub(1) == 1)
        d_->active = false;
}

namespace {

void Acknowledge(TBaseDispatcher::Impl& d) {
    {
        std::lock_guard<std::mutex> lk(d.startLock);
        ++d.started;
    }
    d.startCv.notify_all();
}

void SignalDispatcher(TBaseDispatcher::Impl& d, bool status) {
    {
        std::lock_guard<std::mutex> lk(d.evLock);
        d.comEvent = true;
        d.statusEvent |= status;
    }
    d.evCv.notify_one();
}

} // namespace

// Moves what the device holds into the dispatch buffer; true when bytes came.
// The device is read under the input lock, as a flush purges it: so bytes
// that arrive after a flush are never taken for flushed ones. The read does
// not block, and the free stretch it fills is touched by nobody else.
static bool ExtractData(TBaseDispatcher& self, TBaseDispatcher::Impl& d) {
    uint32_t at;
    long n1, n2 = 0;
    bool lost = false;
    {
        std::lock_guard<std::mutex> i(d.input);
        // Bytes not yet fed to the data triggers are kept even when taken.
        uint64_t keep = std::min(d.tail, d.scanPos);
        uint32_t room = uint32_t(kDispatchBufferSize - (d.head - keep));
        if (room == 0) {
            d.readerStalled = true;
            return false;
        }
        at = uint32_t(d.head % kDispatchBufferSize);
        uint32_t first = std::min<uint32_t>(room, kDispatchBufferSize - at);
        n1 = self.ReadCom(d.dbuf.data() + at, first);
        if (n1 < 0) {
            lost = n1 == ecLineLost;
            n1 = 0;
        }
        if (uint32_t(n1) == first && room > first) {
            n2 = self.ReadCom(d.dbuf.data(), room - first);
            if (n2 < 0) {
                lost = n2 == ecLineLost;
                n2 = 0;
            }
        }
        d.head += uint64_t(n1 + n2);
    }
    if (lost && !d.kill) {
        std::lock_guard<std::mutex> o(d.output);
        if (d.lineFailure == 0)
            d.lineFailure = ecLineLost;
    }
    if (n1 + n2 == 0)
        return false;
    std::lock_guard<std::mutex> g(d.general);
    if (d.logState == 1) {
        LogEntryLocked(d, dtDispatch, dstReadCom, uint32_t(n1), d.dbuf.data() + at, uint32_t(n1));
        if (n2)
            LogEntryLocked(d, dtDispatch, dstReadCom, uint32_t(n2), d.dbuf.data(), uint32_t(n2));
    }
    return true;
}

void TBaseDispatcher::ComThreadLoop() {
    Impl& d = *d_;
    d.comThreadId = std::this_thread::get_id();
    Acknowledge(d);
    auto lastSample = std::chrono::steady_clock::time_point{};
    // Waits that ended at once without bringing bytes, in a row: a hung-up
    // device (an unplugged adapter, a closed pty) reports ready or failed on
    // every wait and would keep this thread spinning.
    int idleReady = 0;
    while (!d.kill) {
        bool wantData;
        {
            std::lock_guard<std::mutex> i(d.input);
            wantData = !d.readerStalled && idleReady < 3;
        }
        auto now = std::chrono::steady_clock::now();
        auto sinceSample = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastSample);
        int timeout = int(std::max<int64_t>(0, 50 - sinceSample.count()));
        platform::WaitResult w = WaitComEvent(wantData, timeout);
        if (d.kill)
            break;
        bool got = ExtractData(*this, d);
        bool idle = w == platform::WaitResult::Ready || w == platform::WaitResult::Failed;
        if (idle && wantData && !got)
            ++idleReady;
        else if (got)
            idleReady = 0;

        bool status = false, linesChanged = false;
        now = std::chrono::steady_clock::now();
        // Lines and errors on the 50 ms tick, and at once when the device
        // woke us without data (a line event); not for every read of data.
        if (now - lastSample >= std::chrono::milliseconds(50) ||
            (w == platform::WaitResult::Ready && !got)) {
            if (now - lastSample >= std::chrono::milliseconds(1000))
                idleReady = 0; // look at the device again now and then
            lastSample = now;
            std::lock_guard<std::mutex> g(d.general);
            uint8_t before = d.lineErrors;
            RefreshLocked(*this, d);
            if (d.lineErrors != before)
                status = true;
            uint8_t lines = GetComModemLines();
            uint8_t changed = uint8_t((lines ^ d.lastLines) & 0xF0);
            if (changed) {
                if ((d.lastLines & platform::kLineRI) && !(lines & platform::kLineRI))
                    d.ringSeen = true; // trailing edge of a ring
                d.modemStatus = uint8_t((d.modemStatus & 0x0F) | lines | (changed >> 4));
                d.lastLines = lines;
                status = true;
                linesChanged = true;
            }
        }
        if (linesChanged)
            WakeCom(false, true); // a writer held by CTS or DSR looks again
        if (got || status)
            SignalDispatcher(d, status);
    }
    ThreadEnded();
}

namespace {

bool CheckLoop(TBaseDispatcher::Impl& d, const std::function<bool()>& check) {
    bool any = false;
    while (!d.closePending && !d.kill && !d.busy && check())
        any = true;
    return any;
}

} // namespace

void TBaseDispatcher::DispThreadLoop() {
    Impl& d = *d_;
    d.dispThreadId = std::this_thread::get_id();
    Acknowledge(d);
    while (!d.kill && !d.closePending) {
        bool status;
        {
            std::unique_lock<std::mutex> lk(d.evLock);
            d.evCv.wait_for(lk, std::chrono::milliseconds(50), [&] { return d.comEvent; });
            d.comEvent = false;
            status = d.statusEvent;
            d.statusEvent = false;
        }
        if (d.kill || d.closePending)
            break;
        if (status && !d.busy) {
            if (CheckLoop(d, [&] { return CheckStatusTriggers(); }))
                ResetStatusHits();
        }
        if (!d.busy) {
            bool fired = CheckLoop(d, [&] { return CheckStatusTriggers(); });
            CheckLoop(d, [&] { return CheckReceiveTriggers(); });
            if (fired)
                ResetStatusHits();
        }
        bool wake;
        {
            std::lock_guard<std::mutex> i(d.input);
            wake = d.readerStalled && d.head - std::min(d.tail, d.scanPos) < kDispatchBufferSize;
        }
        if (wake)
            WakeCom(true, false);
        if (!d.closePending && !d.busy) {
            {
                std::lock_guard<std::mutex> g(d.general);
                d.statusHit = false;
            }
            if (CheckLoop(d, [&] { return CheckStatusTriggers() || CheckTimerTriggers(); }))
                ResetStatusHits();
        }
    }
    ThreadEnded();
}

void TBaseDispatcher::OutThreadLoop() {
    Impl& d = *d_;
    d.outThreadId = std::this_thread::get_id();
    Acknowledge(d);
    std::unique_lock<std::mutex> o(d.output);
    while (!d.kill) {
        d.ocv.wait(o, [&] { return d.kill || (d.ohead != d.otail && !d.flushing); });
        if (d.kill)
            break;
        uint64_t gen = d.oflushGen;
        uint32_t pos = uint32_t(d.otail % d.osize);
        uint32_t len = uint32_t(std::min<uint64_t>(d.ohead - d.otail, d.osize - pos));
        d.writerBusy = true;
        o.unlock();
        long n = WriteCom(d.obuf.get() + pos, len);
        if (n == 0)
            WaitComWritable(-1); // room, a flush or the close ends it (a wake-up
                                 // given before the wait is kept for it)
        o.lock();
        d.writerBusy = false;
        if (gen == d.oflushGen) {
            if (n > 0)
                d.otail += uint64_t(n);
            else if (n < 0)
                d.otail += len; // a failed write drops its stretch
        }
        if (n < 0 && !d.kill && d.lineFailure == 0)
            d.lineFailure = n == ecLineLost ? ecLineLost : ecPutBlockFail;
        d.ocv.notify_all();
        if (n > 0 && d.outTriggerArmed) {
            // Only when an armed trigger may now hold: the ring's own count
            // is a lower bound of what is still to go out.
            uint64_t used = d.ohead - d.otail;
            if (d.osize - used >= d.outFreeWanted || int64_t(used) <= d.outUsedWanted)
                SignalDispatcher(d, true); // (the event lock is taken alone elsewhere)
        }
    }
    d.writerBusy = false;
    d.ocv.notify_all();
    o.unlock();
    ThreadEnded();
}

// ---------------------------------------------------------------------------
// The Linux dispatcher

TLinuxDispatcher::TLinuxDispatcher(void* owner, DeviceFactory factory)
    : TBaseDispatcher(owner), factory_(std::move(factory)) {
    if (!factory_)
        factory_ = [](const std::string& name) { return platform::MakeDevice(name); };
}

TLinuxDispatcher::~TLinuxDispatcher() {
    if (d_->closePending)
        DonePortPrim();
    else
        DonePort();
    StopDispatcher();
    RemoveAllTriggers();
}

int32_t TLinuxDispatcher::OpenCom(const std::string& name, uint32_t, uint32_t) {
    if (comThread_.joinable() || dispThread_.joinable() || outThread_.joinable())
        StopDispatcher();
    device_ = factory_(name);
    if (!device_)
        return ecFileNotFound;
    int r = device_->open(name);
    if (r != 0)
        return r;
    return ecOK;
}

int32_t TLinuxDispatcher::CloseCom() {
    Impl& d = *d_;
    {
        std::lock_guard<std::mutex> g(d.general);
        d.kill = true; // no new notice starts from here on
    }
    d.open = false;
    {
        std::lock_guard<std::mutex> o(d.output);
        d.ocv.notify_all();
    }
    if (device_) {
        device_->wakeInput();
        device_->wakeOutput();
    }
    // The com and output threads never wait for a notice: they end at once.
    auto self = std::this_thread::get_id();
    if (comThread_.joinable() && comThread_.get_id() != self)
        comThread_.join();
    if (outThread_.joinable() && outThread_.get_id() != self)
        outThread_.join();
    if (device_)
        device_->close();
    return ecOK;
}

int32_t TLinuxDispatcher::SetupCom(uint32_t inQueue, uint32_t outQueue) {
    return device_ ? device_->setQueueSizes(inQueue, outQueue) : ecCommNotOpen;
}

int32_t TLinuxDispatcher::GetComState(LineSettings& settings) {
    return device_ ? device_->getLineSettings(settings) : ecCommNotOpen;
}

int32_t TLinuxDispatcher::SetComState(const LineSettings& settings) {
    return device_ ? device_->setLineSettings(settings) : ecCommNotOpen;
}

long TLinuxDispatcher::ReadCom(uint8_t* buf, size_t count) {
    return device_ ? device_->read(buf, count) : long(ecCommNotOpen);
}

long TLinuxDispatcher::WriteCom(const uint8_t* buf, size_t count) {
    return device_ ? device_->write(buf, count) : long(ecCommNotOpen);
}

platform::WaitResult TLinuxDispatcher::WaitComEvent(bool wantData, int timeoutMs) {
    return device_ ? device_->waitInput(wantData, timeoutMs) : platform::WaitResult::Failed;
}

platform::WaitResult TLinuxDispatcher::WaitComWritable(int timeoutMs) {
    return device_ ? device_->waitOutput(timeoutMs) : platform::WaitResult::Failed;
}

void TLinuxDispatcher::WakeCom(bool input, bool output) {
    if (!device_)
        return;
    if (input)
        device_->wakeInput();
    if (output)
        device_->wakeOutput();
}

platform::DeviceStatus TLinuxDispatcher::GetComError() {
    return device_ ? device_->status() : platform::DeviceStatus{};
}

uint32_t TLinuxDispatcher::GetComOutQueue() {
    return device_ ? device_->outputQueued() : 0;
}

uint8_t TLinuxDispatcher::GetComModemLines() {
    return device_ ? device_->modemLines() : 0;
}

bool TLinuxDispatcher::HasModemLines() {
    return device_ && device_->hasModemLines();
}

int32_t TLinuxDispatcher::EscapeComFunction(int32_t code) {
    if (!device_)
        return ecCommNotOpen;
    int r;
    switch (code) {
    case kEscSetRTS:
    case kEscClrRTS:
        r = device_->setRts(code == kEscSetRTS);
        break;
    case kEscSetDTR:
    case kEscClrDTR:
        r = device_->setDtr(code == kEscSetDTR);
        break;
    case kEscSetBreak:
    case kEscClrBreak:
        r = device_->setBreak(code == kEscSetBreak);
        break;
    default:
        return ecBadArgument;
    }
    return r;
}

int32_t TLinuxDispatcher::SetComRS485(bool on) {
    if (!device_)
        return on ? ecCommNotOpen : ecOK;
    return device_->setRs485(on);
}

int32_t TLinuxDispatcher::FlushCom(unsigned which) {
    return device_ ? device_->purge(which) : ecOK;
}

int32_t TLinuxDispatcher::StartDispatcher() {
    Impl& d = *d_;
    {
        std::lock_guard<std::mutex> g(d.general);
        if (d.active)
            throw std::logic_error("Dispatcher already started");
        d.active = true;
        d.kill = false;
    }
    {
        std::lock_guard<std::mutex> lk(d.startLock);
        d.started = 0;
    }
    auto start = [&](std::thread& t, void (TLinuxDispatcher::*body)(), int n) {
        d.liveThreads.fetch_add(1);
        t = std::thread([this, body] { (this->*body)(); });
        std::unique_lock<std::mutex> lk(d.startLock);
        d.startCv.wait_for(lk, std::chrono::milliseconds(3000), [&] { return d.started >= n; });
    };
    start(comThread_, &TLinuxDispatcher::ComThreadLoop, 1);
    start(dispThread_, &TLinuxDispatcher::DispThreadLoop, 2);
    start(outThread_, &TLinuxDispatcher::OutThreadLoop, 3);
    return ecOK;
}

int32_t TLinuxDispatcher::StopDispatcher() {
    Impl& d = *d_;
    d.kill = true;
    {
        std::lock_guard<std::mutex> o(d.output);
        d.ocv.notify_all();
    }
    {
        std::lock_guard<std::mutex> e(d.evLock);
        d.comEvent = true;
    }
    d.evCv.notify_all();
    if (device_) {
        device_->wakeInput();
        device_->wakeOutput();
    }
    auto self = std::this_thread::get_id();
    for (std::thread* t : {&comThread_, &outThread_, &dispThread_})
        if (t->joinable() && t->get_id() != self)
            t->join();
    return ecOK;
}

} // namespace vorl
