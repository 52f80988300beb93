// Downloads by the transfer engine to the simulated machine tool, a drained
// pty, an in-memory line with modem lines, and lrzsz's rx.
#include "engine_fixture.h"

#include "platform/simulated_device.h"

#include <QTimer>

#include <algorithm>
#include <unistd.h>

namespace vorl::test {
namespace {

using Clock = std::chrono::steady_clock;
using GoState = TTransferEngine::GoState;

const std::vector<std::string> kDownloadTriggers = {
    "--download-start", "^R", "--download-ready", "^Q",
    "--download-stop",  "^T", "--download-end",   "^F"};

void setDownloadTriggers(MachineConfig& m) {
    m.triggers[DownloadStart] = "\x12";
    m.triggers[DownloadReady] = "\x11";
    m.triggers[DownloadStop] = "\x14";
    m.triggers[DownloadEnd] = "\x06";
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(EngineTest, AsciiProtocolDownloadWithTriggerStrings) {
    setDownloadTriggers(m);
    SimMachine sim(dir, kDownloadTriggers);
    usePort(sim.process.ptyPath());
    chooseDownload(writeProgram("O1.nc", program(60)));
    EXPECT_EQ(view.status, "Ready");
    click(); // Connect
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    EXPECT_EQ(view.goCaption, "Transmit");
    const std::string sent = prepared();
    click(); // Transmit: the protocol takes over, its events finish the sequence
    ASSERT_TRUE(runUntil([&] { return view.status == "Machine tool indicates completion"; }))
        << view.status;
    EXPECT_TRUE(view.sawStatus("Download complete"));
    EXPECT_TRUE(view.goEnabled);
    EXPECT_EQ(view.goCaption, "Transmit");
    const Report r =
        sim.waitFor([](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(sim.received(), sent);
    EXPECT_EQ(num(r, "download_end_sent"), 1);
}

TEST_F(EngineTest, XonXoffDownloadToSlowMachineLosesAndDoublesNothing) {
    m.handshake = 1;
    setDownloadTriggers(m);
    // A control that consumes slowly holds the line with XOFF again and
    // again. A pty moves a whole put at once, with no line speed, so the
    // buffer leaves room for a group or two more after the XOFF.
    SimMachine sim(dir, with(kDownloadTriggers, {"--buffer", "2048", "--xoff-at", "1024",
                                                 "--xon-at", "256", "--rate", "3000"}));
    usePort(sim.process.ptyPath());
    engine->Timer2->setInterval(5);
    chooseDownload(writeProgram("O2.nc", program(300)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    const std::string sent = prepared();
    click(); // returns when the block sender and the End string are done
    EXPECT_EQ(view.status, "Machine tool indicates completion");
    EXPECT_TRUE(view.sawStatus("Waiting (Xoff received from machine tool)"));
    EXPECT_TRUE(view.goEnabled);
    const Report r =
        sim.waitFor([](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(sim.received(), sent);
    EXPECT_GE(num(r, "xoff_sent"), 5);
    EXPECT_EQ(num(r, "overflow"), 0);
}

// Stop and Reset while the control holds the line with XOFF: the block
// sender leaves its wait, flushes what is queued and hands Reset over.
TEST_F(EngineTest, StopAndResetWhileTheControlHoldsTheLine) {
    m.handshake = 1;
    SimMachine sim(dir,
                   {"--buffer", "2048", "--xoff-at", "1024", "--xon-at", "256", "--rate", "1000"});
    usePort(sim.process.ptyPath());
    engine->Timer2->setInterval(5);
    const std::string held = "Waiting (Xoff received from machine tool)";
    chooseDownload(writeProgram("O10.nc", program(300)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    whenever(
        engine.get(), [&] { return view.status == held; }, [&] { engine->cmdStopClick(); });
    click(); // returns once the sender has stopped
    EXPECT_EQ(view.status, "Download cancelled");
    EXPECT_TRUE(engine->ComPort1.Open());
    EXPECT_TRUE(view.goEnabled);
    EXPECT_EQ(view.goCaption, "Transmit");
    EXPECT_FALSE(engine->transfer.senderActive);

    // The flush of the cancelled run returns at once, while the control still
    // holds the line with its XOFF; the next run starts once it has let go
    // (the flow switch around the trigger strings would forget the hold).
    sim.waitFor([](const Report& r) { return num(r, "flow_held") == 0; });
    whenever(
        engine.get(), [&] { return view.status == held; }, [&] { engine->cmdResetClick(); });
    click();
    EXPECT_EQ(view.status, "Reset");
    EXPECT_FALSE(engine->ComPort1.Open());
    EXPECT_EQ(view.goCaption, "Connect");
    EXPECT_FALSE(view.goEnabled);
}

// Stop during a protocol download cancels the protocol: its finish event
// says so, the port stays open and the same download can be sent again.
// Reset during one leaves the window idle with the port closed.
TEST_F(EngineTest, StopAndResetDuringAnAsciiProtocolDownload) {
    m.blockDelay = 300; // the ASCII protocol's line delay: 30 lines take 9 s
    PtyDrain line;
    usePort(line.path());
    chooseDownload(writeProgram("O14.nc", program(30)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    const std::string sent = prepared();
    whenever(
        engine.get(), [&] { return line.received().size() > 60; }, [&] { engine->cmdStopClick(); });
    click();
    ASSERT_TRUE(runUntil([&] { return view.status == "Download cancelled"; })) << view.status;
    EXPECT_TRUE(view.goEnabled);
    EXPECT_EQ(view.goCaption, "Transmit");
    EXPECT_TRUE(engine->ComPort1.Open());
    const size_t stoppedAt = line.received().size();
    EXPECT_LT(stoppedAt, sent.size() / 2);

    whenever(
        engine.get(), [&] { return line.received().size() > stoppedAt + 60; },
        [&] { engine->cmdResetClick(); });
    click();
    ASSERT_TRUE(runUntil([&] { return view.status == "Reset"; })) << view.status;
    EXPECT_FALSE(view.goEnabled);
    EXPECT_FALSE(engine->ComPort1.Open());
}

// A new Download choice while the block sender runs ends that download and
// keeps the new choice: the sender's own reset must not wipe it afterwards.
TEST_F(EngineTest, NewDownloadChoiceWhileTheBlockSenderRunsIsKept) {
    m.handshake = 1;
    SimMachine sim(dir,
                   {"--buffer", "2048", "--xoff-at", "1024", "--xon-at", "256", "--rate", "1000"});
    usePort(sim.process.ptyPath());
    engine->Timer2->setInterval(5);
    chooseDownload(writeProgram("O15.nc", program(300)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    const std::string next = writeProgram("O16.nc", program(3));
    whenever(
        engine.get(), [&] { return view.status == "Waiting (Xoff received from machine tool)"; },
        [&] { chooseDownload(next); });
    click(); // returns once the sender has left
    EXPECT_FALSE(engine->transfer.senderActive);
    EXPECT_EQ(view.fileName, next);
    EXPECT_EQ(view.status, "Ready");
    EXPECT_EQ(view.goCaption, "Connect");
    EXPECT_TRUE(view.goEnabled);
    EXPECT_EQ(engine->transfer.operation, TransferState::Download);
    EXPECT_FALSE(engine->ComPort1.Open());
    EXPECT_TRUE(view.errors.empty());

    // The new choice goes out whole once the control has let go.
    sim.waitFor([](const Report& r) { return num(r, "flow_held") == 0; });
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    click();
    EXPECT_EQ(view.status, "Download complete");
}

struct Put {
    int64_t offset;
    std::string bytes;
    Clock::time_point at;
};

class BlockSenderTest : public EngineTest {
protected:
    // Sends `text` with the block sender to a drained pty; returns the puts.
    std::vector<Put> send(const std::string& text) {
        m.handshake = 1;
        PtyDrain line;
        usePort(line.path());
        chooseDownload(writeProgram("O3.nc", text));
        click();
        EXPECT_EQ(engine->goState(), GoState::Transmit) << view.status;
        const std::string data = prepared();
        std::vector<Put> puts;
        engine->OnSenderPut = [&](int64_t offset, size_t length) {
            puts.push_back(
                {offset, data.substr(static_cast<size_t>(offset), length), Clock::now()});
        };
        click();
        EXPECT_EQ(view.status, "Download complete");
        EXPECT_TRUE(runUntil([&] { return line.received() == data; }));
        return puts;
    }
};

TEST_F(BlockSenderTest, GroupsOfFiveBlocksAfterTheFirstAndTheTrailerLast) {
    m.punchTrailer = 1;
    m.leaderLength = 1;
    const auto puts = send("G1\nG2\nG3\nG4\nG5\nG6\nG7\nG8\n");
    ASSERT_EQ(puts.size(), 4u);
    EXPECT_EQ(puts[0].bytes, "G1\n");
    EXPECT_EQ(puts[1].bytes, "G2\nG3\nG4\nG5\nG6\n");
    EXPECT_EQ(puts[2].bytes, "G7\nG8\n");
    EXPECT_EQ(puts[3].bytes, std::string(120, '\0'));
}

TEST_F(BlockSenderTest, BlockDelayPutsEachBlockAloneAndApart) {
    m.blockDelay = 200;
    const auto puts = send("G1\nG2\nG3\nG4\n");
    ASSERT_EQ(puts.size(), 4u);
    for (size_t i = 0; i < puts.size(); ++i) {
        EXPECT_EQ(puts[i].bytes, "G" + std::to_string(i + 1) + "\n");
        if (i > 0) {
            EXPECT_GE(puts[i].at - puts[i - 1].at, std::chrono::milliseconds(200)) << "put " << i;
        }
    }
}

TEST_F(EngineTest, TransmitOnALineLostSinceConnectSaysSo) {
    m.handshake = 1;
    PtyDrain line;
    usePort(line.path());
    chooseDownload(writeProgram("O5.nc", program(5)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    line.hangUp();
    click();
    EXPECT_EQ(view.errors, std::vector<std::string>{"Line to the machine tool lost"});
    EXPECT_FALSE(view.sawStatus("Download complete"));
}

TEST_F(EngineTest, LineLostDuringTheBlockSenderStopsTheDownloadAndSaysSo) {
    m.handshake = 1;
    m.blockDelay = 20;
    PtyDrain line;
    usePort(line.path());
    chooseDownload(writeProgram("O4.nc", program(200)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    int puts = 0;
    engine->OnSenderPut = [&](int64_t, size_t) {
        if (++puts == 3) {
            line.hangUp();
        }
    };
    click(); // returns when the sender has ended
    EXPECT_EQ(view.status, "Download stopped Line to the machine tool lost");
    EXPECT_FALSE(view.sawStatus("Download complete"));
    EXPECT_LT(puts, 200);
    EXPECT_FALSE(engine->transfer.senderActive);
    EXPECT_TRUE(view.goEnabled);
    EXPECT_FALSE(view.monitoring);
}

TEST_F(BlockSenderTest, BlockDelayOfOneSendsBlockByBlockWithoutTimer) {
    m.blockDelay = 1;
    const auto puts = send("G1\nG2\nG3\n");
    ASSERT_EQ(puts.size(), 3u);
    EXPECT_EQ(puts[2].bytes, "G3\n");
}

TEST_F(BlockSenderTest, BlockLongerThanTheOutputBufferGoesOutInPieces) {
    const std::string longBlock = "(" + std::string(20000, 'A') + ")\n";
    const auto puts = send("G1\n" + longBlock + "M30\n");
    std::string joined;
    for (const Put& p : puts) {
        EXPECT_LE(p.bytes.size(), 8192u);
        joined += p.bytes;
    }
    EXPECT_EQ(joined, prepared());
}

// A program many times the sender's window reaches the machine tool exact,
// and Reset in the middle of one stops it with only a part sent.
TEST_F(EngineTest, ProgramLargerThanTheSendersWindowGoesOutExactAndResetStopsIt) {
    m.handshake = 1;
    m.baudRate = 460800;
    engine->senderWindow = 4096; // at least one put of 8192: refilled every few groups
    SimMachine sim(dir, {});
    usePort(sim.process.ptyPath());
    // Long blocks now and then, so groups also straddle the window's end,
    // and one longer than the window.
    std::string text = program(700);
    for (size_t at = 5000; at < text.size(); at += 7919) {
        const size_t length = at == 5000 ? 20000 : 5000;
        text.insert(text.find('\n', at) + 1, "(" + std::string(length, 'C') + ")\n");
    }
    chooseDownload(writeProgram("O20.nc", text));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    const std::string sent = prepared();
    ASSERT_GT(sent.size(), 4 * 8192u);
    click();
    EXPECT_EQ(view.status, "Download complete");
    sim.waitFor([&](const Report&) { return sim.received().size() >= sent.size(); });
    EXPECT_EQ(sim.received(), sent);

    view.statuses.clear();
    SimMachine second(dir, {});
    usePort(second.process.ptyPath());
    chooseDownload(writeProgram("O21.nc", text));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    int64_t puts = 0;
    engine->OnSenderPut = [&](int64_t offset, size_t) {
        if (offset > int64_t(sent.size()) / 2 && puts++ == 0) {
            engine->cmdResetClick();
        }
    };
    click(); // returns once the sender has stopped
    EXPECT_EQ(view.status, "Reset");
    EXPECT_FALSE(view.sawStatus("Download complete"));
    EXPECT_FALSE(engine->ComPort1.Open());
    EXPECT_FALSE(engine->transfer.senderActive);
    const std::string got = second.received();
    EXPECT_LT(got.size(), sent.size());
    EXPECT_EQ(got, sent.substr(0, got.size()));
}

// The prepared file cut short under the sender (a read that fails) stops
// the download and says why; a cut program never ends as complete.
TEST_F(BlockSenderTest, PreparedFileThatCannotBeReadOnStopsTheDownload) {
    m.handshake = 1;
    engine->senderWindow = 4096;
    PtyDrain line;
    usePort(line.path());
    chooseDownload(writeProgram("O22.nc", program(2000)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    const std::string temp = engine->transfer.tempFileName;
    int puts = 0;
    engine->OnSenderPut = [&](int64_t, size_t) {
        if (++puts == 3) {
            ASSERT_EQ(::truncate(temp.c_str(), 20000), 0);
        }
    };
    click();
    const std::string expected =
        "Download stopped " + temp + ": the file is shorter than when it was prepared";
    EXPECT_EQ(view.status, expected);
    EXPECT_EQ(view.messages, std::vector<std::string>{expected});
    EXPECT_FALSE(view.sawStatus("Download complete"));
    EXPECT_FALSE(engine->transfer.senderActive);
    EXPECT_TRUE(view.goEnabled);
    EXPECT_TRUE(engine->ComPort1.Open());
    EXPECT_LE(line.received().size(), 20000u);
}

TEST_F(EngineTest, ResetWhileWaitingForReadyClosesAndReturnsToIdle) {
    setDownloadTriggers(m);
    PtyDrain line; // a machine tool that never answers
    usePort(line.path());
    chooseDownload(writeProgram("O4.nc", program(5)));
    click();
    // Reset once the Start string is on the line: a close drops what is
    // still queued.
    whenever(
        engine.get(),
        [&] { return view.status == "Waiting for machine tool" && line.received() == "\x12"; },
        [&] { engine->cmdResetClick(); });
    click(); // returns once Reset has ended the wait
    EXPECT_EQ(view.status, "Reset");
    EXPECT_EQ(view.goCaption, "Connect");
    EXPECT_FALSE(view.goEnabled);
    EXPECT_EQ(view.fileName, "");
    EXPECT_FALSE(engine->ComPort1.Open());
    // The Start string went out, nothing else.
    EXPECT_EQ(line.received(), "\x12");
    EXPECT_FALSE(view.sawStatus("Machine tool indicates ready to receive"));
}

TEST_F(EngineTest, ReadyStringBehindMoreOtherOutputThanTheBufferHoldsStartsTheDownload) {
    m.handshake = 1;
    m.triggers[DownloadReady] = "READY";
    PtyDrain line;
    usePort(line.path());
    chooseDownload(writeProgram("O6.nc", program(5)));
    click();
    whenever(
        engine.get(), [&] { return view.status == "Waiting for machine tool"; },
        [&] { line.send(std::string(12000, '*') + "READY"); });
    const auto giveUp = Clock::now() + kDeadline;
    whenever(
        engine.get(), [&] { return Clock::now() > giveUp; }, [&] { engine->cmdResetClick(); });
    click(); // ends with the wait, or with Reset when the string was never seen
    EXPECT_TRUE(view.sawStatus("Machine tool indicates ready to receive")) << view.status;
    EXPECT_TRUE(runUntil([&] { return line.received() == prepared(); }));
}

TEST_F(EngineTest, HardwareHandshakeSendsNothingBeforeCts) {
    auto simLine = platform::SimulatedLine::Register("cts-wait");
    simLine->setLines(0);
    usePort("sim:cts-wait");
    m.handshake = 2;
    m.triggers[DownloadStart] = "\x12";
    chooseDownload(writeProgram("O5.nc", "G1\n"));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    bool quietBeforeCts = false;
    whenever(
        engine.get(), [&] { return view.status == "Waiting for machine tool"; },
        [&] {
            quietBeforeCts = simLine->peerTake().empty() && simLine->rts();
            simLine->setLines(platform::kLineCTS | platform::kLineDSR);
        });
    click();
    EXPECT_TRUE(quietBeforeCts);
    ASSERT_TRUE(runUntil([&] { return view.status == "Download complete"; })) << view.status;
    EXPECT_EQ(simLine->peerTake(), "\x12G1\n");
    platform::SimulatedLine::Unregister("cts-wait");
}

TEST_F(EngineTest, OpenFailuresKeepConnect) {
    chooseDownload(writeProgram("O6.nc", "G1\n"));
    usePort(dir.file("no-such-port"));
    click();
    EXPECT_EQ(view.status, "Port does not exist");
    EXPECT_EQ(engine->goState(), GoState::Connect);
    EXPECT_TRUE(view.goEnabled);

    PtyDrain line;
    usePort(line.path());
    TComPort other(delivery); // another program holds the port
    other.SetComNumber(kPort);
    other.SetAutoOpen(false);
    other.SetOpen(true);
    ASSERT_TRUE(other.Open());
    click();
    EXPECT_EQ(view.status, "Port is already in use");
    EXPECT_EQ(engine->goState(), GoState::Connect);
    EXPECT_TRUE(view.goEnabled);
}

TEST_F(EngineTest, ReadyStringTooLongForTheLineIsReportedAndTheWindowIdle) {
    m.triggers[DownloadReady] = std::string(22, 'R');
    PtyDrain line;
    usePort(line.path());
    chooseDownload(writeProgram("O7.nc", "G1\n"));
    click();
    click();
    ASSERT_EQ(view.errors.size(), 1u);
    EXPECT_NE(view.errors[0].find("Data trigger too long"), std::string::npos) << view.errors[0];
    EXPECT_EQ(view.status, "Reset");
    EXPECT_EQ(view.goCaption, "Connect");
    EXPECT_FALSE(engine->ComPort1.Open());
}

TEST_F(EngineTest, XmodemWithoutAnswerCannotHandshake) {
    m.protocol = 1;
    PtyDrain line; // no receiver there
    usePort(line.path());
    chooseDownload(writeProgram("O11.nc", "G1\n"));
    click();
    click();
    ASSERT_TRUE(runUntil([&] { return view.status == "Unable to handshake with machine tool"; }))
        << view.status;
    EXPECT_TRUE(view.sawStatus("Error-6006 Fatal time out")); // the protocol's error and its text
    EXPECT_TRUE(view.goEnabled);
}

TEST_F(EngineTest, EndStringAfterTheBlockSenderMatchesInAnyCase) {
    m.handshake = 1;
    m.triggers[DownloadStop] = "\x14";
    m.triggers[DownloadEnd] = "OK";
    SimMachine sim(dir, {"--download-stop", "^T", "--download-end", "ok"});
    usePort(sim.process.ptyPath());
    chooseDownload(writeProgram("O12.nc", program(10)));
    click();
    click();
    EXPECT_EQ(view.status, "Machine tool indicates completion");
}

TEST_F(EngineTest, LineErrorsAreShownAndTheTransferGoesOn) {
    auto simLine = platform::SimulatedLine::Register("line-error");
    simLine->setLines(platform::kLineCTS | platform::kLineDSR);
    usePort("sim:line-error");
    chooseDownload(writeProgram("O13.nc", "G1\n"));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    simLine->raiseErrors(platform::kErrFraming);
    EXPECT_TRUE(runUntil([&] { return view.status == "Line error"; })) << view.status;
    click();
    EXPECT_TRUE(runUntil([&] { return view.status == "Download complete"; })) << view.status;
    EXPECT_EQ(simLine->peerTake(), "G1\n");
    platform::SimulatedLine::Unregister("line-error");
}

TEST_F(EngineTest, XmodemCrcDownloadReceivedByRx) {
    m.protocol = 2;
    const std::string link = dir.file("com-rx");
    SocatPeer rx(link, "rx -c -q rx.nc", dir.path());
    usePort(link);
    chooseDownload(writeProgram("O8.nc", program(100)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    const std::string sent = prepared();
    click();
    ASSERT_TRUE(runUntil([&] { return view.status == "Download complete"; })) << view.status;
    EXPECT_EQ(rx.wait(), 0);
    const std::string got = sim::test::readFile(dir.file("rx.nc"));
    ASSERT_GE(got.size(), sent.size());
    EXPECT_EQ(got.substr(0, sent.size()), sent);
    // Xmodem pads the last block with SUB characters.
    EXPECT_LT(got.size() - sent.size(), 1024u);
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(sent.size()), got.end(),
                            [](char c) { return c == 0x1A; }));
}

} // namespace
} // namespace vorl::test
