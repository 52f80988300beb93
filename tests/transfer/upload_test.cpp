// Uploads by the transfer engine from the simulated machine tool and from
// lrzsz's sx, and a download after an upload on the same line.
#include "engine_fixture.h"
#include "text/language_table.h"

#include <filesystem>

namespace vorl::test {
namespace {

using GoState = TTransferEngine::GoState;

// Comments, a sequence-number-only block and blanks, for the upload filter.
const std::string kProgram = "%\nO2000 (UPLOAD TEST)\nN10 G00 X0 Y0\nN20 (ONLY A NOTE)\n"
                             "N30 G01 Z-1. F100\nN40 M30\n%\n";
// The same as the upload filter (comments removed, LF) leaves it.
const std::string kFiltered = "%\nO2000 \nN10 G00 X0 Y0\nN30 G01 Z-1. F100\nN40 M30\n%\n";

class UploadTest : public EngineTest {
protected:
    UploadTest() {
        m.uploadStripComments = 1;
        m.uploadFilterChars = "\x03"; // the End string is part of the data
        m.triggers[UploadStart] = "\x05";
        m.triggers[UploadReady] = "\x02";
        m.triggers[UploadStop] = "\x06";
        sim::test::writeFile(dir.file("program.nc"), kProgram);
        target = dir.file("received");
    }

    // The machine tool sends its program on ENQ, after STX; with `endString`
    // it sends ETX after the program and waits for ACK.
    std::vector<std::string> simArgs(bool endString) const {
        std::vector<std::string> a = {
            "--upload-start", "^E", "--upload-ready", "^B",
            "--upload-stop",  "^F", "--program",      dir.file("program.nc"),
            "--send-rate",    "0",  "--ready-gap",    "100"};
        if (endString) {
            a.insert(a.end(), {"--upload-end", "^C"});
        }
        return a;
    }

    void connectAndReceive() {
        chooseUpload(target);
        EXPECT_EQ(view.fileName, target + ".nc"); // typed without extension
        click();
        ASSERT_EQ(engine->goState(), GoState::Receive) << view.status;
        click();
    }

    std::string target;
};

TEST_F(UploadTest, EndStringAnsweredAndFileSavedFiltered) {
    m.triggers[UploadEnd] = "\x03";
    SimMachine sim(dir, simArgs(true));
    usePort(sim.process.ptyPath());
    connectAndReceive();
    ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
        << view.status;
    EXPECT_TRUE(view.sawStatus("End-of-data received from machine tool - Closing Files"));
    EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered);
    EXPECT_TRUE(view.goEnabled);
    EXPECT_EQ(view.goCaption, "Receive");
    const Report r = sim.waitFor([](const Report& r) { return num(r, "upload_stop_seen") == 1; });
    EXPECT_EQ(num(r, "uploads_completed"), 1);
}

// Asked to, the upload ends at the End string itself, not at the silence
// after it (here far longer than the test may take); the Stop string answers
// once the program is in, and the control goes back to idle.
TEST_F(UploadTest, EndStringEndsTheUploadAtOnceWhenAsked) {
    m.triggers[UploadEnd] = "\x03";
    engine->endUploadAtEndString = true;
    engine->Protocol1.SetAsciiEOFTimeout(1000000);
    SimMachine sim(dir, simArgs(true));
    usePort(sim.process.ptyPath());
    connectAndReceive();
    ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
        << view.status;
    EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered);
    const Report r = sim.waitFor([](const Report& r) { return num(r, "upload_stop_seen") == 1; });
    EXPECT_EQ(sim::test::text(r, "state"), "idle");
}

// A port kept open between transfers: a program the control punches out
// while nobody listens (after one upload, before the next Receive) waits in
// the port and is the next upload, whole, Ready string and all.
TEST_F(UploadTest, KeptOpenPortKeepsAProgramPunchedOutBetweenTransfers) {
    m.triggers[UploadStart].clear(); // the control punches out by itself
    m.triggers[UploadEnd] = "\x03";
    engine->keepPortOpen = true;
    engine->endUploadAtEndString = true;
    SimMachine sim(dir, simArgs(true));
    usePort(sim.process.ptyPath());
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        std::filesystem::remove(target + ".nc");
        chooseUpload(target);
        click();
        ASSERT_EQ(engine->goState(), GoState::Receive) << view.status;
        sim.process.command("upload");
        // Everything is on the line before the upload starts.
        sim.waitFor([&](const Report& r) { return num(r, "uploads_completed") == round; });
        click();
        ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
            << view.status;
        EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered);
    }
}

TEST_F(UploadTest, SilenceThenStopSavesTheFile) {
    SimMachine sim(dir, simArgs(false));
    usePort(sim.process.ptyPath());
    connectAndReceive();
    const std::string assumed =
        "Sender has stopped transmitting - End of data assumed - Press Stop to save file";
    ASSERT_TRUE(runUntil([&] { return view.status == assumed; })) << view.status;
    EXPECT_FALSE(std::filesystem::exists(target + ".nc"));
    engine->cmdStopClick();
    EXPECT_EQ(view.status, "File saved");
    EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered);
}

TEST_F(UploadTest, SilenceThenResetWritesNothing) {
    SimMachine sim(dir, simArgs(false));
    usePort(sim.process.ptyPath());
    connectAndReceive();
    ASSERT_TRUE(runUntil([&] { return engine->transfer.uploadEndAssumed; })) << view.status;
    engine->cmdResetClick();
    engine->cmdStopClick(); // nothing is left to save
    EXPECT_EQ(view.status, "Reset");
    EXPECT_TRUE(view.messages.empty());
    EXPECT_FALSE(std::filesystem::exists(target + ".nc"));
}

// The usual tape mark as both Ready and End string: the "%" that starts the
// upload is not its end. The Stop string answers only the closing "%", and
// the control, which waits for that answer, goes back to idle.
TEST_F(UploadTest, EndStringEqualToTheReadyStringEndsOnlyTheUpload) {
    m.triggers[UploadReady] = "%";
    m.triggers[UploadEnd] = "%";
    const std::string body = kProgram.substr(2, kProgram.size() - 4); // without the marks
    sim::test::writeFile(dir.file("program.nc"), body);
    auto args = simArgs(false);
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--upload-ready") {
            args[i + 1] = "%";
        }
    }
    args.insert(args.end(), {"--upload-end", "%"});
    SimMachine sim(dir, args);
    usePort(sim.process.ptyPath());
    connectAndReceive();
    ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
        << view.status;
    const Report r = sim.waitFor([](const Report& r) {
        return sim::test::text(r, "state") == "idle" && num(r, "uploads_completed") == 1;
    });
    EXPECT_EQ(sim::test::text(r, "state"), "idle");
    EXPECT_EQ(num(r, "upload_stop_seen"), 1);
    EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered.substr(2));
}

// A control that sends its program right behind its Ready string: what
// follows the Ready string is the program, nothing of it may be thrown away
// with what came before. Paced like a 9600 bit/s line, so characters keep
// arriving while the Ready string is handled.
TEST_F(UploadTest, ProgramRightBehindTheReadyStringComesThroughWhole) {
    m.triggers[UploadEnd] = "\x03";
    auto args = simArgs(true);
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--send-rate") {
            args[i + 1] = "960";
        } else if (args[i] == "--ready-gap") {
            args[i + 1] = "0";
        }
    }
    SimMachine sim(dir, args);
    usePort(sim.process.ptyPath());
    connectAndReceive();
    ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
        << view.status;
    EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered);
}

// Without a Ready string the control may answer the Start string with its
// program at once: only what came before the Start string is discarded.
TEST_F(UploadTest, ProgramRightBehindTheStartStringComesThroughWhole) {
    m.triggers[UploadReady].clear();
    m.triggers[UploadEnd] = "\x03";
    std::vector<std::string> args = {
        "--upload-start", "^E",  "--upload-stop", "^F",
        "--upload-end",   "^C",  "--program",     dir.file("program.nc"),
        "--send-rate",    "960", "--ready-gap",   "0"};
    SimMachine sim(dir, args);
    usePort(sim.process.ptyPath());
    chooseUpload(target);
    click();
    ASSERT_EQ(engine->goState(), GoState::Receive) << view.status;
    click();
    ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
        << view.status;
    EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered);
}

// Noise before Receive and before the Ready string is discarded (an End
// string among it ends nothing); the Ready string and the program behind it
// arrive in one piece, and all of the program is kept.
TEST_F(UploadTest, OnlyWhatComesBeforeTheReadyStringIsDiscarded) {
    m.triggers[UploadEnd] = "\x03";
    PtyDrain line;
    usePort(line.path());
    chooseUpload(target);
    click();
    ASSERT_EQ(engine->goState(), GoState::Receive) << view.status;
    line.send("BEFORE RECEIVE\n");
    ASSERT_TRUE(runUntil([&] { return engine->ComPort1.CharReady(); }));
    whenever(
        engine.get(), [&] { return line.received() == "\x05"; },
        [&] { line.send("NOISE \x03\n\x02" + kProgram + "\x03"); });
    click();
    ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
        << view.status;
    EXPECT_EQ(sim::test::readFile(target + ".nc"), kFiltered);
    EXPECT_EQ(line.received(), "\x05\x06");
}

// The line goes in the middle of an upload (the far end closes after 12,300
// bytes): the upload stops at once with the line's error, not on the silence
// that follows as if the control had finished, and the part received is
// saved neither now nor by Stop.
TEST_F(UploadTest, LineLostMidUploadStopsWithTheLinesError) {
    m.handshake = 1;
    PtyDrain line;
    usePort(line.path());
    chooseUpload(target);
    click();
    ASSERT_EQ(engine->goState(), GoState::Receive) << view.status;
    whenever(
        engine.get(), [&] { return line.received() == "\x05"; },
        [&] { line.send("\x02" + program(2000).substr(0, 12300)); });
    whenever(
        engine.get(), [&] { return view.status == "Upload in progress"; }, [&] { line.hangUp(); });
    click();
    const std::string stopped = "Upload stopped " + ErrorMsg(ecLineLost);
    ASSERT_TRUE(runUntil([&] { return view.status == stopped; })) << view.status;
    EXPECT_FALSE(view.sawStatus(
        "Sender has stopped transmitting - End of data assumed - Press Stop to save file"));
    EXPECT_FALSE(engine->transfer.uploadEndAssumed);
    EXPECT_TRUE(view.goEnabled);
    engine->cmdStopClick();
    EXPECT_FALSE(std::filesystem::exists(target + ".nc"));
}

// Stop while the program comes in cancels the reception; the target file
// is not written.
TEST_F(UploadTest, StopWhileReceivingCancels) {
    auto args = simArgs(false);
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--send-rate") {
            args[i + 1] = "50"; // the program takes two seconds
        }
    }
    SimMachine sim(dir, args);
    usePort(sim.process.ptyPath());
    engine->Protocol1.SetStatusInterval(2);
    whenever(
        engine.get(), [&] { return view.status == "Upload in progress"; },
        [&] { engine->cmdStopClick(); });
    // A language file's "Download cancelled" is not what a cancelled upload says.
    Language().setText(static_cast<int>(TextId::DownloadCancelled), "Download abgebrochen");
    connectAndReceive();
    const bool cancelled = runUntil([&] { return view.status == "Upload cancelled"; });
    Language().clear();
    ASSERT_TRUE(cancelled) << view.status;
    EXPECT_TRUE(view.goEnabled);
    EXPECT_EQ(view.goCaption, "Receive");
    EXPECT_TRUE(engine->ComPort1.Open());
    EXPECT_FALSE(engine->transfer.uploadEndAssumed);
    EXPECT_FALSE(std::filesystem::exists(target + ".nc"));
}

// The End string's trigger of an upload, kept past its port's close, must not
// be taken for a trigger of the next run, which opens the port again.
TEST_F(UploadTest, DownloadAfterUploadWaitsForItsOwnEndString) {
    m.triggers[UploadEnd] = "\x03";
    m.triggers[DownloadStart] = "\x12";
    m.triggers[DownloadReady] = "\x11";
    m.triggers[DownloadStop] = "\x14";
    m.triggers[DownloadEnd] = "\x06";
    auto args = simArgs(true);
    args.insert(args.end(), {"--download-start", "^R", "--download-ready", "^Q", "--download-stop",
                             "^T", "--download-end", "^F"});
    SimMachine sim(dir, args);
    usePort(sim.process.ptyPath());
    connectAndReceive();
    ASSERT_TRUE(runUntil([&] { return view.status == "End-of-data received - File Saved"; }))
        << view.status;

    chooseDownload(writeProgram("O9.nc", program(20)));
    click();
    ASSERT_EQ(engine->goState(), GoState::Transmit) << view.status;
    click();
    ASSERT_TRUE(runUntil([&] { return view.status == "Machine tool indicates completion"; }))
        << view.status;
    const Report r =
        sim.waitFor([](const Report& r) { return num(r, "downloads_completed") == 1; });
    EXPECT_EQ(num(r, "upload_stop_seen"), 1); // no second ACK for an End that was not one
}

TEST_F(EngineTest, XmodemUploadFromSxWritesTheTargetFile) {
    m.protocol = 2;
    const std::string program = EngineTest::program(40);
    sim::test::writeFile(dir.file("sent.nc"), program);
    const std::string link = dir.file("com-sx");
    SocatPeer sx(link, "sx -q sent.nc", dir.path());
    usePort(link);
    chooseUpload(dir.file("got.nc"));
    click();
    ASSERT_EQ(engine->goState(), GoState::Receive) << view.status;
    click(); // the receiver starts the handshake itself: no first character to wait for
    ASSERT_TRUE(runUntil([&] { return view.status == "Upload complete"; })) << view.status;
    EXPECT_EQ(sx.wait(), 0);
    // The SUB padding of the last block is a block of its own, which the
    // filter keeps; the program itself comes through whole.
    const std::string got = sim::test::readFile(dir.file("got.nc"));
    EXPECT_EQ(got.substr(0, program.size()), program);
}

} // namespace
} // namespace vorl::test
