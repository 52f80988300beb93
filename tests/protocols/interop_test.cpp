// Transfers over a pseudo-terminal through the real port component and
// dispatcher, with lrzsz's sx and rx as the peer: every Xmodem variant both
// ways, and a port that closes in the middle of a transfer.
#include "interop_fixture.h"

namespace vorl::test {
namespace {

using namespace std::chrono_literals;

TEST_P(Interop, OurSenderToRx) {
    PtyRelay relay;
    PortSide side(relay.pathA(), 41, GetParam().type);
    std::string data = RandomData(20000, 7);
    std::string got = sendToRx(relay, data, side);
    EXPECT_EQ(side.code(), 0);
    EXPECT_EQ(side.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(rxResult, 0);
    EXPECT_EQ(got.size(), sentLength(data.size()));
    EXPECT_TRUE(got == filled(data, sentLength(data.size())));
}

TEST_P(Interop, SxToOurReceiver) {
    PtyRelay relay;
    PortSide side(relay.pathA(), 42, GetParam().type);
    std::string data = RandomData(20000, 8);
    std::string got = receiveFromSx(relay, data, side);
    EXPECT_EQ(side.code(), 0);
    EXPECT_EQ(side.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(sxResult, 0);
    EXPECT_EQ(got.size(), sxLength(data.size()));
    EXPECT_TRUE(got == filled(data, sxLength(data.size())));
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, Interop, ::testing::ValuesIn(kVariants), PrintVariant);

TEST(InteropPort, ClosingThePortCancelsTheTransfer) {
    TempDir dir;
    writeBytes(dir.file("out.nc"), RandomData(400000, 4));
    PtyRelay relay;
    PortSide side(relay.pathA(), 47, ptXmodemCRC);
    side.proto.SetFileMask(dir.file("out.nc"));
    side.proto.StartTransmit();
    PeerProcess rx({"rx", "-b", "-c", "in.nc"}, relay, dir.path().string());
    ASSERT_TRUE(side.delivery->pumpUntil([&] { return side.proto.BlockNumber() > 20; }, 30s));
    side.port.SetOpen(false);
    ASSERT_TRUE(side.waitFinish(10s));
    EXPECT_EQ(side.code(), ecCancelRequested);
    EXPECT_EQ(side.finishes.size(), 1u);
}

} // namespace
} // namespace vorl::test
