// The trace and dispatch log rings and their files, on a dispatcher that is
// not open; the delivery loop used by Qt-free owners.
#include "serial/delivery.h"
#include "serial/dispatcher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace vorl {
namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(TraceRing, KeepsTheNewestEntriesAndWrapsLongLines) {
    TLinuxDispatcher d(nullptr);
    ASSERT_EQ(d.InitTracing(4), ecOK);
    // AddTraceEntry runs under the dispatcher's lock in use; alone here.
    for (char c : std::string("abcdef"))
        d.AddTraceEntry('T', uint8_t(c));
    std::string file = testing::TempDir() + "vorl_trace_ring.txt";
    ASSERT_EQ(d.DumpTrace(file, false, false), ecOK);
    EXPECT_EQ(ReadFile(file), "Transmit: \ncdef\n");

    ASSERT_EQ(d.InitTracing(200), ecOK);
    for (int k = 0; k < 100; ++k)
        d.AddTraceEntry('R', k % 2 ? 'x' : 1);
    ASSERT_EQ(d.AppendTrace(file, false, true), ecOK);
    std::string text = ReadFile(file);
    ASSERT_EQ(text.substr(0, 16), "Transmit: \ncdef\n");
    std::istringstream lines(text.substr(16));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Receive: ");
    size_t bytes = 0;
    while (std::getline(lines, line)) {
        EXPECT_LE(line.size(), 78u);
        bytes += line.size() / 4; // every byte as [XX]
    }
    EXPECT_EQ(bytes, 100u);
}

TEST(DispatchLogRing, DropsTheOldestAndSkipsWhatCannotFit) {
    TLinuxDispatcher d(nullptr);
    ASSERT_EQ(d.InitDispatchLogging(64), ecOK); // room for two 26-byte entries
    d.AddStringToLog("first-text");
    d.AddStringToLog("secondtext");
    d.AddStringToLog("third-text");
    d.AddStringToLog(std::string(60, 'z')); // larger than the whole log
    std::string file = testing::TempDir() + "vorl_dispatch_log.txt";
    ASSERT_EQ(d.DumpDispatchLog(file, true, false), ecOK);
    std::string text = ReadFile(file);
    EXPECT_EQ(text.find("first-text"), std::string::npos);
    EXPECT_NE(text.find("secondtext"), std::string::npos);
    EXPECT_NE(text.find("third-text"), std::string::npos);
    EXPECT_EQ(text.find("zzz"), std::string::npos);
    EXPECT_NE(text.find("Unknown"), std::string::npos);
    EXPECT_EQ(d.InitDispatchLogging(8), ecBadArgument);
}

TEST(LoopDeliveryQueue, SendWaitsForThePumpAndGivesUpAtItsLimit) {
    LoopDelivery loop;
    int ran = 0;
    EXPECT_TRUE(loop.send([&] { ++ran; }, std::chrono::milliseconds(1))); // owner: at once
    EXPECT_EQ(ran, 1);

    bool inTime = true;
    std::thread other([&] { inTime = loop.send([&] { ++ran; }, std::chrono::milliseconds(50)); });
    other.join();
    EXPECT_FALSE(inTime);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(loop.pump(), 1); // given up on, still run later
    EXPECT_EQ(ran, 2);

    std::thread waiter([&] { inTime = loop.send([&] { ++ran; }, std::chrono::seconds(10)); });
    EXPECT_TRUE(loop.pumpUntil([&] { return ran == 3; }, std::chrono::seconds(10)));
    waiter.join();
    EXPECT_TRUE(inTime);
}

} // namespace
} // namespace vorl
