// The ASCII protocol through the real port component and dispatcher on a
// pty: the test plays the machine tool at the other end of the line.
#include "pty_support.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <thread>
#include <unistd.h>

namespace vorl::test {
namespace {

using namespace std::chrono_literals;

// Reads what reaches the peer's end until `count` bytes came or `timeout`.
std::string readPeer(const PtyRelay& relay, size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[4096];
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{relay.peerStdin(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            break;
        ssize_t n = read(relay.peerStdin(), buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

std::string program(int lines) {
    std::string s = "%\r\n";
    for (int i = 1; i <= lines; ++i)
        s += "N" + std::to_string(i * 10) + " G01 X" + std::to_string(i) + ".5 Y-2.25 F300\r\n";
    return s + "M30\r\n%\r\n";
}

TEST(AsciiPty, ProgramGoesOutUnchangedAndEndsWhenTheLineHasIt) {
    TempDir dir;
    PtyRelay relay;
    PortSide side(relay.pathA(), 51, ptAscii);
    std::string data = program(800);
    writeBytes(dir.file("prog.nc"), data);
    side.proto.SetAsciiEOLChar('\n');
    side.proto.SetFileMask(dir.file("prog.nc"));
    // The protocol runs on the port's events, which reach it only while this
    // thread pumps them: the peer's end is read on a thread of its own.
    std::string got;
    std::thread peer([&] { got = readPeer(relay, data.size(), 30s); });
    side.proto.StartTransmit();
    const bool finished = side.waitFinish(30s);
    peer.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(side.code(), 0);
    EXPECT_EQ(side.proto.GetProtocolStatus(), psEndFile);
    EXPECT_TRUE(got == data);
    EXPECT_EQ(side.proto.BytesTransferred(), int64_t(data.size()));
    EXPECT_EQ(side.proto.BlockNumber(), int32_t((data.size() + 59) / 60));
}

TEST(AsciiPty, ReceiveEndsOnSilenceWithEveryCharacter) {
    TempDir dir;
    PtyRelay relay;
    PortSide side(relay.pathA(), 52, ptAscii);
    side.proto.SetAsciiEOFTimeout(9); // about half a second
    side.proto.SetFileName(dir.file("up.nc"));
    side.proto.StartReceive();
    std::string data = program(300);
    for (size_t i = 0; i < data.size(); i += 997)
        ASSERT_GT(
            write(relay.peerStdout(), data.data() + i, std::min<size_t>(997, data.size() - i)), 0);
    ASSERT_TRUE(side.waitFinish(30s));
    EXPECT_EQ(side.code(), 0);
    EXPECT_EQ(side.proto.GetProtocolStatus(), psOK);
    EXPECT_TRUE(readBytes(dir.file("up.nc")) == data);
}

} // namespace
} // namespace vorl::test
