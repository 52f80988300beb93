// The protocol component: starting without a protocol or port, the events
// and their order, the status pacing, settings handed to the engine, cancel
// from inside an event, the port closing, carrier loss, the answers of
// handlers, and events that arrive after their sender stopped waiting.
#include "protocols/ascii_protocol.h"
#include "protocols/xmodem.h"
#include "transfer_fixture.h"

#include <gtest/gtest.h>

namespace vorl::test {
namespace {

class ProtocolTest : public ::testing::Test {
protected:
    std::string file(const std::string& name, const std::string& data) {
        writeBytes(dir.file(name), data);
        return dir.file(name);
    }
    bool run(Side& s, const std::function<void()>& peer = nullptr) {
        return RunLine(*s.line, clock, peer, [&] { return s.finished(); });
    }

    FakeClock clock;
    TempDir dir;
};

TEST_F(ProtocolTest, NothingHappensWithoutProtocolAndNoPortRaises) {
    auto delivery = std::make_shared<LoopDelivery>();
    TProtocol p(delivery);
    bool anyEvent = false;
    p.OnProtocolFinish = [&](TCustomProtocol&, int32_t) { anyEvent = true; };
    p.OnProtocolStatus = [&](TCustomProtocol&, uint16_t) { anyEvent = true; };
    p.StartTransmit(); // ptNoProtocol
    p.SetProtocolType(ptXmodem);
    EXPECT_THROW(p.StartTransmit(), EPortNotAssigned);
    delivery->pump();
    EXPECT_FALSE(anyEvent);
    EXPECT_THROW(p.SetProtocolType(ptZmodem), EProtocol);
    EXPECT_EQ(p.ProtocolType(), ptXmodem);
}

TEST_F(ProtocolTest, ClosedPortFinishesWithNotOpenAndNothingElse) {
    Side s(ptAscii);
    s.line->setOpen(false);
    s.proto.SetFileMask(file("a.nc", "abc"));
    s.proto.StartTransmit();
    ASSERT_TRUE(s.finished());
    EXPECT_EQ(s.code(), ecNotOpen);
    EXPECT_TRUE(s.statusOptions.empty());
    EXPECT_TRUE(s.errors.empty());
}

TEST_F(ProtocolTest, MaskErrorsComeAsErrorThenFinish) {
    Side missing(ptXmodem);
    missing.proto.SetFileMask(dir.file("missing.nc"));
    missing.proto.StartTransmit();
    ASSERT_TRUE(missing.finished());
    EXPECT_EQ(missing.errors, std::vector<int32_t>{ecFileNotFound});
    EXPECT_EQ(missing.code(), ecFileNotFound);
    EXPECT_EQ(missing.statusOptions, (std::vector<uint16_t>{kStatusFirst, kStatusLast}));

    Side noDir(ptAscii, 0x7F01);
    noDir.proto.SetFileMask(dir.file("nodir") + "/*.nc");
    noDir.proto.StartTransmit();
    ASSERT_TRUE(noDir.finished());
    EXPECT_EQ(noDir.errors, std::vector<int32_t>{ecDirNotFound});
    EXPECT_EQ(noDir.code(), ecDirNotFound);
}

TEST_F(ProtocolTest, StatusEventsOpenAndCloseOnceAndArePaced) {
    Side tx(ptXmodem1K, 0x7F01), rx(ptXmodem1K, 0x7F02);
    tx.proto.SetStatusInterval(36);
    std::vector<int32_t> periodicTicks;
    tx.proto.OnProtocolStatus = [&](TCustomProtocol&, uint16_t options) {
        tx.statusOptions.push_back(options);
        if (options == 0)
            periodicTicks.push_back(CurrentTicks());
    };
    // A receiver that takes two ticks per block keeps the transfer running
    // over many status intervals.
    rx.proto.SetFileName(dir.file("r.nc"));
    rx.proto.StartReceive();
    tx.proto.SetFileMask(file("t.nc", Pattern(200 * 1024)));
    tx.proto.StartTransmit();
    for (int tick = 0; tick < 20000 && !(tx.finished() && rx.finished()); ++tick) {
        tx.line->pump();
        rx.line->feed(tx.line->takeSent());
        rx.line->pump();
        tx.line->feed(rx.line->takeSent());
        clock.advanceTicks(2);
    }
    ASSERT_EQ(tx.code(), 0);
    EXPECT_EQ(std::count(tx.statusOptions.begin(), tx.statusOptions.end(), kStatusFirst), 1);
    EXPECT_EQ(std::count(tx.statusOptions.begin(), tx.statusOptions.end(), kStatusLast), 1);
    EXPECT_EQ(tx.statusOptions.front(), kStatusFirst);
    EXPECT_EQ(tx.statusOptions.back(), kStatusLast);
    ASSERT_GT(periodicTicks.size(), 5u);
    // The first two: the file opened, and the first pass of the machine.
    for (size_t i = 3; i < periodicTicks.size(); ++i)
        EXPECT_GE(periodicTicks[i] - periodicTicks[i - 1], 36) << "status " << i;
}

TEST_F(ProtocolTest, ProtocolSettingsReachTheEngineWhateverTheOrder) {
    Side s(ptNoProtocol);
    s.proto.SetAsciiLineDelay(120);
    s.proto.SetAsciiEOLChar('\n');
    s.proto.SetAsciiEOFTimeout(99);
    s.proto.SetXYmodemBlockWait(333);
    s.proto.SetProtocolType(ptAscii);
    TProtocolData& P = s.proto.Data();
    EXPECT_EQ(P.Ascii.LineDelay, 120u);
    EXPECT_EQ(P.Ascii.LineDelayTicks, 3u);
    EXPECT_EQ(P.Ascii.EOLChar, '\n');
    EXPECT_EQ(P.EOFTimeout, 99u);
    EXPECT_EQ(P.BlockLen, 60);
    s.proto.SetProtocolType(ptXmodem);
    EXPECT_EQ(P.Xm.BlockWait, 333u);
    EXPECT_EQ(P.Overhead, 5u);
    s.proto.SetBlockCheckMethod(bcmCrc16);
    EXPECT_EQ(s.proto.ProtocolType(), ptXmodemCRC);
    s.proto.SetBlockCheckMethod(bcmChecksum);
    EXPECT_EQ(s.proto.ProtocolType(), ptXmodem);
    s.proto.SetProtocolType(ptAscii);
    EXPECT_EQ(P.Overhead, 5u) << "the Xmodem overhead stays";
    EXPECT_EQ(ascSetEOLChar(P, 'x'), 0);
    EXPECT_EQ(xmSetBlockWait(P, 1), ecBadProtocolFunction);
}

TEST_F(ProtocolTest, BytesTransferredAndEstimate) {
    Side s(ptXmodem);
    TProtocolData& P = s.proto.Data();
    P.BlockLen = 128;
    P.Overhead = 5;
    P.BytesDone = 1000;
    EXPECT_EQ(peGetBytesTransferred(P, 384), 631);
    EXPECT_EQ(peGetBytesTransferred(P, 100), 1000) << "less than a block queued";
    P.BytesDone = 100;
    EXPECT_EQ(peGetBytesTransferred(P, 384), 0);
    P.ActualCPS = 960;
    P.TurnDelay = 1000;
    EXPECT_EQ(s.proto.EstimateTransferSecs(10000), 95);
    EXPECT_EQ(s.proto.EstimateTransferSecs(0), 0);
    P.ActualCPS = 0;
    EXPECT_EQ(s.proto.EstimateTransferSecs(10000), 0);
}

TEST_F(ProtocolTest, StatusTexts) {
    EXPECT_EQ(TProtocol::StatusMsg(4714), "At end of file");
    EXPECT_EQ(TProtocol::StatusMsg(4716), "Block was out of sequence");
    EXPECT_EQ(TProtocol::StatusMsg(4730), "");
    EXPECT_EQ(TProtocol::StatusMsg(4699), "");
}

TEST_F(ProtocolTest, CancelFromInsideAnEventEndsTheTransfer) {
    Side s(ptXmodem);
    s.proto.OnProtocolStatus = [&](TCustomProtocol& cp, uint16_t options) {
        s.statusOptions.push_back(options);
        if (options == kStatusFirst)
            cp.CancelProtocol(); // runs while the transfer waits for this event
    };
    s.proto.SetFileMask(file("a.nc", "abc"));
    s.proto.StartTransmit();
    ASSERT_TRUE(run(s));
    EXPECT_EQ(s.code(), ecCancelRequested);
    EXPECT_EQ(s.finishes.size(), 1u);
}

TEST_F(ProtocolTest, ClosingThePortCancelsTheTransfer) {
    Side s(ptAscii);
    s.line->setAutoDrain(false);
    s.proto.SetFileMask(file("a.nc", Pattern(10000)));
    s.proto.StartTransmit();
    s.line->pump();
    ASSERT_TRUE(s.proto.InProgress());
    s.proto.PortCallback(false);
    ASSERT_TRUE(s.finished());
    EXPECT_EQ(s.code(), ecCancelRequested);
    EXPECT_FALSE(s.proto.InProgress());
    EXPECT_FALSE(s.line->attached());
    s.proto.PortCallback(false); // nothing more to cancel
    s.delivery->pump();
    EXPECT_EQ(s.finishes.size(), 1u);
}

TEST_F(ProtocolTest, CarrierLossEndsTheTransfer) {
    Side atStart(ptXmodem);
    atStart.proto.SetAbortNoCarrier(true);
    atStart.line->setDCD(false);
    atStart.proto.SetFileMask(file("a.nc", "abc"));
    atStart.proto.StartTransmit();
    ASSERT_TRUE(atStart.finished());
    EXPECT_EQ(atStart.code(), ecAbortNoCarrier);
    EXPECT_EQ(atStart.proto.GetProtocolStatus(), psAbortNoCarrier);

    Side midway(ptAscii, 0x7F01);
    midway.proto.SetAbortNoCarrier(true);
    midway.proto.SetFileName(dir.file("r.nc"));
    midway.proto.StartReceive();
    midway.line->feed("N1\r\n");
    midway.line->pump();
    midway.line->setDCD(false);
    midway.line->pump();
    ASSERT_TRUE(midway.finished());
    EXPECT_EQ(midway.code(), ecAbortNoCarrier);
}

// The line goes in the middle of a receive: it ends with the line's error
// within a status interval, not on the silence that follows as if the
// sender had finished; a sender waiting for its answer ends the same way.
TEST_F(ProtocolTest, LostLineEndsTheTransferWithTheLinesError) {
    const int32_t lost = ecLineLost;
    Side rx(ptAscii);
    rx.proto.SetAsciiEOFTimeout(180);
    rx.proto.SetFileName(dir.file("r.nc"));
    rx.proto.StartReceive();
    rx.line->feed("N1 G01 X1.\r\nN2 G0");
    rx.line->pump();
    rx.line->setLineFailure(lost);
    ASSERT_TRUE(RunLine(
        *rx.line, clock, nullptr, [&] { return rx.finished(); }, 40));
    EXPECT_EQ(rx.code(), lost);
    EXPECT_EQ(rx.errors, std::vector<int32_t>{lost});

    Side tx(ptXmodem, 0x7F01);
    tx.proto.SetFileMask(file("a.nc", "abc"));
    tx.proto.StartTransmit();
    tx.line->pump();
    tx.line->setLineFailure(lost);
    ASSERT_TRUE(RunLine(
        *tx.line, clock, nullptr, [&] { return tx.finished(); }, 40));
    EXPECT_EQ(tx.code(), lost);
    EXPECT_EQ(tx.errors, std::vector<int32_t>{lost});
}

TEST_F(ProtocolTest, HandlersNameTheFileAndMayRefuseIt) {
    Side tx(ptXmodem, 0x7F01), rx(ptXmodem, 0x7F02);
    std::string path = file("chosen.nc", "from the handler");
    tx.proto.OnProtocolNextFile = [&](TCustomProtocol&, std::string& name) { name = path; };
    std::string offered;
    rx.proto.OnProtocolAccept = [&](TCustomProtocol&, bool& accept, std::string& name) {
        offered = name;
        accept = true;
        name = dir.file("renamed.nc");
    };
    rx.proto.SetFileName(dir.file("r.nc"));
    rx.proto.StartReceive();
    tx.proto.StartTransmit();
    ASSERT_TRUE(RunPair(*tx.line, *rx.line, clock, [&] { return tx.finished() && rx.finished(); }));
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(offered, dir.file("r.nc"));
    EXPECT_EQ(readBytes(dir.file("renamed.nc")).substr(0, 16), "from the handler");

    Side refuse(ptXmodem, 0x7F03);
    refuse.proto.OnProtocolAccept = [](TCustomProtocol&, bool& accept, std::string&) {
        accept = false;
    };
    refuse.proto.SetFileName(dir.file("never.nc"));
    refuse.proto.StartReceive();
    ASSERT_TRUE(refuse.finished());
    EXPECT_EQ(refuse.code(), ecFileRejected);
    EXPECT_FALSE(std::filesystem::exists(dir.file("never.nc")));
}

TEST_F(ProtocolTest, UnansweredEventsCountAsNoAndLateOnesFindNothingGone) {
    auto delivery = std::make_shared<LoopDelivery>();
    delivery->setOwner(std::thread::id()); // nobody pumps while the transfer waits
    auto line = std::make_shared<ScriptedLine>();
    bool nextFileRan = false;
    {
        TProtocol p(delivery);
        p.SetLine(line);
        p.SetProtocolType(ptAscii);
        p.OnProtocolNextFile = [&](TCustomProtocol&, std::string& name) {
            nextFileRan = true;
            name = "late";
        };
        p.StartTransmit(); // each sent event waits its 1000 ms in vain
        EXPECT_FALSE(p.InProgress());
        EXPECT_EQ(p.GetProtocolError(), ecNoMatchingFiles);
        EXPECT_FALSE(line->attached());
    }
    delivery->setOwner(std::this_thread::get_id());
    EXPECT_GT(delivery->pump(), 0);
    EXPECT_FALSE(nextFileRan) << "the component was gone";
}

} // namespace
} // namespace vorl::test
