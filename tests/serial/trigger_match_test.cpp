// Data-trigger matching on byte streams, and the tick clock conversions.
#include "serial/ticks.h"
#include "serial/triggers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorl {
namespace {

// 1-based positions of the bytes at which `trigger` matches in `stream`.
std::vector<int> MatchPositions(const std::string& trigger, const std::string& stream,
                                bool ignoreCase = false) {
    TDataTrigger t = MakeDataTrigger(reinterpret_cast<const uint8_t*>(trigger.data()),
                                     uint32_t(trigger.size()), ignoreCase);
    std::vector<int> at;
    for (size_t i = 0; i < stream.size(); ++i)
        if (MatchDataTrigger(t, uint8_t(stream[i])))
            at.push_back(int(i) + 1);
    return at;
}

TEST(DataTriggerMatch, OverlapsFollowTheCounterRules) {
    EXPECT_EQ(MatchPositions("OK", "OOK"), std::vector<int>({3}));
    EXPECT_EQ(MatchPositions("ABA", "ABABA"), std::vector<int>({3, 5}));
    EXPECT_EQ(MatchPositions("AA", "AAAA"), std::vector<int>({2, 3}));
    EXPECT_EQ(MatchPositions("ABAB", "ABABAB"), std::vector<int>({4}));
    EXPECT_EQ(MatchPositions("%", "x%y%%"), std::vector<int>({2, 4, 5}));
    EXPECT_EQ(MatchPositions("READY", "xxREADREADYREADY"), std::vector<int>({11, 16}));
}

TEST(DataTriggerMatch, IgnoreCase) {
    EXPECT_EQ(MatchPositions("ok", "OK Ok ok oK", true), std::vector<int>({2, 5, 8, 11}));
    EXPECT_EQ(MatchPositions("ok", "OK Ok ok", false), std::vector<int>({8}));
}

uint32_t gFakeMs = 0;
uint32_t FakeClock() {
    return gFakeMs;
}

TEST(Ticks, ConversionsAndWrap) {
    EXPECT_EQ(Secs2Ticks(1), 18);
    EXPECT_EQ(Secs2Ticks(10), 182);
    EXPECT_EQ(Ticks2Secs(18), 1);
    EXPECT_EQ(MSecs2Ticks(1000), 18);
    EXPECT_EQ(MSecs2Ticks(54), 0);

    SetTimeSource(&FakeClock);
    gFakeMs = 1000 * kMsPerTick;
    EventTimer et;
    NewTimer(et, 18);
    EXPECT_EQ(RemainingTime(et), 18);
    gFakeMs += 18 * kMsPerTick;
    EXPECT_FALSE(TimerExpired(et)); // expiry tick itself has not passed
    gFakeMs += kMsPerTick;
    EXPECT_TRUE(TimerExpired(et));
    EXPECT_EQ(ElapsedTime(et), 19);

    // A timer started just before the 31-bit millisecond clock wraps.
    gFakeMs = 0x7FFFFFFFu - 5 * kMsPerTick;
    NewTimer(et, 10);
    EXPECT_FALSE(TimerExpired(et));
    gFakeMs = 2 * kMsPerTick; // wrapped: 7 ticks later
    EXPECT_FALSE(TimerExpired(et));
    EXPECT_EQ(ElapsedTime(et), 7);
    gFakeMs = 6 * kMsPerTick;
    EXPECT_TRUE(TimerExpired(et));
    EXPECT_EQ(RemainingTime(et), 0);
    SetTimeSource(nullptr);
}

} // namespace
} // namespace vorl
