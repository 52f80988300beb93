// Trigger records of the dispatcher, notice numbers and the data-trigger match.
//
// A trigger asks the dispatcher to deliver a notice: when received data waits
// (the length trigger, handle 1), when a string arrives (data triggers), when a
// time has passed (timer triggers, on the 55 ms tick clock) or when a line or
// buffer condition holds (status triggers, kind in the handle's low 3 bits).
// The lists live in the dispatcher (dispatcher.h); this header holds the
// records and the exact matching step, which has quirks that callers rely on:
// 'AA' in "AAAA" matches at the 2nd and 3rd byte only, 'ABA' in "ABABA" at the
// 3rd and 5th, 'ABAB' in "ABABAB" at the 4th only, 'OK' in "OOK" once.
#pragma once

#include "serial/ticks.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vorl {

// Notice numbers. The second parameter of a notice carries the dispatcher's
// handle in its high 16 bits.
constexpr uint32_t kNoticeTriggerAvail = 0x7E01;  // first: bytes announced
constexpr uint32_t kNoticeTriggerData = 0x7E02;   // first: handle; low: string length
constexpr uint32_t kNoticeTriggerTimer = 0x7E03;  // first: handle
constexpr uint32_t kNoticeTriggerStatus = 0x7E04; // first: handle; low: free/used bytes
constexpr uint32_t kNoticePortOpen = 0x7E08;      // port component's own notices
constexpr uint32_t kNoticePortClose = 0x7E09;
constexpr uint32_t kNoticeClosePending = 0x7E0A;
constexpr uint32_t kNoticeProtocolCancel = 0x7E14; // a protocol's own cancel call

constexpr uint32_t NoticeParam(uint16_t dispatcherHandle, uint16_t low) {
    return (uint32_t(dispatcherHandle) << 16) | low;
}
constexpr uint16_t NoticeDispatcher(uint32_t second) {
    return uint16_t(second >> 16);
}
constexpr uint16_t NoticeLow(uint32_t second) {
    return uint16_t(second & 0xFFFF);
}

enum TTriggerType { ttNone, ttAvail, ttTimer, ttData, ttStatus };

// Status trigger kinds (the low three bits of a status trigger's handle).
enum TStatusKind : uint16_t {
    stNotActive = 0,
    stModem = 1,       // value: high byte lines to watch, low byte their state at arming
    stLine = 2,        // value: 1 overrun, 2 parity, 4 framing, 8 break
    stOutBuffFree = 3, // value: free bytes threshold
    stOutBuffUsed = 4, // value: used bytes threshold
    stOutSent = 5,
};

constexpr uint32_t kLengthTriggerHandle = 1;
constexpr uint32_t kMaxTrigger = 21; // longest data trigger string

// Fires once when its time has passed on the tick clock.
struct TTimerTrigger {
    uint32_t handle = 0;
    EventTimer timer{}; // when it fires
    int32_t ticks = 0;  // the time it was set to
    bool active = false;
};

// Fires when its string arrives.
struct TDataTrigger {
    uint32_t handle = 0;
    uint32_t length = 0; // of the string
    // One partial-match count per possible start of the string in the input.
    std::array<uint32_t, kMaxTrigger + 1> partialCounts{};
    bool matched = false;
    bool ignoreCase = false;
    std::array<uint8_t, kMaxTrigger + 1> text{}; // upper-cased when ignoreCase
};

// Fires when a line or buffer condition holds.
struct TStatusTrigger {
    uint32_t handle = 0;
    uint32_t kind = stNotActive; // TStatusKind
    uint16_t value = 0;          // the kind's threshold or lines (see above)
    bool active = false;
    bool StatusHit = false;
};

// A copy of all triggers of a dispatcher (the port component keeps one across
// a close). The handle counter is not part of it: restoring moves the counter
// past every restored handle instead, so handles stay unique.
struct TTriggerSave {
    int32_t lengthTrigger = 0;
    std::vector<TTimerTrigger> timerTriggers;
    std::vector<TDataTrigger> dataTriggers;
    std::vector<TStatusTrigger> statusTriggers;
};

// Feeds one received byte to a data trigger; true when it completes a match
// (the partial-match counters are then cleared).
bool MatchDataTrigger(TDataTrigger& t, uint8_t c);

// Builds a data trigger record (no handle yet).
TDataTrigger MakeDataTrigger(const uint8_t* data, uint32_t len, bool ignoreCase);

inline uint16_t ClassifyStatusTrigger(uint32_t handle) {
    return uint16_t(handle & 7);
}

} // namespace vorl
