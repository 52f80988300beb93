#include "serial/ticks.h"

#include "platform/error_codes.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace vorl {

namespace {

std::atomic<TimeSourceFn> gTimeSource{nullptr};
std::atomic<MessagePumpFn> gPump{nullptr};

uint32_t MonotonicMs() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

} // namespace

uint32_t TimeGetTime() {
    TimeSourceFn fn = gTimeSource.load(std::memory_order_acquire);
    uint32_t ms = fn ? fn() : MonotonicMs();
    return ms & 0x7FFFFFFFu;
}

int32_t CurrentTicks() {
    return int32_t(TimeGetTime() / kMsPerTick);
}

void SetTimeSource(TimeSourceFn fn) {
    gTimeSource.store(fn, std::memory_order_release);
}

int32_t Secs2Ticks(int32_t secs) {
    return int32_t(int64_t(secs) * 1675 / 92);
}
int32_t Ticks2Secs(int32_t ticks) {
    return int32_t((int64_t(ticks) + 9) * 92 / 1675);
}
int32_t MSecs2Ticks(int32_t msecs) {
    return int32_t(int64_t(msecs) * 1675 / 92000);
}

void NewTimer(EventTimer& et, int32_t ticks) {
    if (ticks > kMaxTicks)
        ticks = kMaxTicks;
    et.StartTicks = CurrentTicks();
    et.ExpireTicks = et.StartTicks + ticks;
}

void NewTimerSecs(EventTimer& et, int32_t secs) {
    NewTimer(et, Secs2Ticks(secs));
}

bool TimerExpiredAt(const EventTimer& et, int32_t now) {
    if (et.ExpireTicks < now)
        return true;
    // The clock wrapped since the timer started.
    return now < et.StartTicks && et.ExpireTicks < now + kMaxTicks;
}

bool TimerExpired(const EventTimer& et) {
    return TimerExpiredAt(et, CurrentTicks());
}

int32_t ElapsedTime(const EventTimer& et) {
    int32_t now = CurrentTicks();
    int32_t e = now - et.StartTicks;
    if (now < et.StartTicks)
        e += kMaxTicks;
    return e;
}

int32_t ElapsedTimeInSecs(const EventTimer& et) {
    return Ticks2Secs(ElapsedTime(et));
}

int32_t RemainingTime(const EventTimer& et) {
    int32_t now = CurrentTicks();
    int32_t r = et.ExpireTicks - now;
    if (now < et.StartTicks)
        r -= kMaxTicks;
    return r < 0 ? 0 : r;
}

int32_t RemainingTimeInSecs(const EventTimer& et) {
    return Ticks2Secs(RemainingTime(et));
}

void DelayMS(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetMessagePump(MessagePumpFn fn) {
    gPump.store(fn, std::memory_order_release);
}

int32_t DelayTicks(int32_t ticks, bool yield) {
    if (ticks <= 0)
        return ecOK;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ticks * kMsPerTick);
    MessagePumpFn pump = yield ? gPump.load(std::memory_order_acquire) : nullptr;
    if (!pump) {
        std::this_thread::sleep_until(deadline);
        return ecOK;
    }
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return ecOK;
        if (!pump(int(left.count())))
            return ecGotQuitMsg;
    }
}

} // namespace vorl
