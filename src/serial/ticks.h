// The tick clock of the serial layer and the protocols: all their times count
// in ticks of 55 ms (about 18.2 a second), and an `EventTimer` measures one
// interval on that clock.
//
// How it works: the millisecond clock is the monotonic clock in 31 bits, so it
// wraps after 2^31 ms (about 24.8 days) and the tick count after
// kMaxTicks = 39,045,157 ticks. Every test and difference here is written to
// survive that wrap once; no interval may be longer than kMaxTicks.
// Tests may replace the millisecond clock with `SetTimeSource`.
#pragma once

#include <cstdint>

namespace vorl {

constexpr int32_t kMaxTicks = 39045157;
constexpr int32_t kMsPerTick = 55;

struct EventTimer {
    int32_t StartTicks = 0;
    int32_t ExpireTicks = 0;
};

// Milliseconds on the 31-bit clock.
uint32_t TimeGetTime();
// Ticks now: TimeGetTime() / 55.
int32_t CurrentTicks();

// Replaces the millisecond clock (nullptr: back to the monotonic clock).
using TimeSourceFn = uint32_t (*)();
void SetTimeSource(TimeSourceFn fn);

int32_t Secs2Ticks(int32_t secs);   // secs * 1675 / 92
int32_t Ticks2Secs(int32_t ticks);  // (ticks + 9) * 92 / 1675
int32_t MSecs2Ticks(int32_t msecs); // msecs * 1675 / 92000

void NewTimer(EventTimer& et, int32_t ticks);
void NewTimerSecs(EventTimer& et, int32_t secs);
// True when the expiry tick has passed, also across one wrap of the clock.
bool TimerExpired(const EventTimer& et);
bool TimerExpiredAt(const EventTimer& et, int32_t now);
int32_t ElapsedTime(const EventTimer& et);
int32_t ElapsedTimeInSecs(const EventTimer& et);
int32_t RemainingTime(const EventTimer& et);
int32_t RemainingTimeInSecs(const EventTimer& et);

// Waits `ms` milliseconds (sleeps; never spins).
void DelayMS(uint32_t ms);

// Waits `ticks` ticks. With `yield` the message pump installed by the
// application runs meanwhile; the wait ends early (returning ecGotQuitMsg)
// when the pump reports that the application is quitting. Otherwise 0.
int32_t DelayTicks(int32_t ticks, bool yield);

// The application's message pump for yielding waits: runs pending events for
// at most `maxMs` and returns false when the application is quitting.
using MessagePumpFn = bool (*)(int maxMs);
void SetMessagePump(MessagePumpFn fn);

} // namespace vorl
