// The Xmodem sender and receiver through the real port component and
// dispatcher on a pty, against a peer the test plays byte by byte: what a
// scripted line cannot show, such as two answers that arrive together.
#include "pty_support.h"
#include "temp_dir.h"

#include "protocols/block_check.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <thread>
#include <unistd.h>

namespace vorl::test {
namespace {

using namespace std::chrono_literals;

constexpr char kSOH = 0x01, kEOT = 0x04, kACK = 0x06, kNAK = 0x15;

// Reads `count` bytes from the peer's end, or what came until `timeout`.
std::string readPeer(const PtyRelay& relay, size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[512];
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{relay.peerStdin(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
            break;
        ssize_t n = read(relay.peerStdin(), buf, std::min(sizeof buf, count - got.size()));
        if (n <= 0)
            break;
        got.append(buf, size_t(n));
    }
    return got;
}

void sendPeer(const PtyRelay& relay, const std::string& s) {
    ASSERT_EQ(write(relay.peerStdout(), s.data(), s.size()), ssize_t(s.size()));
}

// A 128-byte CRC block as a sender puts it on the line.
std::string crcBlock(uint8_t number, const std::string& data) {
    std::string b;
    b += kSOH;
    b += char(number);
    b += char(255 - number);
    b += data;
    const uint16_t crc = BlockCrc(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    b += char(crc >> 8);
    b += char(crc & 0xFF);
    return b;
}

TEST(XmodemPty, TwoHandshakeCharactersTogetherStartOneFirstBlock) {
    // A receiver that repeated its "C" while the sender was busy: both come in
    // one read. The sender empties its input after the first and sends each
    // block once.
    TempDir dir;
    PtyRelay relay;
    PortSide side(relay.pathA(), 54, ptXmodemCRC);
    const std::string data(3 * 128, 'x');
    writeBytes(dir.file("out.nc"), data);
    side.proto.SetFileMask(dir.file("out.nc"));
    side.proto.StartTransmit();
    ASSERT_TRUE(side.delivery->pumpUntil(
        [&] { return side.proto.Data().Xm.XmodemState == txHandshake; }, 10s));
    std::vector<int> blocks;
    std::string end;
    std::thread peer([&] {
        sendPeer(relay, "CC");
        for (int k = 0; k < 3; ++k) {
            std::string b = readPeer(relay, 133, 10s);
            if (b.size() != 133)
                return;
            blocks.push_back(uint8_t(b[1]));
            sendPeer(relay, std::string(1, kACK));
        }
        end = readPeer(relay, 1, 10s);
        sendPeer(relay, std::string(1, kACK));
    });
    const bool finished = side.waitFinish(30s);
    peer.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(blocks, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(end, std::string(1, kEOT));
    EXPECT_EQ(side.code(), 0);
}

TEST(XmodemPty, ABadBlockIsAnsweredOnceWhatCameWithItIsDiscarded) {
    // A damaged block with line noise right behind it, in one read: the
    // receiver empties its input and asks for the block again once; the noise
    // is never taken for the start of the next block.
    TempDir dir;
    PtyRelay relay;
    PortSide side(relay.pathA(), 55, ptXmodemCRC);
    side.proto.SetHandshakeWait(36);
    side.proto.SetXYmodemBlockWait(90);
    side.proto.SetFileName(dir.file("in.nc"));
    const std::string data(128, 'y');
    std::string answers;
    std::thread peer([&] {
        if (readPeer(relay, 1, 10s) != "C")
            return;
        std::string bad = crcBlock(1, data);
        bad[10] ^= 0x40;
        sendPeer(relay, bad + std::string(1, kSOH) + "\x01\xFE" + "noise");
        answers += readPeer(relay, 1, 10s);
        sendPeer(relay, crcBlock(1, data));
        answers += readPeer(relay, 1, 10s);
        // The end: an EOT it questions with NAK is sent again.
        for (int eot = 0; eot < 2; ++eot) {
            sendPeer(relay, std::string(1, kEOT));
            const std::string a = readPeer(relay, 1, 10s);
            if (a != std::string(1, kNAK)) {
                answers += a;
                break;
            }
        }
    });
    side.proto.StartReceive();
    const bool finished = side.waitFinish(30s);
    peer.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(answers, (std::string{kNAK, kACK, kACK}));
    EXPECT_EQ(side.code(), 0);
    EXPECT_EQ(readBytes(dir.file("in.nc")), data);
}

} // namespace
} // namespace vorl::test
