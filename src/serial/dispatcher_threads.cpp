// The dispatcher's three threads: the com thread reads the device, the
// dispatcher thread checks triggers and delivers their notices, the output
// thread writes the output ring to the device.
#include "serial/dispatcher.h"

#include "serial/dispatcher_impl.h"

#include <algorithm>
#include <cstring>

namespace vorl {

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

} // namespace vorl
