// The ASCII protocol on scripted lines: blocks, translations, Ctrl-Z, pauses,
// the drain before the finish, and the receive that ends on silence.
#include "protocols/ascii_protocol.h"
#include "transfer_fixture.h"

#include <gtest/gtest.h>

namespace vorl::test {
namespace {

class AsciiTest : public ::testing::Test {
protected:
    void sendFile(Side& s, const std::string& data) {
        writeBytes(dir.file("send.nc"), data);
        s.proto.SetFileMask(dir.file("send.nc"));
        s.proto.StartTransmit();
    }
    bool run(Side& s, const std::function<void()>& peer = nullptr, int maxTicks = 20000) {
        return RunLine(
            *s.line, clock, peer, [&] { return s.finished(); }, maxTicks);
    }

    FakeClock clock;
    TempDir dir;
};

TEST_F(AsciiTest, SendsBlocksOfSixtyAndFinishesOnlyWhenDrained) {
    Side tx(ptAscii, 0x7F00, 100);
    tx.line->setAutoDrain(false);
    std::string data = Pattern(150);
    for (char& c : data)
        if (c == '\x1A')
            c = 'z';
    sendFile(tx, data);
    std::vector<size_t> blocks;
    for (int i = 0; i < 3; ++i) {
        tx.line->pump();
        blocks.push_back(tx.line->queued().size());
        tx.line->drain(tx.line->queued().size() - (i == 2 ? 1 : 0));
    }
    EXPECT_EQ(blocks, (std::vector<size_t>{60, 60, 30}));
    tx.line->pump();
    EXPECT_FALSE(tx.finished()) << "one character still waits in the output buffer";
    tx.line->drain();
    tx.line->pump();
    ASSERT_TRUE(tx.finished());
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(tx.proto.BlockNumber(), 3);
    EXPECT_EQ(tx.line->sent(), data);
}

TEST_F(AsciiTest, EmptyFileEndsAtOnceWithNothingSent) {
    Side tx(ptAscii);
    sendFile(tx, "");
    ASSERT_TRUE(tx.finished());
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psOK);
    EXPECT_EQ(tx.line->sent(), "");
}

TEST_F(AsciiTest, CtrlZIsNeverSentAndWithSuppressionEndsItsBlock) {
    Side tx(ptAscii);
    sendFile(tx, "AB\x1A"
                 "CD");
    ASSERT_TRUE(run(tx));
    EXPECT_EQ(tx.line->sent(), "ABCD");

    Side sup(ptAscii, 0x7F01);
    sup.proto.SetAsciiSuppressCtrlZ(true);
    std::string data = std::string(10, 'a') + "\x1A" + std::string(49, 'b') + "next";
    sendFile(sup, data);
    ASSERT_TRUE(run(sup));
    EXPECT_EQ(sup.line->sent(), std::string(10, 'a') + "next");
}

TEST_F(AsciiTest, LfTranslationSendsCrLfAndCountsBoth) {
    Side tx(ptAscii);
    tx.proto.SetAsciiLFTranslation(aetAddCRBefore);
    std::string data(60, '\n');
    sendFile(tx, data);
    ASSERT_TRUE(run(tx));
    EXPECT_EQ(tx.code(), 0);
    std::string expect;
    for (int i = 0; i < 60; ++i)
        expect += "\r\n";
    EXPECT_EQ(tx.line->sent(), expect);
    EXPECT_EQ(tx.proto.BytesTransferred(), 120);

    Side strip(ptAscii, 0x7F01);
    strip.proto.SetAsciiCRTranslation(aetStrip);
    sendFile(strip, "G1\r\nG2\r\n");
    ASSERT_TRUE(run(strip));
    EXPECT_EQ(strip.line->sent(), "G1\nG2\n");
}

TEST_F(AsciiTest, ShortLinePausesAreTimedInTheCallLongOnesOnTheTimer) {
    Side tx(ptAscii);
    tx.proto.SetAsciiLineDelay(100);
    tx.proto.SetAsciiEOLChar('\r');
    sendFile(tx, "A\rB\rC\rD\rE\r");
    tx.line->pump();
    // Two pauses of 100 ms fit into one call; the third becomes a wait of
    // two ticks (110 ms).
    EXPECT_EQ(tx.line->sent(), "A\rB\rC\r");
    uint32_t timer = tx.proto.Data().TimeoutTrigger;
    EXPECT_TRUE(tx.line->timerActive(timer));
    EXPECT_EQ(tx.line->timerInterval(timer), 2);
    clock.advanceTicks(3);
    tx.line->pump();
    EXPECT_EQ(tx.line->sent(), "A\rB\rC\rD\rE\r") << "the count starts again after the wait";
    ASSERT_TRUE(run(tx));
    EXPECT_EQ(tx.code(), 0);

    Side slow(ptAscii, 0x7F01);
    slow.proto.SetAsciiLineDelay(300);
    sendFile(slow, "A\rB\r");
    slow.line->pump();
    EXPECT_EQ(slow.line->sent(), "A\r");
    EXPECT_EQ(slow.line->timerInterval(slow.proto.Data().TimeoutTrigger), 6);
    clock.advanceTicks(7);
    slow.line->pump();
    EXPECT_EQ(slow.line->sent(), "A\rB\r");
}

TEST_F(AsciiTest, PausesCountOverEveryBlockOfTheCall) {
    // Two lines of 30 characters to a block, 100 ms after each: no block
    // alone reaches 250 ms, but the call does after the third line, and the
    // rest waits for the timer instead of holding the caller until the end.
    std::string data;
    for (int i = 1; i <= 8; ++i) {
        std::string line = "N" + std::to_string(i * 10) + " G01 X1.";
        line.resize(29, '0');
        data += line + "\r";
    }
    Side tx(ptAscii);
    tx.proto.SetAsciiLineDelay(100);
    tx.proto.SetAsciiEOLChar('\r');
    sendFile(tx, data);
    tx.line->pump();
    EXPECT_EQ(tx.line->sent(), data.substr(0, 90));
    EXPECT_TRUE(tx.line->timerActive(tx.proto.Data().TimeoutTrigger));
    ASSERT_TRUE(run(tx));
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(tx.line->sent(), data);
}

TEST_F(AsciiTest, CharacterPausesCountWithLinePauses) {
    Side tx(ptAscii);
    tx.proto.SetAsciiCharDelay(120);
    tx.proto.SetAsciiLineDelay(60);
    sendFile(tx, "AB\rC");
    tx.line->pump();
    // A and B: 120 ms each inside the call; the line pause after CR would
    // pass 250 ms and becomes a wait of 2 ticks.
    EXPECT_EQ(tx.line->sent(), "AB\r");
    EXPECT_EQ(tx.line->timerInterval(tx.proto.Data().TimeoutTrigger), 2);
    clock.advanceTicks(3);
    tx.line->pump();
    EXPECT_EQ(tx.line->sent(), "AB\rC");
    ASSERT_TRUE(run(tx));
    EXPECT_EQ(tx.code(), 0);
}

TEST_F(AsciiTest, TransmitWithoutRoomInTheOutputTimesOut) {
    Side tx(ptAscii, 0x7F00, 200);
    tx.line->setAutoDrain(false);
    sendFile(tx, Pattern(1000));
    ASSERT_TRUE(run(tx));
    EXPECT_EQ(tx.code(), ecTimeout);
    EXPECT_EQ(tx.errors, std::vector<int32_t>{ecTimeout});
}

// ---- Receive ----

class AsciiReceive : public AsciiTest {
protected:
    AsciiReceive() : rx(ptAscii) {
        rx.proto.SetAsciiEOFTimeout(180);
        rx.proto.SetFileName(dir.file("recv.nc"));
    }
    Side rx;
};

TEST_F(AsciiReceive, SilenceEndsTheReceiveWithEveryCharacterWritten) {
    rx.proto.StartReceive();
    rx.line->feed(std::string(70, 'x'));
    rx.line->pump();
    clock.advanceTicks(179);
    rx.line->pump();
    EXPECT_FALSE(rx.finished());
    clock.advanceTicks(2);
    rx.line->pump();
    ASSERT_TRUE(rx.finished());
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psOK);
    EXPECT_EQ(readBytes(dir.file("recv.nc")), std::string(70, 'x'));
    EXPECT_EQ(rx.proto.FileLength(), 70);
}

TEST_F(AsciiReceive, SlowSenderIsNotCutOffWhileItStillSends) {
    rx.proto.StartReceive();
    std::string all;
    for (int i = 0; i < 10; ++i) {
        std::string part = "N" + std::to_string(i) + "\r\n";
        all += part;
        rx.line->feed(part);
        rx.line->pump();
        clock.advanceTicks(170);
        rx.line->pump();
        ASSERT_FALSE(rx.finished()) << "ended after " << i + 1 << " slow lines";
    }
    ASSERT_TRUE(run(rx));
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(readBytes(dir.file("recv.nc")), all);
}

// The silence time-out and the sender's next characters arrive together:
// the characters are taken and the receive goes on.
TEST_F(AsciiReceive, TimeOutMeetingWaitingCharactersDoesNotEndTheReceive) {
    rx.proto.StartReceive();
    rx.line->feed("N10 G00\r\n");
    rx.line->pump();
    clock.advanceTicks(181);
    rx.line->feed("N20 M30\r\n");
    // The dispatcher reports the expired timer before the new characters.
    TProtocolData& P = rx.proto.Data();
    peNotify(P, kNoticeTriggerTimer, P.TimeoutTrigger, NoticeParam(rx.line->Handle(), 0));
    EXPECT_FALSE(rx.finished());
    EXPECT_EQ(rx.line->inputWaiting(), 0u);
    ASSERT_TRUE(run(rx));
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(readBytes(dir.file("recv.nc")), "N10 G00\r\nN20 M30\r\n");
}

TEST_F(AsciiReceive, TranslationsAndCtrlZ) {
    rx.proto.SetAsciiLFTranslation(aetStrip);
    rx.proto.StartReceive();
    rx.line->feed("G1\r\nG2\x1A"
                  "after\r\n");
    ASSERT_TRUE(run(rx));
    EXPECT_EQ(readBytes(dir.file("recv.nc")), "G1\rG2\x1A"
                                              "after\r");

    Side sup(ptAscii, 0x7F01);
    sup.proto.SetAsciiSuppressCtrlZ(true);
    sup.proto.SetAsciiCRTranslation(aetStrip);
    sup.proto.SetFileName(dir.file("sup.nc"));
    sup.proto.StartReceive();
    sup.line->feed("A\r\n\x1A"
                   "B");
    ASSERT_TRUE(run(sup));
    EXPECT_EQ(readBytes(dir.file("sup.nc")), "A\nB");
}

TEST_F(AsciiReceive, CancelKeepsTheWrittenBlocksOnly) {
    rx.proto.StartReceive();
    rx.line->feed(std::string(130, 'q'));
    rx.line->pump();
    rx.proto.CancelProtocol();
    ASSERT_TRUE(rx.finished());
    EXPECT_EQ(rx.code(), ecCancelRequested);
    EXPECT_EQ(readBytes(dir.file("recv.nc")), std::string(120, 'q'));
    EXPECT_TRUE(rx.line->sent().empty()) << "the receiver never sends";
}

// A full disk (here the file size limit, which fails a write the same way):
// the receive ends with the write error, reported once, whether the failure
// comes while the program arrives or when the last of it is written.
TEST_F(AsciiReceive, WriteFailureEndsTheReceiveAndIsReportedOnce) {
    Side late(ptAscii, 0x7F01);
    {
        FileSizeLimit full(100);
        rx.proto.StartReceive();
        rx.line->feed(std::string(9000, 'w'));
        ASSERT_TRUE(run(rx));
        late.proto.SetAsciiEOFTimeout(18);
        late.proto.SetFileName(dir.file("late.nc"));
        late.proto.StartReceive();
        late.line->feed(std::string(200, 'l'));
        ASSERT_TRUE(run(late));
    }
    EXPECT_EQ(rx.code(), ecDiskFull);
    EXPECT_EQ(rx.errors, std::vector<int32_t>{ecDiskFull});
    EXPECT_EQ(late.code(), ecDiskFull);
    EXPECT_EQ(late.errors, std::vector<int32_t>{ecDiskFull});
}

TEST_F(AsciiReceive, ReceiveWithoutFileName) {
    Side none(ptAscii, 0x7F01);
    none.proto.StartReceive();
    ASSERT_TRUE(none.finished());
    EXPECT_EQ(none.code(), ecNoFilename);
    EXPECT_EQ(none.errors, std::vector<int32_t>{ecNoFilename});
}

} // namespace
} // namespace vorl::test
