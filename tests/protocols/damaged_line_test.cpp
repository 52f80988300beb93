// Transfers with lrzsz over a line that damages bytes: at one byte in ten
// thousand every file still arrives exact; at one in twenty nothing gets
// through and the transfer ends by itself with its code, in time.
#include "interop_fixture.h"

namespace vorl::test {
namespace {

using namespace std::chrono_literals;

class InteropDamaged : public Interop {};

TEST_P(InteropDamaged, DamagedLineStillDeliversExactFiles) {
    std::string data = RandomData(60000, 9);
    {
        PtyRelay relay({1e-4, 0, 11});
        PortSide side(relay.pathA(), 43, GetParam().type);
        std::string got = sendToRx(relay, data, side);
        EXPECT_EQ(side.code(), 0);
        EXPECT_TRUE(got == filled(data, sentLength(data.size())));
        RecordProperty("damaged_to_rx", int(relay.damaged()));
    }
    {
        PtyRelay relay({1e-4, 0, 12});
        PortSide side(relay.pathA(), 44, GetParam().type);
        std::string got = receiveFromSx(relay, data, side);
        EXPECT_EQ(side.code(), 0);
        EXPECT_TRUE(got == filled(data, sxLength(data.size())));
        RecordProperty("damaged_from_sx", int(relay.damaged()));
    }
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, InteropDamaged, ::testing::ValuesIn(kVariants), PrintVariant);

// A line that damages one byte in twenty: no block gets through. The
// transfer must end by itself with the code of too many errors (or of the
// peer's cancel), in time.
TEST(InteropHopeless, TransferEndsWithItsCodeInTime) {
    TempDir dir;
    std::string data = RandomData(20000, 3);
    writeBytes(dir.file("out.nc"), data);
    {
        PtyRelay relay({0.05, 0.002, 21});
        PortSide side(relay.pathA(), 45, ptXmodem1K);
        side.proto.SetXYmodemBlockWait(18);
        side.proto.SetHandshakeWait(18);
        side.proto.SetTransmitTimeout(182);
        side.proto.SetFileMask(dir.file("out.nc"));
        side.proto.StartTransmit();
        PeerProcess rx({"rx", "-b", "-c", "-t", "10", "in.nc"}, relay, dir.path().string());
        ASSERT_TRUE(side.waitFinish(90s)) << "the sender never ended";
        EXPECT_TRUE(side.code() == ecTooManyErrors || side.code() == ecCancelRequested ||
                    side.code() == ecTimeout)
            << side.code();
    }
    {
        PtyRelay relay({0.05, 0.002, 22});
        PortSide side(relay.pathA(), 46, ptXmodemCRC);
        PeerProcess sx({"sx", "-b", "out.nc"}, relay, dir.path().string());
        side.proto.SetXYmodemBlockWait(18);
        side.proto.SetHandshakeWait(18);
        side.proto.SetFileName(dir.file("got.nc"));
        side.proto.StartReceive();
        ASSERT_TRUE(side.waitFinish(90s)) << "the receiver never ended";
        EXPECT_TRUE(side.code() == ecTooManyErrors || side.code() == ecCancelRequested ||
                    side.code() == ecSequenceError)
            << side.code();
    }
}

} // namespace
} // namespace vorl::test
