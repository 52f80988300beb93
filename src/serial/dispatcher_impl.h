// State of a dispatcher shared by its sources: dispatcher.cpp (buffers and
// data), dispatcher_line.cpp (line settings and flow control),
// dispatcher_threads.cpp, linux_dispatcher.cpp, triggers.cpp and
// dispatch_log.cpp. Which lock guards what is noted per group; see
// dispatcher.h for the order in which they are taken.
#pragma once

#include "serial/dispatcher.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vorl {

// Shared with the functions a window or synchronised handler's notice runs on
// the owner's thread, so a notice that runs after its sender gave up finds out
// without touching the dispatcher.
struct NoticeSlot {
    std::mutex m;
    uint64_t seq = 0;
    bool waiting = false; // the dispatcher thread waits in send() for notice `seq`
    bool running = false; // the handler of notice `seq` has started and not yet returned
    std::thread::id runner{};
    // A handler still running when the dispatcher stopped waiting for it: it
    // goes on reading after the bytes it has taken (`lateReadPos`), for real.
    // Cleared by the handler as it returns, so kept here, not in the
    // dispatcher it may outlive.
    std::atomic<std::thread::id> lateReader{};
};

struct WndEntry {
    std::shared_ptr<Delivery> target;
    TTriggerNoticeFn fn;
    bool deleted = false;
};

struct ProcEntry {
    TTriggerHandlerProc proc = nullptr;
    bool deleted = false;
};

struct EventEntry {
    TTriggerNoticeFn fn;
    const void* key = nullptr;
    std::shared_ptr<Delivery> sync; // set for a synchronised handler
    bool deleted = false;
};

struct TBaseDispatcher::Impl {
    std::mutex general, output, input;

    // --- general ---
    std::atomic<bool> open{false};
    uint32_t inQueue = 4096, outQueue = 4096;
    int32_t lastBaud = 115200;
    bool dtrState = true, rtsState = true;
    bool dtrAuto = false, rtsAuto = false;
    uint16_t hwOptions = 0, swOptions = 0, bufferFull = 0, bufferResume = 0;
    platform::DeviceStatus comStat{};
    uint8_t lineErrors = 0;
    uint8_t modemStatus = 0;
    bool ringSeen = false;
    uint8_t lastLines = 0;
    std::atomic<bool> dataWritten{false};
    uint32_t options = 0;
    std::array<void*, 3> dataPointers{};
    bool rs485 = false;
    uint16_t baseAddress = 0;
    uint8_t threadBoost = 0;

    // Triggers and handlers (general).
    uint32_t lenTrigger = 0;
    std::vector<TTimerTrigger> timers;
    std::vector<TDataTrigger> datas;
    std::vector<TStatusTrigger> statuses;
    uint32_t handleCounter = 1;
    // DiscardUntilTrigger: the data trigger awaited by a caller that reads
    // nothing meanwhile; 0 when none.
    uint32_t discardUntil = 0;
    bool statusHit = false;
    // An output-room or output-used status trigger is armed: the writer then
    // wakes the dispatcher thread as the output drains, not only every 50 ms.
    std::atomic<bool> outTriggerArmed{false};
    std::atomic<uint32_t> outFreeWanted{UINT32_MAX}; // least threshold of armed room triggers
    std::atomic<int64_t> outUsedWanted{-1};          // largest threshold of armed used triggers
    std::vector<std::shared_ptr<WndEntry>> wnds;
    std::vector<std::shared_ptr<ProcEntry>> procs;
    std::vector<std::shared_ptr<EventEntry>> events;
    bool serviceNeeded = false;
    bool portHandlerInstalled = false;
    std::atomic<bool> delivering{false}; // a notice is being delivered
    std::atomic<bool> busy{false};       // SetEventBusy: no notices while set
    bool deletionsPending = false;
    // (handle, length) of the data triggers ending on one byte; dispatcher
    // thread only, capacity kept.
    std::vector<std::pair<uint32_t, uint32_t>> matched;
    std::shared_ptr<NoticeSlot> slot = std::make_shared<NoticeSlot>();

    // Trace (general): entries are (0x100 for transmitted | byte).
    std::vector<uint16_t> trace;
    size_t traceHead = 0, traceCount = 0;
    int traceState = 0; // 0 off, 1 on, 2 paused
    // Dispatch log (general).
    std::vector<uint8_t> log;
    size_t logRead = 0, logWrite = 0, logUsed = 0;
    int logState = 0;
    uint32_t openMs = 0;

    // --- input: dispatch buffer as running counts ---
    std::array<uint8_t, kDispatchBufferSize> dbuf{};
    uint64_t head = 0, tail = 0;
    uint64_t scanPos = 0, availPos = UINT64_MAX;
    bool readerStalled = false;
    // Reading during a notice. Every thread that has run a handler of the
    // notice reads provisionally, after what it has taken, until the notice's
    // bytes are committed at its end: also between its handler's return and
    // that commit, so that it never reads them a second time.
    struct NoticeReader {
        std::thread::id thread;
        uint32_t count = 0; // bytes taken since its latest handler began
    };
    bool inAvailNotice = false;
    uint64_t noticeBase = 0;
    std::vector<NoticeReader> noticeReaders; // capacity kept across notices
    uint32_t largestCount = 0;
    uint64_t lateReadPos = 0; // see NoticeSlot::lateReader

    // --- output: the output ring as running counts ---
    std::unique_ptr<uint8_t[]> obuf;
    uint32_t osize = 0;
    uint64_t ohead = 0, otail = 0;
    uint64_t oflushGen = 0;
    bool writerBusy = false;
    // The line failed for good: a write the device refused (its bytes are
    // gone; ecPutBlockFail) or a device that hung up or failed (ecLineLost,
    // seen by a read or a write). Every later put says so until the port
    // opens again.
    int32_t lineFailure = 0;
    bool flushing = false; // the writer keeps off the device until the flush is done
    std::condition_variable ocv;

    // --- threads ---
    std::atomic<int> liveThreads{0};
    std::atomic<bool> active{false};
    std::atomic<bool> kill{false};
    std::atomic<bool> closePending{false};
    std::thread::id dispThreadId{}, comThreadId{}, outThreadId{};
    std::mutex evLock; // com thread -> dispatcher thread signal
    std::condition_variable evCv;
    bool comEvent = false;
    bool statusEvent = false;
    std::mutex startLock; // thread start acknowledgement
    std::condition_variable startCv;
    int started = 0;
};

// Device status into the dispatcher (general held): line errors accumulate.
inline void RefreshLocked(TBaseDispatcher& self, TBaseDispatcher::Impl& d) {
    platform::DeviceStatus s = self.GetComError();
    d.comStat = s;
    d.lineErrors |= s.errors & 0x1F;
}

// Bytes still to go out: the ring and what the kernel holds (output held;
// the kernel's count as last refreshed).
inline uint32_t OutUsedLocked(const TBaseDispatcher::Impl& d) {
    uint64_t used = (d.ohead - d.otail) + d.comStat.outQueue;
    return uint32_t(std::min<uint64_t>(used, d.osize));
}

// Trace and dispatch log entries from inside the dispatcher (general held).
void TraceEntryLocked(TBaseDispatcher::Impl& d, char dir, uint8_t c);
void LogEntryLocked(TBaseDispatcher::Impl& d, TDispatchType type, TDispatchSubType subType,
                    uint32_t value, const void* data, uint32_t len);

// Recomputes outTriggerArmed (general held).
inline void NoteOutputTriggers(TBaseDispatcher::Impl& d) {
    bool armed = false;
    uint32_t freeWanted = UINT32_MAX;
    int64_t usedWanted = -1;
    for (const auto& t : d.statuses) {
        if (!t.active)
            continue;
        if (t.kind == stOutBuffFree) {
            armed = true;
            freeWanted = std::min<uint32_t>(freeWanted, t.value);
        } else if (t.kind == stOutBuffUsed) {
            armed = true;
            usedWanted = std::max<int64_t>(usedWanted, t.value);
        }
    }
    d.outFreeWanted = freeWanted;
    d.outUsedWanted = usedWanted;
    d.outTriggerArmed = armed;
}

// The calling thread's entry among the readers of the current data or
// data-available notice, or nullptr when it reads for real (input lock held).
inline TBaseDispatcher::Impl::NoticeReader* ProvisionalReader(TBaseDispatcher::Impl& d) {
    if (!d.inAvailNotice)
        return nullptr;
    const auto me = std::this_thread::get_id();
    for (auto& r : d.noticeReaders)
        if (r.thread == me)
            return &r;
    return nullptr;
}

// Makes `thread` a reader of the current notice whose handler starts now: it
// sees the notice's bytes from the first (input lock held).
inline void BeginNoticeReader(TBaseDispatcher::Impl& d, std::thread::id thread) {
    for (auto& r : d.noticeReaders)
        if (r.thread == thread) {
            r.count = 0;
            return;
        }
    d.noticeReaders.push_back({thread, 0});
}

// True on the thread of a handler the dispatcher stopped waiting for while it
// ran (input lock held).
inline bool ReadsLate(const TBaseDispatcher::Impl& d) {
    return d.slot->lateReader.load() == std::this_thread::get_id();
}

} // namespace vorl
