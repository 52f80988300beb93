// The Xmodem family on scripted lines: our sender against our receiver, and
// each against a peer the test plays byte by byte.
#include "protocols/xmodem.h"
#include "transfer_fixture.h"

#include <gtest/gtest.h>

#include <random>

namespace vorl::test {
namespace {

const std::string kCancel = "\x18\x18\x18\x08\x08\x08";

bool isCrc(TProtocolType t) {
    return t != ptXmodem;
}
size_t blockSize(TProtocolType t) {
    return t == ptXmodem1K ? 1024 : 128;
}

class XmodemTest : public ::testing::Test {
protected:
    void sendFile(Side& s, const std::string& data, const std::string& name = "send.nc") {
        writeBytes(dir.file(name), data);
        s.proto.SetFileMask(dir.file(name));
        s.proto.StartTransmit();
    }
    void receiveFile(Side& s, const std::string& name = "recv.nc") {
        s.proto.SetFileName(dir.file(name));
        s.proto.StartReceive();
    }
    bool run(Side& s, const std::function<void()>& peer, int maxTicks = 20000) {
        return RunLine(
            *s.line, clock, peer, [&] { return s.finished(); }, maxTicks);
    }

    FakeClock clock;
    TempDir dir;
};

// ---- Sender and receiver together ----

struct PairCase {
    TProtocolType type;
    size_t size;
};

class XmodemPair : public XmodemTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(XmodemPair, FileArrivesWithFillAndBlocksNumberedModulo256) {
    const auto [type, size] = GetParam();
    Side tx(type, 0x7F01), rx(type, 0x7F02);
    std::string data = Pattern(size);
    receiveFile(rx);
    sendFile(tx, data);
    ASSERT_TRUE(RunPair(*tx.line, *rx.line, clock, [&] { return tx.finished() && rx.finished(); }));
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psEndFile);

    size_t bs = blockSize(type);
    size_t blocks = (size + bs - 1) / bs;
    std::string expect = data + std::string(blocks * bs - size, '\x1A');
    EXPECT_EQ(readBytes(dir.file("recv.nc")), expect);
    EXPECT_EQ(tx.proto.BytesTransferred(), int64_t(blocks * bs));

    auto sent = ParseSent(tx.line->sent(), isCrc(type));
    ASSERT_EQ(sent.size(), blocks + 2) << "blocks, then EOT, questioned once";
    for (size_t i = 0; i < blocks; ++i) {
        EXPECT_EQ(sent[i].num, uint8_t(i + 1));
        EXPECT_TRUE(sent[i].checkOk);
    }
    EXPECT_EQ(sent[blocks].start, cEOT);
    EXPECT_EQ(sent.back().start, cEOT);
    EXPECT_EQ(tx.statusOptions.front(), kStatusFirst);
    EXPECT_EQ(tx.statusOptions.back(), kStatusLast);
}

INSTANTIATE_TEST_SUITE_P(Sizes, XmodemPair,
                         ::testing::Values(PairCase{ptXmodem, 300}, PairCase{ptXmodemCRC, 300},
                                           PairCase{ptXmodem1K, 300}, PairCase{ptXmodemCRC, 256},
                                           PairCase{ptXmodem1K, 2048}, PairCase{ptXmodem, 0},
                                           PairCase{ptXmodem1K, 0},
                                           PairCase{ptXmodemCRC, 257 * 128 + 5}));

TEST_F(XmodemTest, ReceiverDecidesTheBlockCheck) {
    struct Case {
        TProtocolType sender, receiver;
        size_t blockBytes; // on the line
        TProtocolType senderBecomes;
    };
    for (Case c :
         {Case{ptXmodemCRC, ptXmodem, 132, ptXmodem}, Case{ptXmodem, ptXmodemCRC, 133, ptXmodemCRC},
          Case{ptXmodem1K, ptXmodem, 1028, ptXmodem}}) {
        Side tx(c.sender, 0x7F01), rx(c.receiver, 0x7F02);
        receiveFile(rx);
        sendFile(tx, "G01 X10\r\n");
        ASSERT_TRUE(
            RunPair(*tx.line, *rx.line, clock, [&] { return tx.finished() && rx.finished(); }));
        EXPECT_EQ(tx.code(), 0);
        EXPECT_EQ(rx.code(), 0);
        EXPECT_EQ(tx.line->sent().size(), c.blockBytes + 2) << "one block, two EOTs";
        EXPECT_EQ(tx.proto.EngineProtocolType(), c.senderBecomes);
        EXPECT_EQ(readBytes(dir.file("recv.nc")).substr(0, 9), "G01 X10\r\n");
    }
}

TEST_F(XmodemTest, OneKComponentSendsWholeBlocksAfterReceivingShortOnes) {
    Side oneK(ptXmodem1K, 0x7F01), plain(ptXmodem, 0x7F02);
    receiveFile(oneK);
    sendFile(plain, Pattern(300));
    ASSERT_TRUE(RunPair(*plain.line, *oneK.line, clock,
                        [&] { return plain.finished() && oneK.finished(); }));
    Side peer(ptXmodem1K, 0x7F03);
    oneK.finishes.clear();
    oneK.line->takeSent();
    receiveFile(peer, "back.nc");
    std::string data = Pattern(2000);
    sendFile(oneK, data, "second.nc");
    ASSERT_TRUE(
        RunPair(*oneK.line, *peer.line, clock, [&] { return oneK.finished() && peer.finished(); }));
    EXPECT_EQ(oneK.code(), 0);
    EXPECT_EQ(readBytes(dir.file("back.nc")), data + std::string(48, '\x1A'));
}

// ---- Our receiver against a scripted sender ----

TEST_F(XmodemTest, ReceiverAnswersDuplicatesBadBlocksAndDamagedNumbers) {
    Side rx(ptXmodemCRC);
    receiveFile(rx);
    rx.line->pump();
    EXPECT_EQ(rx.line->takeSent(), "C");

    std::string b1 = XmBlock(1, "first", true), b2 = XmBlock(2, "second", true);
    auto exchange = [&](const std::string& bytes) {
        rx.line->feed(bytes);
        rx.line->pump();
        return rx.line->takeSent();
    };
    EXPECT_EQ(exchange(b1), "\x06");
    EXPECT_EQ(exchange(b1), "\x06") << "a repeated block is acknowledged again";
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psDuplicateBlock);

    std::string bad = b2;
    bad[bad.size() - 1] ^= 0x40;
    EXPECT_EQ(exchange(bad), "\x15");
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psBlockCheckError);
    std::string badNumber = b2;
    badNumber[2] ^= 0x01; // the complement no longer matches: line damage
    EXPECT_EQ(exchange(badNumber), "\x15");
    EXPECT_EQ(exchange(b2), "\x06");
    EXPECT_EQ(exchange("\x04"), "\x15") << "the first EOT is questioned";
    EXPECT_EQ(exchange("\x04"), "\x06");
    ASSERT_TRUE(rx.finished());
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(readBytes(dir.file("recv.nc")),
              XmBlock(1, "first", true).substr(3, 128) + XmBlock(2, "second", true).substr(3, 128));
}

// The sender's ACKs for its first 1K block got lost, so it fell back to
// 128-byte blocks: it sends that block again as its first 128 bytes and goes
// on from there. The file must come out as the sender's file.
TEST_F(XmodemTest, ReceiverFollowsASenderThatFellBackAfterItsBlockCame) {
    Side rx(ptXmodem1K);
    receiveFile(rx);
    rx.line->pump();
    EXPECT_EQ(rx.line->takeSent(), "C");
    std::string data = Pattern(1100);
    auto exchange = [&](const std::string& bytes) {
        rx.line->feed(bytes);
        rx.line->pump();
        return rx.line->takeSent();
    };
    EXPECT_EQ(exchange(XmBlock(1, data.substr(0, 1024), true, 1024)), "\x06");
    EXPECT_EQ(exchange(XmBlock(1, data.substr(0, 128), true)), "\x06");
    uint8_t num = 2;
    for (size_t ofs = 128; ofs < data.size(); ofs += 128)
        EXPECT_EQ(exchange(XmBlock(num++, data.substr(ofs, 128), true)), "\x06");
    EXPECT_EQ(exchange("\x04"), "\x15");
    EXPECT_EQ(exchange("\x04"), "\x06");
    ASSERT_TRUE(rx.finished());
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(readBytes(dir.file("recv.nc")), data + std::string(1152 - 1100, '\x1A'));
    EXPECT_EQ(rx.proto.BytesTransferred(), 1152);
}

TEST_F(XmodemTest, ReceiverCancelsOnABlockOutOfSequence) {
    Side rx(ptXmodem);
    receiveFile(rx);
    rx.line->pump();
    rx.line->feed(XmBlock(1, "a", false));
    rx.line->pump();
    rx.line->takeSent();
    rx.line->feed(XmBlock(3, "c", false));
    rx.line->pump();
    ASSERT_TRUE(rx.finished());
    EXPECT_EQ(rx.code(), ecSequenceError);
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psBlockOutOfSequence);
    EXPECT_NE(rx.line->takeSent().find(kCancel), std::string::npos);
}

// A sender that took a crossed reply for the ACK of its last block sends EOT
// where that block is still owed: the receive must fail, not end with a file
// that lacks the block.
TEST_F(XmodemTest, ReceiverRefusesTheEndWhileABlockItAskedForIsMissing) {
    auto exchange = [](Side& s, const std::string& bytes) {
        s.line->feed(bytes);
        s.line->pump();
        return s.line->takeSent();
    };
    std::string b1 = XmBlock(1, "first", true), b2 = XmBlock(2, "second", true);
    std::string damaged = b2;
    damaged[40] ^= 0x10;

    Side rx(ptXmodemCRC);
    receiveFile(rx);
    rx.line->pump();
    rx.line->takeSent();
    EXPECT_EQ(exchange(rx, b1), "\x06");
    EXPECT_EQ(exchange(rx, damaged), "\x15");
    std::string answer = exchange(rx, "\x04");
    ASSERT_TRUE(rx.finished());
    EXPECT_EQ(rx.code(), ecSequenceError);
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psBlockOutOfSequence);
    EXPECT_EQ(rx.errors, std::vector<int32_t>{ecSequenceError});
    EXPECT_EQ(answer, kCancel);
    EXPECT_EQ(readBytes(dir.file("recv.nc")), b1.substr(3, 128)) << "what came whole stays";

    // Block 2 comes short (a byte lost): the receiver asks again after its
    // wait; an EOT in place of the block is refused the same way.
    Side shortRx(ptXmodemCRC, 0x7F03);
    receiveFile(shortRx, "short.nc");
    shortRx.line->pump();
    shortRx.line->takeSent();
    EXPECT_EQ(exchange(shortRx, b1), "\x06");
    EXPECT_EQ(exchange(shortRx, b2.substr(0, 100)), "");
    clock.advanceTicks(19);
    shortRx.line->pump();
    EXPECT_EQ(shortRx.line->takeSent(), "\x15");
    exchange(shortRx, "\x04");
    ASSERT_TRUE(shortRx.finished());
    EXPECT_EQ(shortRx.code(), ecSequenceError);

    // A damaged repeat of a block already written owes nothing: the end is
    // taken as usual.
    Side dupRx(ptXmodemCRC, 0x7F04);
    receiveFile(dupRx, "dup.nc");
    dupRx.line->pump();
    dupRx.line->takeSent();
    std::string damagedRepeat = b1;
    damagedRepeat[40] ^= 0x10;
    EXPECT_EQ(exchange(dupRx, b1), "\x06");
    EXPECT_EQ(exchange(dupRx, damagedRepeat), "\x15");
    EXPECT_EQ(exchange(dupRx, "\x04"), "\x15");
    EXPECT_EQ(exchange(dupRx, "\x04"), "\x06");
    ASSERT_TRUE(dupRx.finished());
    EXPECT_EQ(dupRx.code(), 0);
    EXPECT_EQ(readBytes(dir.file("dup.nc")), b1.substr(3, 128));
}

TEST_F(XmodemTest, ReceiverAcknowledgesOneEotAfterSilence) {
    Side rx(ptXmodem);
    receiveFile(rx);
    std::string script = XmBlock(1, "only", false) + "\x04";
    bool fed = false;
    ASSERT_TRUE(run(rx, [&] {
        if (!fed && rx.line->takeSent() == "\x15") {
            rx.line->feed(script);
            fed = true;
        }
    }));
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(rx.line->sent(), "\x15\x06\x15\x06") << "NAK, block ACK, EOT NAK, ACK on silence";
}

// The disk cannot take the file: the sender's end is answered with a cancel,
// not an ACK, and the receive ends with the write error, reported once.
TEST_F(XmodemTest, ReceiverCancelsAnEndItCouldNotWrite) {
    Side rx(ptXmodem);
    {
        FileSizeLimit full(100);
        receiveFile(rx);
        rx.line->pump();
        rx.line->feed(XmBlock(1, std::string(128, 'w'), false) + "\x04\x04");
        ASSERT_TRUE(run(rx, nullptr));
    }
    EXPECT_EQ(rx.code(), ecDiskFull);
    EXPECT_EQ(rx.errors, std::vector<int32_t>{ecDiskFull});
    EXPECT_EQ(rx.line->sent(), "\x15\x06\x15" + kCancel);
}

TEST_F(XmodemTest, ReceiverAsksAgainWithNakWhenTheNextBlockDoesNotCome) {
    Side rx(ptXmodemCRC);
    receiveFile(rx);
    rx.line->pump();
    rx.line->feed(XmBlock(1, "one", true));
    rx.line->pump();
    EXPECT_EQ(rx.line->takeSent(), "C\x06");
    // Block 2 is lost on the line: the receiver must ask for it again, not
    // repeat its ACK (which a sender could take for block 2's).
    clock.advanceTicks(19);
    rx.line->pump();
    EXPECT_EQ(rx.line->takeSent(), "\x15");
    rx.line->feed(XmBlock(2, "two", true) + "\x04\x04");
    ASSERT_TRUE(run(rx, nullptr));
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(readBytes(dir.file("recv.nc")),
              XmBlock(1, "one", true).substr(3, 128) + XmBlock(2, "two", true).substr(3, 128));
}

TEST_F(XmodemTest, CrcReceiverFallsBackToChecksumAfterFourC) {
    Side rx(ptXmodemCRC);
    receiveFile(rx);
    int cs = 0;
    bool answered = false;
    ASSERT_TRUE(run(rx, [&] {
        for (char c : rx.line->takeSent()) {
            if (c == 'C')
                ++cs;
            if (c == '\x15' && !answered) {
                answered = true;
                rx.line->feed(XmBlock(1, "sum", false) + "\x04\x04");
            }
        }
    }));
    EXPECT_EQ(cs, 4);
    EXPECT_EQ(rx.code(), 0);
    EXPECT_EQ(readBytes(dir.file("recv.nc")).substr(0, 3), "sum");
}

TEST_F(XmodemTest, ReceiverWithoutSenderGivesUpAfterItsRetries) {
    Side rx(ptXmodemCRC);
    receiveFile(rx);
    ASSERT_TRUE(run(rx, nullptr));
    EXPECT_EQ(rx.code(), ecTooManyErrors);
    EXPECT_EQ(rx.proto.GetProtocolStatus(), psProtocolError);
    EXPECT_EQ(rx.line->sent(), "CCCC" + std::string(6, '\x15'));
}

TEST_F(XmodemTest, ReceiverEndsOnThreeCancelsOrWithoutAFile) {
    Side rx(ptXmodem);
    receiveFile(rx);
    rx.line->pump();
    rx.line->feed("\x18\x18\x18");
    rx.line->pump();
    ASSERT_TRUE(rx.finished());
    EXPECT_EQ(rx.code(), ecCancelRequested);

    Side noName(ptXmodem, 0x7F05);
    noName.proto.StartReceive();
    ASSERT_TRUE(noName.finished());
    EXPECT_EQ(noName.code(), ecNoFilename);
    EXPECT_EQ(noName.errors, std::vector<int32_t>{ecNoFilename});
    EXPECT_EQ(noName.line->sent(), kCancel);

    writeBytes(dir.file("exists.nc"), "keep");
    Side skip(ptXmodem, 0x7F06);
    skip.proto.SetWriteFailAction(wfWriteFail);
    receiveFile(skip, "exists.nc");
    ASSERT_TRUE(skip.finished());
    EXPECT_EQ(skip.code(), ecCantWriteFile);
    EXPECT_TRUE(skip.errors.empty());
    EXPECT_EQ(readBytes(dir.file("exists.nc")), "keep");
}

// ---- Our sender against a scripted receiver ----

// A receiver that asks with `hs`, then answers every block and EOT through
// `reply` (given the block or EOT); it records what it got.
struct ScriptedReceiver {
    ScriptedReceiver(Side& t, bool c, std::function<char(const ParsedBlock&)> r)
        : tx(t), crc(c), reply(std::move(r)) {}
    Side& tx;
    bool crc;
    std::function<char(const ParsedBlock&)> reply;
    std::vector<ParsedBlock> got;
    std::string pending;
    void operator()() {
        pending += tx.line->takeSent();
        auto blocks = ParseSent(pending, crc);
        size_t used = 0;
        for (auto& b : blocks) {
            used += b.start == 1   ? 3 + 128 + (crc ? 2 : 1)
                    : b.start == 2 ? 3 + 1024 + (crc ? 2 : 1)
                                   : 1;
            got.push_back(b);
            if (char r = reply(b))
                tx.line->feed(std::string(1, r));
        }
        pending.erase(0, used);
    }
};

TEST_F(XmodemTest, SenderGivesUpAfterSixNaksAndPutsTheCancelOnTheLine) {
    Side tx(ptXmodemCRC);
    sendFile(tx, Pattern(300));
    tx.line->pump();
    tx.line->feed("C");
    ScriptedReceiver peer{tx, true, [](const ParsedBlock& b) { return b.start < 3 ? '\x15' : 0; }};
    ASSERT_TRUE(run(tx, std::ref(peer)));
    EXPECT_EQ(tx.code(), ecTooManyErrors);
    ASSERT_EQ(peer.got.size(), 6u + 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(peer.got[i].num, 1);
    EXPECT_EQ(tx.line->sent().substr(tx.line->sent().size() - 6), kCancel);
}

TEST_F(XmodemTest, OneKSenderFallsBackTo128AndStillSendsTheWholeFile) {
    Side tx(ptXmodem1K);
    std::string data = Pattern(700);
    sendFile(tx, data);
    tx.line->pump();
    tx.line->feed("C");
    int naks = 6;
    std::string received;
    ScriptedReceiver peer{tx, true, [&](const ParsedBlock& b) {
                              if (b.start == cEOT)
                                  return '\x06';
                              if (b.start == 2 && naks-- > 0)
                                  return '\x15';
                              if (b.start == 1)
                                  received += b.data;
                              return '\x06';
                          }};
    ASSERT_TRUE(run(tx, std::ref(peer)));
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(received, data + std::string(68, '\x1A'));

    Side tx2(ptXmodem1K, 0x7F09);
    sendFile(tx2, data, "again.nc");
    tx2.line->pump();
    tx2.line->feed("C");
    int stx = 0, soh = 0;
    ScriptedReceiver nakAll{tx2, true, [&](const ParsedBlock& b) {
                                stx += b.start == 2;
                                soh += b.start == 1;
                                return b.start < 3 ? '\x15' : 0;
                            }};
    ASSERT_TRUE(run(tx2, std::ref(nakAll)));
    EXPECT_EQ(tx2.code(), ecTooManyErrors);
    EXPECT_EQ(stx, 6);
    EXPECT_EQ(soh, 6);
}

// Noise before an ACK makes the sender resend the block; the ACK of the first
// copy then arrives while the second is still going out. Taken as the reply,
// the receiver's later ACK of the repeat would pass for the next block's, and
// a NAK of the last block would be answered with EOT.
TEST_F(XmodemTest, SenderTakesNoReplyWhileItsBlockIsStillGoingOut) {
    Side tx(ptXmodemCRC);
    tx.line->setAutoDrain(false);
    std::string data = Pattern(200); // two blocks
    sendFile(tx, data);
    tx.line->feed("C");
    auto step = [&](const std::string& reply, bool drain) {
        if (!reply.empty())
            tx.line->feed(reply);
        tx.line->pump();
        if (drain) {
            tx.line->drain();
            tx.line->pump();
        }
        return ParseSent(tx.line->takeSent(), true);
    };
    auto blocks = step("", true);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].num, 1);
    EXPECT_TRUE(step("?", false).empty()) << "noise: block 1 again, still in the output buffer";
    ASSERT_EQ(tx.line->queued().size(), 133u);
    // The ACK of the first copy arrives while the second goes out.
    blocks = step("\x06", true);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].num, 1) << "the early ACK answered the first copy, not this one";
    // The receiver acknowledges the repeat: now block 2 goes.
    blocks = step("\x06", true);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].num, 2);
    // Block 2 arrives damaged: it must be sent again, not followed by EOT.
    blocks = step("\x15", true);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].start, 1);
    EXPECT_EQ(blocks[0].num, 2);
    blocks = step("\x06", true);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].start, cEOT);
    step("\x06", true);
    ASSERT_TRUE(tx.finished());
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psEndFile);

    // A cancel is heeded even while the block is still going out.
    Side cancelled(ptXmodemCRC, 0x7F05);
    cancelled.line->setAutoDrain(false);
    sendFile(cancelled, data, "cancelled.nc");
    cancelled.line->feed("C");
    cancelled.line->pump();
    ASSERT_EQ(cancelled.line->queued().size(), 133u);
    cancelled.line->feed("\x18");
    cancelled.line->pump();
    ASSERT_TRUE(cancelled.finished());
    EXPECT_EQ(cancelled.code(), ecCancelRequested);
}

TEST_F(XmodemTest, SenderRepeatsAQuestionedEot) {
    Side tx(ptXmodem);
    sendFile(tx, "N10 G00\r\n");
    tx.line->pump();
    tx.line->feed("\x15");
    int eots = 0;
    ScriptedReceiver peer{tx, false, [&](const ParsedBlock& b) {
                              if (b.start == cEOT)
                                  return ++eots == 1 ? '\x15' : '\x06';
                              return '\x06';
                          }};
    ASSERT_TRUE(run(tx, std::ref(peer)));
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(eots, 2);
}

// A receiver that has gone: neither a block's answer nor the end's comes.
// The sender tries again and gives up within its waits, never holding the
// line for the transmit time-out (days, as the window sets it).
TEST_F(XmodemTest, SenderGivesUpOnAReceiverThatStopsAnswering) {
    Side tx(ptXmodem);
    tx.proto.SetTransmitTimeout(16777215);
    sendFile(tx, "N10 G00\r\n");
    tx.line->pump();
    tx.line->feed("\x15");
    int eots = 0;
    ScriptedReceiver mute{tx, false, [&](const ParsedBlock& b) {
                              eots += b.start == cEOT;
                              return b.start == cEOT ? '\0' : '\x06';
                          }};
    // Each EOT waits one block wait (18 ticks here).
    ASSERT_TRUE(run(tx, std::ref(mute), 4 * 18));
    EXPECT_EQ(tx.code(), ecTimeout);
    EXPECT_EQ(eots, 3);

    Side tx2(ptXmodem, 0x7F0A);
    tx2.proto.SetTransmitTimeout(16777215);
    sendFile(tx2, Pattern(300), "mute.nc");
    tx2.line->pump();
    tx2.line->feed("\x15");
    ScriptedReceiver silent{tx2, false, [](const ParsedBlock&) { return '\0'; }};
    ASSERT_TRUE(run(tx2, std::ref(silent), 10 * 18));
    EXPECT_EQ(tx2.code(), ecTooManyErrors);
    ASSERT_EQ(silent.got.size(), 6u + 6u) << "block 1 six times, then the cancel";
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(silent.got[i].num, 1);
    EXPECT_EQ(tx2.line->sent().substr(tx2.line->sent().size() - 6), kCancel);
}

// The receiver's ACK of the EOT and the sender's time-out arrive together:
// the ACK ends the transfer; it is not emptied away by another EOT that
// nobody would answer.
TEST_F(XmodemTest, SenderReadsAnEotAnswerThatMeetsItsTimeOut) {
    Side tx(ptXmodem);
    sendFile(tx, "N10 G00\r\n");
    tx.line->pump();
    tx.line->feed("\x15");
    tx.line->pump();
    tx.line->feed("\x06");
    tx.line->pump();
    auto sent = ParseSent(tx.line->sent(), false);
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_EQ(sent.back().start, cEOT);
    clock.advanceTicks(200);
    tx.line->feed("\x06");
    TProtocolData& P = tx.proto.Data();
    peNotify(P, kNoticeTriggerTimer, P.TimeoutTrigger, NoticeParam(tx.line->Handle(), 0));
    ASSERT_TRUE(tx.finished());
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(ParseSent(tx.line->sent(), false).size(), 2u) << "no second EOT";
}

TEST_F(XmodemTest, CancelEmptiesTheOutputAndSendsTheCancelSequence) {
    Side tx(ptXmodemCRC);
    tx.line->setAutoDrain(false);
    sendFile(tx, Pattern(300));
    tx.line->feed("C");
    tx.line->pump();
    ASSERT_EQ(tx.line->queued().size(), 133u) << "the first block waits in the output buffer";
    tx.proto.CancelProtocol();
    EXPECT_EQ(tx.line->queued(), kCancel);
    ASSERT_TRUE(tx.finished());
    EXPECT_EQ(tx.code(), ecCancelRequested);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psCancelRequested);
}

TEST_F(XmodemTest, ReceiverAskingForGGetsBlocksWithoutWaitingForAcks) {
    Side tx(ptXmodem1K);
    std::string data = Pattern(3000);
    sendFile(tx, data);
    tx.line->pump();
    tx.line->feed("G");
    ASSERT_TRUE(RunLine(*tx.line, clock, nullptr, [&] {
        return !ParseSent(tx.line->sent(), true).empty() &&
               ParseSent(tx.line->sent(), true).back().start == cEOT;
    }));
    auto sent = ParseSent(tx.line->sent(), true);
    ASSERT_EQ(sent.size(), 4u) << "three blocks streamed, then EOT";
    std::string got;
    for (int i = 0; i < 3; ++i)
        got += sent[size_t(i)].data;
    EXPECT_EQ(got, data + std::string(72, '\x1A'));
    EXPECT_EQ(tx.proto.EngineProtocolType(), ptXmodem1KG);
    tx.line->feed("\x06");
    ASSERT_TRUE(run(tx, nullptr));
    EXPECT_EQ(tx.code(), 0);
    EXPECT_EQ(tx.proto.GetProtocolStatus(), psEndFile);

    Side cancelled(ptXmodem1K, 0x7F0A, 2100);
    cancelled.line->setAutoDrain(false);
    sendFile(cancelled, Pattern(50000), "big.nc");
    cancelled.line->pump();
    cancelled.line->feed("G");
    cancelled.line->pump();
    cancelled.line->drain();
    cancelled.line->feed("\x18");
    ASSERT_TRUE(run(cancelled, [&] { cancelled.line->drain(); }));
    EXPECT_EQ(cancelled.code(), ecCancelRequested);
}

TEST_F(XmodemTest, SenderStopsWhenTheReceiverCancels) {
    Side tx(ptXmodem);
    sendFile(tx, Pattern(300));
    tx.line->pump();
    tx.line->feed("\x15");
    ScriptedReceiver peer{tx, false, [](const ParsedBlock&) { return '\x18'; }};
    ASSERT_TRUE(run(tx, std::ref(peer)));
    EXPECT_EQ(tx.code(), ecCancelRequested);
}

TEST_F(XmodemTest, HandshakeWithoutAnswerTimesOut) {
    Side silent(ptXmodem);
    sendFile(silent, "x");
    ASSERT_TRUE(run(silent, nullptr));
    EXPECT_EQ(silent.code(), ecTimeout);
    EXPECT_EQ(silent.proto.GetProtocolStatus(), psProtocolHandshake);

    Side noisy(ptXmodem, 0x7F08);
    sendFile(noisy, "x", "noisy.nc");
    ASSERT_TRUE(run(noisy, [&] {
        if (!noisy.line->inputWaiting())
            noisy.line->feed("?");
    }));
    EXPECT_EQ(noisy.code(), ecTimeout);
    EXPECT_EQ(noisy.proto.GetProtocolStatus(), psProtocolError);
}

// A file that cannot be read to its end must not end as a complete transfer.
bool failingRead(TProtocolData& P, uint8_t* block, int32_t& len) {
    if (P.FileOfs >= 256) {
        peProtocolError(P, -161);
        len = 0;
        return true;
    }
    return faReadProtocolBlock(P, block, len);
}

TEST_F(XmodemTest, ReadErrorCancelsTheTransfer) {
    Side tx(ptXmodemCRC, 0x7F01), rx(ptXmodemCRC, 0x7F02);
    tx.proto.Data().apReadProtocolBlock = &failingRead;
    receiveFile(rx);
    sendFile(tx, Pattern(1000));
    ASSERT_TRUE(RunPair(*tx.line, *rx.line, clock, [&] { return tx.finished() && rx.finished(); }));
    EXPECT_EQ(tx.code(), -161);
    EXPECT_EQ(tx.errors, std::vector<int32_t>{-161});
    EXPECT_NE(tx.proto.GetProtocolStatus(), psEndFile);
    EXPECT_EQ(rx.code(), ecCancelRequested) << "the receiver must not keep a cut file as whole";
    auto sent = ParseSent(tx.line->sent(), true);
    for (auto& b : sent)
        EXPECT_NE(b.start, cEOT);
}

// ---- A damaged line between our sender and our receiver ----

// Passes the bytes of `s` through a line that damages or drops each with the
// given chance.
std::string Damage(const std::string& s, std::mt19937& rng, double corrupt, double drop) {
    std::uniform_real_distribution<double> u(0, 1);
    std::string out;
    for (char c : s) {
        double r = u(rng);
        if (r < drop)
            continue;
        if (r < drop + corrupt)
            c = char(uint8_t(c) ^ uint8_t(1 + rng() % 255));
        out += c;
    }
    return out;
}

// Many transfers over a line that damages and drops bytes, each byte taking
// its time on the line (the output buffers drain a few bytes per step). A
// transfer may fail, but it always ends, and a success on either side means
// the receiver has the sender's file.
TEST(XmodemNoisyLine, EverySuccessDeliversTheWholeFile) {
    const TProtocolType types[] = {ptXmodemCRC, ptXmodem1K};
    int delivered = 0;
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TProtocolType type = types[seed % 2];
        FakeClock clock;
        TempDir dir;
        std::mt19937 rng(seed);
        Side tx(type, 0x7F01), rx(type, 0x7F02);
        tx.line->setAutoDrain(false);
        rx.line->setAutoDrain(false);
        std::string data = Pattern(1500 + seed * 37 % 3000);
        writeBytes(dir.file("send.nc"), data);
        rx.proto.SetFileName(dir.file("recv.nc"));
        rx.proto.StartReceive();
        tx.proto.SetFileMask(dir.file("send.nc"));
        tx.proto.StartTransmit();
        double corrupt = (seed % 4) * 0.0007, drop = (seed % 3) * 0.0005;
        bool done = false;
        for (int tick = 0; tick <= 60000 && !done; ++tick) {
            for (;;) {
                int moving = tx.line->pump() + rx.line->pump() +
                             int(tx.line->queued().size() + rx.line->queued().size());
                tx.line->drain(40);
                rx.line->drain(40);
                std::string ab = Damage(tx.line->takeSent(), rng, corrupt, drop);
                std::string ba = Damage(rx.line->takeSent(), rng, corrupt, drop);
                rx.line->feed(ab);
                tx.line->feed(ba);
                if (tx.finished() && rx.finished()) {
                    done = true;
                    break;
                }
                if (moving == 0 && ab.empty() && ba.empty())
                    break;
            }
            clock.advanceTicks(1);
        }
        ASSERT_TRUE(done) << "the transfer never ended";
        if (tx.code() == 0) {
            EXPECT_EQ(rx.code(), 0) << "the sender reported a file the receiver did not take";
        }
        if (rx.code() != 0)
            continue;
        std::string got = readBytes(dir.file("recv.nc"));
        bool whole = got.size() >= data.size() && got.compare(0, data.size(), data) == 0 &&
                     got.find_first_not_of('\x1A', data.size()) == std::string::npos;
        EXPECT_TRUE(whole) << "received " << got.size() << " bytes for " << data.size();
        delivered += whole;
    }
    EXPECT_GT(delivered, 200) << "the line should let most transfers through";
}

} // namespace
} // namespace vorl::test
