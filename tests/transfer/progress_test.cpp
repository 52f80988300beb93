#include "transfer/progress.h"

#include <gtest/gtest.h>

namespace vorl {
namespace {

using namespace std::chrono_literals;

class Progress : public ::testing::Test {
protected:
    Progress() : progress([this] { return now; }) {}
    std::chrono::steady_clock::time_point now{1000h};
    TransferProgress progress;
};

TEST_F(Progress, RateAndRemainingOnlyEveryThirdSecondAfterTheFifth) {
    progress.ResetProgress();
    for (int s = 0; s <= 12; ++s) {
        now = progress.startTime + std::chrono::seconds(s) + 999ms;
        const ProgressDisplay d = progress.UpdateProgress(100000, 960 * s);
        ASSERT_TRUE(d.elapsedTime.has_value());
        EXPECT_EQ(*d.elapsedTime, "00:00:" + std::string(s < 10 ? "0" : "") + std::to_string(s));
        const bool refresh = s == 6 || s == 9 || s == 12;
        EXPECT_EQ(d.cps.has_value(), refresh) << s;
        EXPECT_EQ(d.remainingTime.has_value(), refresh) << s;
    }
}

TEST_F(Progress, RemainingTime) {
    progress.ResetProgress();
    now += 9s;
    // 8640 characters in 9 s is 960 per second; 9600 left take 10 s.
    ProgressDisplay d = progress.UpdateProgress(8640 + 9600, 8640);
    EXPECT_EQ(d.cps, "960");
    EXPECT_EQ(d.remainingTime, "00:00:10");

    d = progress.UpdateProgress(5000, 0);
    EXPECT_EQ(d.cps, "0");
    EXPECT_FALSE(d.remainingTime.has_value()) << "nothing transferred yet";
    d = progress.UpdateProgress(5000, 4);
    EXPECT_EQ(d.remainingTime, "--:--:--") << "no measurable rate: unknown, never an old figure";
    d = progress.UpdateProgress(4, 4);
    EXPECT_EQ(d.remainingTime, "00:00:00") << "nothing owed";

    now = progress.startTime + 3600s;
    d = progress.UpdateProgress(360 * 3600 + 3661, 360 * 3600);
    EXPECT_EQ(d.remainingTime, "00:00:10");
    d = progress.UpdateProgress(3600 + 3661, 3600);
    EXPECT_EQ(d.remainingTime, "01:01:01");

    // 200 MB at 960 characters per second: more than two days, not the
    // remainder of a 16-bit count of seconds.
    d = progress.UpdateProgress(960 * 3600 + 200000000LL, 960 * 3600);
    EXPECT_EQ(d.remainingTime, "57:52:13");
}

TEST_F(Progress, ElapsedTimeKeepsCountingPastADay) {
    progress.ResetProgress();
    now += 27h + 3min + 9s;
    const ProgressDisplay d = progress.UpdateProgress(0, 0);
    EXPECT_EQ(d.elapsedTime, "27:03:09");
}

TEST_F(Progress, ResetAndStopClearTheFields) {
    progress.charsTotal = 10;
    progress.charsTransferred = 5;
    now += 42s;
    const ProgressDisplay d = progress.ResetProgress();
    EXPECT_EQ(progress.startTime, now);
    EXPECT_EQ(progress.charsTotal, 0);
    EXPECT_EQ(progress.charsTransferred, 0);
    for (const auto* field : {&d.elapsedTime, &d.cps, &d.remainingTime}) {
        EXPECT_EQ(*field, std::string());
    }
    const ProgressDisplay s = progress.StopProgress();
    EXPECT_EQ(s.elapsedTime, "");
    EXPECT_EQ(s.remainingTime, "");
}

TEST(SenderProgress, PercentAndCount) {
    EXPECT_EQ(ShowSenderProgress(1000, 401).percent, 40);
    EXPECT_EQ(ShowSenderProgress(100, 29).percent, 29);
    EXPECT_EQ(ShowSenderProgress(3000000000, 2999999999).percent, 99);
    EXPECT_EQ(ShowSenderProgress(1000, 401).transferred, "401");
    EXPECT_FALSE(ShowSenderProgress(0, 10).percent.has_value());
}

} // namespace
} // namespace vorl
