// Trigger lists, handler lists, the trigger checks of the dispatcher thread
// and the delivery of notices (SendNotify).
#include "serial/dispatcher.h"

#include "serial/dispatcher_impl.h"

#include <algorithm>

namespace vorl {

namespace {

using Impl = TBaseDispatcher::Impl;

// A free handle base (general held): the counter's next multiple of 8 while
// it lasts, then the smallest multiple of 8 no trigger uses. 0 when none.
uint32_t NextHandle(Impl& d) {
    if (d.handleCounter < 4096)
        return d.handleCounter++ * 8;
    std::vector<bool> used(4096, false); // rare: only after 4095 triggers
    auto mark = [&](uint32_t h) {
        if ((h >> 3) < used.size())
            used[h >> 3] = true;
    };
    for (auto& t : d.timers)
        mark(t.handle);
    for (auto& t : d.datas)
        mark(t.handle);
    for (auto& t : d.statuses)
        mark(t.handle & ~7u);
    for (uint32_t b = 1; b < 4096; ++b)
        if (!used[b])
            return b * 8;
    return 0;
}

void RecomputeFlags(Impl& d, THandlerFlagUpdate update) {
    bool others = d.wnds.size() > 1 || !d.procs.empty() || !d.events.empty();
    switch (update) {
    case fuKeepPort:
        d.serviceNeeded = others || d.portHandlerInstalled;
        break;
    case fuEnablePort:
        d.portHandlerInstalled = true;
        d.serviceNeeded = true;
        break;
    case fuDisablePort:
        d.portHandlerInstalled = false;
        d.serviceNeeded = others;
        break;
    }
}

template <class T> void EraseDeleted(std::vector<std::shared_ptr<T>>& v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](const auto& e) { return e->deleted; }), v.end());
}

} // namespace

// ---------------------------------------------------------------------------
// Triggers

int32_t TBaseDispatcher::AddDataTrigger(std::string_view s, bool ignoreCase, bool seeWaiting) {
    return AddDataTriggerLen(s.data(), ignoreCase, uint32_t(s.size()), seeWaiting);
}

int32_t TBaseDispatcher::AddDataTriggerLen(const void* data, bool ignoreCase, uint32_t len,
                                           bool seeWaiting) {
    if (len > kMaxTrigger)
        return ecTriggerTooLong;
    Impl& d = *d_;
    uint32_t h = 0;
    {
        std::lock_guard<std::mutex> g(d.general);
        h = NextHandle(d);
        if (h == 0)
            return ecNoMoreTriggers;
        TDataTrigger t = MakeDataTrigger(static_cast<const uint8_t*>(data), len, ignoreCase);
        t.handle = h;
        d.datas.push_back(t);
        if (d.logState == 1)
            LogEntryLocked(d, dtTriggerAlloc, dstDataTrigger, h, data, len);
        if (!seeWaiting)
            return int32_t(h);
        // The scan is done under both locks, so it starts again from the
        // first unread byte with every trigger in its first state.
        std::lock_guard<std::mutex> i(d.input);
        for (auto& other : d.datas)
            other.partialCounts.fill(0);
        d.scanPos = d.tail;
    }
    {
        std::lock_guard<std::mutex> lk(d.evLock);
        d.comEvent = true;
    }
    d.evCv.notify_one();
    return int32_t(h);
}

int32_t TBaseDispatcher::AddTimerTrigger() {
    std::lock_guard<std::mutex> g(d_->general);
    uint32_t h = NextHandle(*d_);
    if (h == 0)
        return ecNoMoreTriggers;
    TTimerTrigger t;
    t.handle = h;
    d_->timers.push_back(t);
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerAlloc, dstTimerTrigger, h, nullptr, 0);
    return int32_t(h);
}

int32_t TBaseDispatcher::AddStatusTrigger(uint16_t kind) {
    if (kind > stOutSent)
        return ecBadArgument;
    std::lock_guard<std::mutex> g(d_->general);
    uint32_t h = NextHandle(*d_);
    if (h == 0)
        return ecNoMoreTriggers;
    TStatusTrigger t;
    t.handle = h + kind;
    t.kind = kind;
    d_->statuses.push_back(t);
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerAlloc, dstStatusTrigger, h + kind, nullptr, 0);
    return int32_t(h + kind);
}

namespace {

TTimerTrigger* FindTimer(Impl& d, uint32_t h) {
    for (auto& t : d.timers)
        if (t.handle == h)
            return &t;
    return nullptr;
}

TStatusTrigger* FindStatus(Impl& d, uint32_t h) {
    for (auto& t : d.statuses)
        if (t.handle == h)
            return &t;
    return nullptr;
}

} // namespace

int32_t TBaseDispatcher::SetTimerTrigger(uint32_t handle, int32_t ticks, bool activate) {
    std::lock_guard<std::mutex> g(d_->general);
    TTimerTrigger* t = FindTimer(*d_, handle);
    if (!t)
        return ecBadTriggerHandle;
    if (activate) {
        if (ticks != 0)
            t->ticks = ticks;
        NewTimer(t->timer, t->ticks);
    }
    t->active = activate;
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerDataChange, dstTimerTrigger, handle, &ticks, sizeof ticks);
    return ecOK;
}

int32_t TBaseDispatcher::ExtendTimer(uint32_t handle, int32_t ticks) {
    std::lock_guard<std::mutex> g(d_->general);
    TTimerTrigger* t = FindTimer(*d_, handle);
    if (!t)
        return ecBadTriggerHandle;
    t->timer.ExpireTicks += ticks;
    return ecOK;
}

int32_t TBaseDispatcher::TimerTicksRemaining(uint32_t handle, int32_t& ticks) {
    std::lock_guard<std::mutex> g(d_->general);
    TTimerTrigger* t = FindTimer(*d_, handle);
    if (!t)
        return ecBadTriggerHandle;
    ticks = RemainingTime(t->timer);
    return ecOK;
}

int32_t TBaseDispatcher::SetStatusTrigger(uint32_t handle, uint32_t value, bool activate) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    TStatusTrigger* t = FindStatus(d, handle);
    if (!t)
        return ecBadTriggerHandle;
    if (activate) {
        switch (t->kind) {
        case stModem: {
            uint8_t mask = uint8_t(value & 0xFF);
            uint8_t now = d.modemStatus | (d.ringSeen ? kDeltaRI : 0);
            t->value = uint16_t((mask << 8) | (now & mask));
            break;
        }
        case stLine: {
            uint16_t v = 0;
            if (value & 1)
                v |= platform::kErrOverrun;
            if (value & 2)
                v |= platform::kErrParity;
            if (value & 4)
                v |= platform::kErrFraming;
            if (value & 8)
                v |= platform::kErrBreak;
            t->value = v;
            break;
        }
        case stOutBuffFree:
        case stOutBuffUsed:
            t->value = uint16_t(value);
            break;
        default:
            break;
        }
    }
    t->active = activate;
    NoteOutputTriggers(d);
    if (d.logState == 1)
        LogEntryLocked(d, dtTriggerDataChange, dstStatusTrigger, handle, &value, sizeof value);
    return ecOK;
}

int32_t TBaseDispatcher::ChangeLengthTrigger(uint32_t count) {
    std::lock_guard<std::mutex> g(d_->general);
    d_->lenTrigger = count;
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerDataChange, dstAvailTrigger, count, nullptr, 0);
    return ecOK;
}

int32_t TBaseDispatcher::DiscardUntilTrigger(uint32_t handle) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    if (handle != 0 && std::none_of(d.datas.begin(), d.datas.end(),
                                    [&](const TDataTrigger& t) { return t.handle == handle; }))
        return ecBadTriggerHandle;
    d.discardUntil = handle;
    return ecOK;
}

int32_t TBaseDispatcher::RemoveTrigger(uint32_t handle) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    if (handle == d.discardUntil)
        d.discardUntil = 0;
    if (handle == kLengthTriggerHandle) {
        d.lenTrigger = 0;
        return ecOK;
    }
    if (handle == 0)
        return ecBadTriggerHandle;
    auto erase = [&](auto& v, TDispatchSubType sub) {
        for (auto it = v.begin(); it != v.end(); ++it)
            if (it->handle == handle) {
                v.erase(it);
                if (d.logState == 1)
                    LogEntryLocked(d, dtTriggerDispose, sub, handle, nullptr, 0);
                return true;
            }
        return false;
    };
    if (erase(d.timers, dstTimerTrigger) || erase(d.statuses, dstStatusTrigger) ||
        erase(d.datas, dstDataTrigger)) {
        NoteOutputTriggers(d);
        return ecOK;
    }
    return ecBadTriggerHandle;
}

void TBaseDispatcher::RemoveAllTriggers() {
    std::lock_guard<std::mutex> g(d_->general);
    d_->lenTrigger = 0;
    d_->timers.clear();
    d_->datas.clear();
    d_->statuses.clear();
    d_->handleCounter = 1;
    d_->discardUntil = 0;
    NoteOutputTriggers(*d_);
}

void TBaseDispatcher::SaveTriggers(TTriggerSave& save) {
    std::lock_guard<std::mutex> g(d_->general);
    save.lengthTrigger = int32_t(d_->lenTrigger);
    save.timerTriggers = d_->timers;
    save.dataTriggers = d_->datas;
    save.statusTriggers = d_->statuses;
}

void TBaseDispatcher::RestoreTriggers(const TTriggerSave& save) {
    Impl& d = *d_;
    std::lock_guard<std::mutex> g(d.general);
    d.lenTrigger = uint32_t(save.lengthTrigger);
    d.timers = save.timerTriggers;
    d.datas = save.dataTriggers;
    d.statuses = save.statusTriggers;
    d.discardUntil = 0;
    // New handles start past every restored one: a handle the caller still
    // holds must never name a second trigger.
    uint32_t highest = 0;
    for (const auto& t : d.timers)
        highest = std::max(highest, t.handle);
    for (const auto& t : d.datas)
        highest = std::max(highest, t.handle);
    for (const auto& t : d.statuses)
        highest = std::max(highest, t.handle);
    d.handleCounter = std::max(d.handleCounter, (highest >> 3) + 1);
    NoteOutputTriggers(d);
}

void TBaseDispatcher::ClearSaveBuffers(TTriggerSave& save) {
    save = TTriggerSave{};
}

// ---------------------------------------------------------------------------
// Handlers

int32_t TBaseDispatcher::RegisterWndTriggerHandler(std::shared_ptr<Delivery> target,
                                                   TTriggerNoticeFn fn) {
    if (!target || !fn)
        return ecBadArgument;
    auto e = std::make_shared<WndEntry>();
    e->target = std::move(target);
    e->fn = std::move(fn);
    std::lock_guard<std::mutex> g(d_->general);
    d_->wnds.push_back(std::move(e));
    d_->serviceNeeded = true;
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerHandlerAlloc, dstWndHandler, 0, nullptr, 0);
    return ecOK;
}

int32_t TBaseDispatcher::RegisterProcTriggerHandler(TTriggerHandlerProc proc) {
    if (!proc)
        return ecBadArgument;
    auto e = std::make_shared<ProcEntry>();
    e->proc = proc;
    std::lock_guard<std::mutex> g(d_->general);
    d_->procs.push_back(std::move(e));
    d_->serviceNeeded = true;
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerHandlerAlloc, dstProcHandler, 0, nullptr, 0);
    return ecOK;
}

int32_t TBaseDispatcher::RegisterEventTriggerHandler(TTriggerNoticeFn fn, const void* key) {
    return RegisterSyncEventTriggerHandler(nullptr, std::move(fn), key);
}

int32_t TBaseDispatcher::RegisterSyncEventTriggerHandler(std::shared_ptr<Delivery> target,
                                                         TTriggerNoticeFn fn, const void* key) {
    if (!fn)
        return ecBadArgument;
    auto e = std::make_shared<EventEntry>();
    e->fn = std::move(fn);
    e->key = key;
    e->sync = std::move(target);
    std::lock_guard<std::mutex> g(d_->general);
    d_->events.push_back(std::move(e));
    d_->serviceNeeded = true;
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerHandlerAlloc, dstEventHandler, 0, nullptr, 0);
    return ecOK;
}

namespace {

// Removes the first entry `match` accepts, or marks it while a notice runs.
template <class T, class M> void Deregister(Impl& d, std::vector<std::shared_ptr<T>>& v, M match) {
    for (auto it = v.begin(); it != v.end(); ++it) {
        if ((*it)->deleted || !match(**it))
            continue;
        if (d.delivering) {
            (*it)->deleted = true;
            d.deletionsPending = true;
        } else {
            v.erase(it);
        }
        break;
    }
    RecomputeFlags(d, fuKeepPort);
}

} // namespace

int32_t TBaseDispatcher::DeregisterWndTriggerHandler(const Delivery* target) {
    std::lock_guard<std::mutex> g(d_->general);
    Deregister(*d_, d_->wnds, [&](const WndEntry& e) { return e.target.get() == target; });
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerHandlerDispose, dstWndHandler, 0, nullptr, 0);
    return ecOK;
}

int32_t TBaseDispatcher::DeregisterProcTriggerHandler(TTriggerHandlerProc proc) {
    std::lock_guard<std::mutex> g(d_->general);
    Deregister(*d_, d_->procs, [&](const ProcEntry& e) { return e.proc == proc; });
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerHandlerDispose, dstProcHandler, 0, nullptr, 0);
    return ecOK;
}

int32_t TBaseDispatcher::DeregisterEventTriggerHandler(const void* key) {
    std::lock_guard<std::mutex> g(d_->general);
    Deregister(*d_, d_->events, [&](const EventEntry& e) { return e.key == key; });
    if (d_->logState == 1)
        LogEntryLocked(*d_, dtTriggerHandlerDispose, dstEventHandler, 0, nullptr, 0);
    return ecOK;
}

void TBaseDispatcher::UpdateHandlerFlags(THandlerFlagUpdate update) {
    std::lock_guard<std::mutex> g(d_->general);
    RecomputeFlags(*d_, update);
}

bool TBaseDispatcher::SetEventBusy(bool busy) {
    std::lock_guard<std::mutex> g(d_->general);
    return d_->busy.exchange(busy);
}

// ---------------------------------------------------------------------------
// Delivery

namespace {

// A handler on `reader`'s thread starts: it reads the notice's bytes from the
// first. Its thread stays a provisional reader until the notice's end.
void BeginHandler(Impl& d, std::thread::id reader) {
    std::lock_guard<std::mutex> i(d.input);
    BeginNoticeReader(d, reader);
}

// Runs `fn` on `target`'s thread and waits at most 3000 ms. Once the
// handler has started in time, that thread reads provisionally until the
// notice ends; a run after the wait was given up reads like any other
// caller. A handler still running when the wait is given up goes on after
// the bytes it has taken so far, for real: it must neither read them a
// second time nor lose them.
void SendToOwner(Impl& d, Delivery& target, const TTriggerNoticeFn& fn, uint32_t msg,
                 uint32_t first, uint32_t second) {
    std::shared_ptr<NoticeSlot> slot = d.slot;
    uint64_t seq;
    {
        std::lock_guard<std::mutex> lk(slot->m);
        seq = ++slot->seq;
        slot->waiting = true;
        slot->running = false;
    }
    Impl* dp = &d;
    target.send(
        [slot, seq, dp, fn, msg, first, second] {
            const auto me = std::this_thread::get_id();
            bool counted = false;
            {
                std::lock_guard<std::mutex> lk(slot->m);
                // While `waiting` holds, the dispatcher sits in send(): alive.
                if (slot->waiting && slot->seq == seq) {
                    std::lock_guard<std::mutex> i(dp->input);
                    BeginNoticeReader(*dp, me);
                    slot->running = true;
                    slot->runner = me;
                    counted = true;
                }
            }
            // As the handler returns (or throws): no longer running, no
            // longer a late reader.
            struct Returned {
                NoticeSlot& slot;
                uint64_t seq;
                std::thread::id me;
                bool counted;
                ~Returned() {
                    if (!counted)
                        return;
                    {
                        std::lock_guard<std::mutex> lk(slot.m);
                        if (slot.seq == seq)
                            slot.running = false;
                    }
                    std::thread::id late = me;
                    slot.lateReader.compare_exchange_strong(late, std::thread::id{});
                }
            } returned{*slot, seq, me, counted};
            fn(msg, first, second);
        },
        kNoticeSendTimeout);
    {
        std::lock_guard<std::mutex> lk(slot->m);
        slot->waiting = false;
        if (slot->running) {
            // Given up while the handler runs: what it has taken so far is
            // taken (committed with the notice), and it reads on after it.
            std::lock_guard<std::mutex> i(d.input);
            auto& readers = d.noticeReaders;
            for (auto it = readers.begin(); it != readers.end(); ++it)
                if (it->thread == slot->runner) {
                    d.lateReadPos = d.noticeBase + it->count;
                    readers.erase(it);
                    break;
                }
            slot->lateReader = slot->runner;
            slot->running = false;
        }
    }
}

} // namespace

// Delivers one notice to every handler in order; see dispatcher.h.
bool TBaseDispatcher::SendNotify(uint32_t msg, uint32_t first, uint32_t data) {
    Impl& d = *d_;
    TBaseDispatcher& self = *this;
    {
        std::lock_guard<std::mutex> g(d.general);
        if (!d.serviceNeeded)
            return true;
        if (d.kill || d.closePending)
            return false;
        d.delivering = true;
    }
    const uint32_t second = data + (uint32_t(self.Handle()) << 16);
    const bool avail = msg == kNoticeTriggerAvail || msg == kNoticeTriggerData;
    {
        std::lock_guard<std::mutex> i(d.input);
        d.inAvailNotice = avail;
        d.noticeBase = d.tail;
        d.largestCount = 0;
        d.noticeReaders.clear();
    }
    const auto me = std::this_thread::get_id();
    bool aborted = false;

    for (size_t k = 0; !aborted; ++k) {
        std::shared_ptr<EventEntry> e;
        {
            std::lock_guard<std::mutex> g(d.general);
            if (k >= d.events.size())
                break;
            e = d.events[k];
            if (e->deleted)
                continue;
        }
        if (e->sync) {
            SendToOwner(d, *e->sync, e->fn, msg, first, second);
        } else {
            BeginHandler(d, me);
            e->fn(msg, first, second);
        }
        aborted = d.closePending;
    }
    for (size_t k = 0; !aborted; ++k) {
        std::shared_ptr<ProcEntry> e;
        {
            std::lock_guard<std::mutex> g(d.general);
            if (k >= d.procs.size())
                break;
            e = d.procs[k];
            if (e->deleted)
                continue;
        }
        BeginHandler(d, me);
        e->proc(msg, first, second);
        aborted = d.closePending;
    }
    for (size_t k = 0; !aborted; ++k) {
        std::shared_ptr<WndEntry> e;
        {
            std::lock_guard<std::mutex> g(d.general);
            if (!(d.wnds.size() > 1 || d.portHandlerInstalled) || k >= d.wnds.size())
                break;
            e = d.wnds[k];
            if (e->deleted)
                continue;
        }
        SendToOwner(d, *e->target, e->fn, msg, first, second);
        aborted = d.closePending;
    }

    bool result = !aborted;
    bool wake = false;
    {
        std::lock_guard<std::mutex> i(d.input);
        if (d.inAvailNotice) {
            d.inAvailNotice = false;
            if (!aborted) {
                uint64_t to = std::min(d.head, d.noticeBase + d.largestCount);
                if (to > d.tail)
                    d.tail = to;
                wake = d.readerStalled && d.largestCount > 0;
                if (wake)
                    d.readerStalled = false;
                if (msg == kNoticeTriggerAvail && d.largestCount != first)
                    result = false;
            }
        }
        d.noticeReaders.clear();
    }
    if (wake)
        self.WakeCom(true, false);
    {
        std::lock_guard<std::mutex> g(d.general);
        d.delivering = false;
        if (d.deletionsPending) {
            EraseDeleted(d.wnds);
            EraseDeleted(d.procs);
            EraseDeleted(d.events);
            d.deletionsPending = false;
            RecomputeFlags(d, fuKeepPort);
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// Trigger checks (dispatcher thread)

namespace {

// Drops the bytes before the scan position that no data trigger can still
// match: a match in progress started at most its longest partial count back
// (general and input held).
void DropUnmatchable(Impl& d) {
    uint32_t partial = 0;
    for (const auto& t : d.datas)
        for (uint32_t k = 0; k < t.length; ++k)
            partial = std::max(partial, t.partialCounts[k]);
    const uint64_t keepFrom = d.scanPos - std::min<uint64_t>(partial, d.scanPos);
    d.tail = std::max(d.tail, keepFrom);
}

} // namespace

// Feeds the bytes from the scan position on to the data triggers and gives
// the length trigger's notice; handles at most one matching byte per call.
bool TBaseDispatcher::CheckReceiveTriggers() {
    Impl& d = *d_;
    uint32_t availCount = 0;
    bool sendAvail = false;
    {
        std::lock_guard<std::mutex> g(d.general);
        std::lock_guard<std::mutex> i(d.input);
        d.matched.clear();
        uint64_t c = d.scanPos;
        for (; c < d.head && d.matched.empty(); ++c) {
            uint8_t byte = d.dbuf[c % kDispatchBufferSize];
            uint32_t longest = 0;
            for (auto& t : d.datas)
                if (t.length > 0 && !t.matched && MatchDataTrigger(t, byte)) {
                    t.matched = true;
                    longest = std::max(longest, t.length);
                }
            if (longest == 0)
                continue;
            // Which triggers matched here, from the last added to the first.
            for (auto it = d.datas.rbegin(); it != d.datas.rend(); ++it)
                if (it->matched) {
                    it->matched = false;
                    d.matched.emplace_back(it->handle, it->length);
                    if (it->handle == d.discardUntil)
                        d.discardUntil = 0; // what follows the string is kept
                }
            if (d.lenTrigger && d.availPos != c && c + 1 > d.tail) {
                uint64_t count = c + 1 - d.tail;
                if (count >= longest && count - longest >= d.lenTrigger) {
                    sendAvail = true;
                    availCount = uint32_t(count - longest);
                    d.availPos = c;
                }
            }
            d.scanPos = c + 1;
        }
        if (d.matched.empty()) {
            d.scanPos = d.head;
            if (d.discardUntil != 0 && !d.inAvailNotice)
                DropUnmatchable(d);
            if (d.lenTrigger && d.availPos != d.head && d.head - d.tail >= d.lenTrigger) {
                d.availPos = d.head;
                availCount = uint32_t(d.head - d.tail);
                sendAvail = true;
            }
        }
    }
    bool result = false;
    if (sendAvail) {
        if (d.logState == 1) {
            std::lock_guard<std::mutex> g(d.general);
            LogEntryLocked(d, dtTrigger, dstAvail, availCount, nullptr, 0);
        }
        result = SendNotify(kNoticeTriggerAvail, availCount, 0);
    }
    // `matched` belongs to this thread alone, so it is walked without the lock
    // while handlers run.
    for (size_t k = 0; k < d.matched.size() && !d.closePending; ++k) {
        auto [h, len] = d.matched[k];
        if (d.logState == 1) {
            std::lock_guard<std::mutex> g(d.general);
            LogEntryLocked(d, dtTrigger, dstData, h, nullptr, 0);
        }
        result = SendNotify(kNoticeTriggerData, h, len);
    }
    if (!d.matched.empty())
        return result;
    return sendAvail ? result : false;
}

bool TBaseDispatcher::CheckStatusTriggers() {
    Impl& d = *d_;
    uint32_t handle = 0, data = 0;
    {
        std::lock_guard<std::mutex> g(d.general);
        if (d.statuses.empty())
            return false;
        RefreshLocked(*this, d);
        for (auto& t : d.statuses) {
            if (!t.active || t.StatusHit)
                continue;
            bool fire = false;
            switch (t.kind) {
            case stModem: {
                uint8_t watched = uint8_t(t.value >> 8);
                uint8_t now = d.modemStatus | (d.ringSeen ? kDeltaRI : 0);
                fire = ((now & watched) ^ (t.value & 0xFF)) != 0;
                break;
            }
            case stLine:
                fire = (d.lineErrors & t.value) != 0;
                break;
            case stOutBuffFree:
            case stOutBuffUsed: {
                uint32_t used;
                {
                    std::lock_guard<std::mutex> o(d.output);
                    used = OutUsedLocked(d);
                }
                uint32_t free = d.osize - used;
                if (t.kind == stOutBuffFree) {
                    fire = free >= t.value;
                    data = free;
                } else {
                    fire = used <= t.value;
                    data = used;
                }
                break;
            }
            case stOutSent:
                fire = d.dataWritten.exchange(false);
                break;
            default:
                break;
            }
            if (fire) {
                t.active = false;
                t.StatusHit = true;
                d.statusHit = true;
                handle = t.handle;
                if (t.kind != stOutBuffFree && t.kind != stOutBuffUsed)
                    data = 0;
                break;
            }
        }
        if (handle)
            NoteOutputTriggers(d);
        if (handle && d.logState == 1)
            LogEntryLocked(d, dtTrigger, dstStatus, handle, nullptr, 0);
    }
    if (!handle)
        return false;
    return SendNotify(kNoticeTriggerStatus, handle, data & 0xFFFF);
}

bool TBaseDispatcher::CheckTimerTriggers() {
    Impl& d = *d_;
    uint32_t handle = 0;
    {
        std::lock_guard<std::mutex> g(d.general);
        int32_t now = CurrentTicks();
        for (auto& t : d.timers)
            if (t.active && TimerExpiredAt(t.timer, now)) {
                t.active = false;
                handle = t.handle;
                break;
            }
        if (handle && d.logState == 1)
            LogEntryLocked(d, dtTrigger, dstTimer, handle, nullptr, 0);
    }
    if (!handle)
        return false;
    return SendNotify(kNoticeTriggerTimer, handle, 0);
}

void TBaseDispatcher::ResetStatusHits() {
    std::lock_guard<std::mutex> g(d_->general);
    for (auto& t : d_->statuses)
        t.StatusHit = false;
    d_->statusHit = false;
}

} // namespace vorl
