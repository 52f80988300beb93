// The trace (bytes taken and sent, for the port's trace file) and the
// dispatch log (what the dispatcher did, for the port's log file).
#include "serial/dispatcher.h"

#include "serial/dispatcher_impl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorl {

namespace {

using Impl = TBaseDispatcher::Impl;

constexpr uint32_t kMaxTraceEntries = 4000000;
constexpr size_t kLogHeader = 16;

// Writes bytes the way the trace and log files show them: printable ones as
// themselves, others in brackets (hex or decimal), lines wrapped at 78.
class WrappedWriter {
public:
    WrappedWriter(std::FILE* f, bool inHex, bool allHex) : f_(f), hex_(inHex), allHex_(allHex) {}
    void line(const char* text) {
        endLine();
        std::fputs(text, f_);
        std::fputc('\n', f_);
    }
    void byte(uint8_t c) {
        char buf[8];
        if (!allHex_ && c >= 32 && c < 127 && c != '[' && c != ']') {
            buf[0] = char(c);
            buf[1] = 0;
        } else if (hex_ || allHex_) {
            std::snprintf(buf, sizeof buf, "[%02X]", c);
        } else {
            std::snprintf(buf, sizeof buf, "[%u]", c);
        }
        size_t n = std::strlen(buf);
        if (col_ + n > 78)
            endLine();
        std::fputs(buf, f_);
        col_ += n;
    }
    void endLine() {
        if (col_ > 0)
            std::fputc('\n', f_);
        col_ = 0;
    }

private:
    std::FILE* f_;
    bool hex_, allHex_;
    size_t col_ = 0;
};

int32_t CloseFile(std::FILE* f) {
    bool bad = std::ferror(f);
    int e = errno;
    if (std::fclose(f) != 0 || bad)
        return FileErrorCode(bad ? e : errno, true);
    return ecOK;
}

const char* TypeName(uint16_t t) {
    static const char* names[] = {
        "None",           "Dispatch",      "Trigger",        "Error",
        "Thread",         "TriggerAlloc",  "TriggerDispose", "HandlerAlloc",
        "HandlerDispose", "TriggerChange", "Telnet",         "Fax",
        "XModem",         "YModem",        "ZModem",         "Kermit",
        "Ascii",          "BPlus",         "Packet",         "User"};
    return t < sizeof names / sizeof names[0] ? names[t] : "?";
}

const char* SubTypeName(uint16_t s) {
    switch (s) {
    case dstNone:
        return "";
    case dstReadCom:
        return "ReadCom";
    case dstWriteCom:
        return "WriteCom";
    case dstLineStatus:
        return "LineStatus";
    case dstModemStatus:
        return "ModemStatus";
    case dstAvail:
        return "Avail";
    case dstTimer:
        return "Timer";
    case dstData:
        return "Data";
    case dstStatus:
        return "Status";
    case dstThreadStart:
        return "ThreadStart";
    case dstThreadExit:
        return "ThreadExit";
    case dstThreadSleep:
        return "ThreadSleep";
    case dstThreadWake:
        return "ThreadWake";
    case dstDataTrigger:
        return "DataTrigger";
    case dstTimerTrigger:
        return "TimerTrigger";
    case dstStatusTrigger:
        return "StatusTrigger";
    case dstAvailTrigger:
        return "AvailTrigger";
    case dstWndHandler:
        return "WndHandler";
    case dstProcHandler:
        return "ProcHandler";
    case dstEventHandler:
        return "EventHandler";
    default:
        return nullptr; // protocol states: shown by number
    }
}

const char* StatusKindName(uint32_t handle) {
    static const char* kinds[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                                  "(Output buffer free)", "(Output buffer used)", "(Output sent)"};
    uint32_t k = handle & 7;
    return k < 6 ? kinds[k] : "";
}

void LogCopyIn(Impl& d, const uint8_t* src, size_t n) {
    size_t size = d.log.size();
    for (size_t k = 0; k < n; ++k) {
        d.log[d.logWrite] = src[k];
        d.logWrite = (d.logWrite + 1) % size;
    }
}

void LogCopyOut(const Impl& d, size_t from, uint8_t* dst, size_t n) {
    size_t size = d.log.size();
    for (size_t k = 0; k < n; ++k)
        dst[k] = d.log[(from + k) % size];
}

uint32_t U32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t U16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        p[k] = uint8_t(v >> (8 * k));
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

} // namespace

// ---------------------------------------------------------------------------
// Trace (general lock: callers inside the dispatcher hold it; the public
// entry points below take it themselves)

int32_t TBaseDispatcher::InitTracing(uint32_t entries) {
    if (entries == 0 || entries > kMaxTraceEntries)
        return ecBadArgument;
    std::lock_guard<std::mutex> g(d_->general);
    d_->trace.assign(entries, 0);
    d_->traceHead = d_->traceCount = 0;
    d_->traceState = 1;
    return ecOK;
}

void TraceEntryLocked(TBaseDispatcher::Impl& d, char dir, uint8_t c) {
    if (d.traceState != 1 || d.trace.empty())
        return;
    d.trace[d.traceHead] = uint16_t((dir == 'T' ? 0x100 : 0) | c);
    d.traceHead = (d.traceHead + 1) % d.trace.size();
    if (d.traceCount < d.trace.size())
        ++d.traceCount;
}

static int32_t WriteTrace(Impl& d, const std::string& file, const char* mode, bool inHex,
                          bool allHex) {
    std::lock_guard<std::mutex> g(d.general);
    if (d.traceState == 0 || d.trace.empty())
        return ecTracingNotEnabled;
    std::FILE* f = std::fopen(file.c_str(), mode);
    if (!f)
        return FileErrorCode(errno, true);
    WrappedWriter w(f, inHex, allHex);
    size_t size = d.trace.size();
    size_t first = (d.traceHead + size - d.traceCount) % size;
    int dir = -1;
    for (size_t k = 0; k < d.traceCount; ++k) {
        uint16_t e = d.trace[(first + k) % size];
        int edir = e >> 8;
        if (edir != dir) {
            w.line(edir ? "Transmit: " : "Receive: ");
            dir = edir;
        }
        w.byte(uint8_t(e & 0xFF));
    }
    w.endLine();
    d.trace.clear();
    d.trace.shrink_to_fit();
    d.traceHead = d.traceCount = 0;
    d.traceState = 0;
    return CloseFile(f);
}

int32_t TBaseDispatcher::DumpTrace(const std::string& file, bool inHex, bool allHex) {
    return WriteTrace(*d_, file, "w", inHex, allHex);
}

int32_t TBaseDispatcher::AppendTrace(const std::string& file, bool inHex, bool allHex) {
    return WriteTrace(*d_, file, "a", inHex, allHex);
}

void TBaseDispatcher::ClearTracing() {
    std::lock_guard<std::mutex> g(d_->general);
    d_->traceHead = d_->traceCount = 0;
}

void TBaseDispatcher::AbortTracing() {
    std::lock_guard<std::mutex> g(d_->general);
    d_->trace.clear();
    d_->trace.shrink_to_fit();
    d_->traceHead = d_->traceCount = 0;
    d_->traceState = 0;
}

void TBaseDispatcher::StartTracing() {
    std::lock_guard<std::mutex> g(d_->general);
    if (!d_->trace.empty())
        d_->traceState = 1;
}

void TBaseDispatcher::StopTracing() {
    std::lock_guard<std::mutex> g(d_->general);
    if (!d_->trace.empty())
        d_->traceState = 2;
}

bool TBaseDispatcher::TracingOn() {
    std::lock_guard<std::mutex> g(d_->general);
    return d_->traceState == 1;
}

// ---------------------------------------------------------------------------
// Dispatch log

int32_t TBaseDispatcher::InitDispatchLogging(uint32_t size) {
    if (size < kLogHeader)
        return ecBadArgument;
    std::lock_guard<std::mutex> g(d_->general);
    d_->log.assign(size, 0);
    d_->logRead = d_->logWrite = d_->logUsed = 0;
    d_->logState = 1;
    return ecOK;
}

// The oldest entries make room; an entry larger than the whole log is not kept.
void LogEntryLocked(TBaseDispatcher::Impl& d, TDispatchType type, TDispatchSubType subType,
                    uint32_t value, const void* data, uint32_t len) {
    if (d.logState != 1 || d.log.empty())
        return;
    size_t need = kLogHeader + len;
    if (need > d.log.size())
        return;
    while (d.log.size() - d.logUsed < need) {
        uint8_t h[kLogHeader];
        LogCopyOut(d, d.logRead, h, kLogHeader);
        size_t drop = kLogHeader + U32(h + 12);
        d.logRead = (d.logRead + drop) % d.log.size();
        d.logUsed -= drop;
    }
    uint8_t h[kLogHeader];
    Put16(h, uint16_t(type));
    Put16(h + 2, uint16_t(subType));
    Put32(h + 4, TimeGetTime() - d.openMs);
    Put32(h + 8, value);
    Put32(h + 12, len);
    LogCopyIn(d, h, kLogHeader);
    if (len)
        LogCopyIn(d, static_cast<const uint8_t*>(data), len);
    d.logUsed += need;
}

static int32_t WriteLog(Impl& d, const std::string& file, const char* mode, bool inHex,
                        bool allHex) {
    std::lock_guard<std::mutex> g(d.general);
    if (d.logState == 0 || d.log.empty())
        return ecLoggingNotEnabled;
    std::FILE* f = std::fopen(file.c_str(), mode);
    if (!f)
        return FileErrorCode(errno, true);
    WrappedWriter w(f, inHex, allHex);
    w.line("Dispatch log of VORL II, operating system: Unknown");
    size_t pos = d.logRead, left = d.logUsed;
    char text[160];
    while (left >= kLogHeader) {
        uint8_t h[kLogHeader];
        LogCopyOut(d, pos, h, kLogHeader);
        uint16_t type = U16(h), sub = U16(h + 2);
        uint32_t ms = U32(h + 4), value = U32(h + 8), len = U32(h + 12);
        const char* subName = SubTypeName(sub);
        char subBuf[16];
        if (!subName) {
            std::snprintf(subBuf, sizeof subBuf, "state %u", sub);
            subName = subBuf;
        }
        const char* extra = "";
        if ((type == dtTrigger && sub == dstStatus) ||
            ((type == dtTriggerAlloc || type == dtTriggerDispose || type == dtTriggerDataChange) &&
             sub == dstStatusTrigger))
            extra = StatusKindName(value);
        std::snprintf(text, sizeof text, "%10.3f  %-14s %-14s %u %s", ms / 1000.0, TypeName(type),
                      subName, value, extra);
        w.line(text);
        pos = (pos + kLogHeader) % d.log.size();
        for (uint32_t k = 0; k < len; ++k)
            w.byte(d.log[(pos + k) % d.log.size()]);
        w.endLine();
        pos = (pos + len) % d.log.size();
        left -= kLogHeader + len;
    }
    d.log.clear();
    d.log.shrink_to_fit();
    d.logRead = d.logWrite = d.logUsed = 0;
    d.logState = 0;
    return CloseFile(f);
}

int32_t TBaseDispatcher::DumpDispatchLog(const std::string& file, bool inHex, bool allHex) {
    return WriteLog(*d_, file, "w", inHex, allHex);
}

int32_t TBaseDispatcher::AppendDispatchLog(const std::string& file, bool inHex, bool allHex) {
    return WriteLog(*d_, file, "a", inHex, allHex);
}

void TBaseDispatcher::ClearDispatchLogging() {
    std::lock_guard<std::mutex> g(d_->general);
    d_->logRead = d_->logWrite = d_->logUsed = 0;
}

void TBaseDispatcher::AbortDispatchLogging() {
    std::lock_guard<std::mutex> g(d_->general);
    d_->log.clear();
    d_->log.shrink_to_fit();
    d_->logRead = d_->logWrite = d_->logUsed = 0;
    d_->logState = 0;
}

void TBaseDispatcher::StartDispatchLogging() {
    std::lock_guard<std::mutex> g(d_->general);
    if (!d_->log.empty())
        d_->logState = 1;
}

void TBaseDispatcher::StopDispatchLogging() {
    std::lock_guard<std::mutex> g(d_->general);
    if (!d_->log.empty())
        d_->logState = 2;
}

bool TBaseDispatcher::DispatchLoggingOn() {
    std::lock_guard<std::mutex> g(d_->general);
    return d_->logState == 1;
}

void TBaseDispatcher::AddTraceEntry(char dir, uint8_t c) {
    std::lock_guard<std::mutex> g(d_->general);
    TraceEntryLocked(*d_, dir, c);
}

void TBaseDispatcher::AddDispatchEntry(TDispatchType type, TDispatchSubType subType, uint32_t value,
                                       const void* data, uint32_t len) {
    std::lock_guard<std::mutex> g(d_->general);
    LogEntryLocked(*d_, type, subType, value, data, len);
}

void TBaseDispatcher::AddStringToLog(std::string_view s) {
    AddDispatchEntry(dtUser, dstNone, 0, s.data(), uint32_t(s.size()));
}

} // namespace vorl
