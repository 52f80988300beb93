// The dispatcher on a pty pair: the test plays the machine tool on the master.
#include "serial_test_util.h"

#include "../test_pattern.h"

#include "platform/posix_tty.h"
#include "platform/tty_rate.h"
#include "serial/dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace vorl {
namespace {

using namespace std::chrono_literals;
using test::Notice;
using test::NoticeLog;
using test::Pattern;
using test::PtyPeer;
using test::WaitUntil;

class PtyDispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        disp = std::make_unique<TLinuxDispatcher>(this);
        ASSERT_EQ(disp->InitPort(peer.path(), 19200, 0, 8, 1, 4096, 4096, kOptionDTR | kOptionRTS),
                  ecOK);
    }
    void TearDown() override { disp.reset(); }

    PtyPeer peer;
    std::unique_ptr<TLinuxDispatcher> disp;
};

TEST_F(PtyDispatcher, ReadsAndWritesAcrossTheBufferWrap) {
    // Received: 20000 bytes taken in uneven pieces wrap the 8192-byte buffer.
    const std::string in = Pattern(20000, 3);
    std::thread sender([&] { peer.send(in); });
    std::string got;
    char buf[700];
    uint32_t piece = 1;
    ASSERT_TRUE(WaitUntil([&] {
        int32_t n = std::min<int32_t>(disp->InBuffUsed(), int32_t(piece));
        if (n > 0) {
            EXPECT_EQ(disp->GetBlock(buf, uint32_t(n)), n);
            got.append(buf, size_t(n));
            piece = piece * 3 % 697 + 1;
        }
        return got.size() == in.size();
    }));
    sender.join();
    EXPECT_EQ(got, in);
    uint8_t c;
    EXPECT_EQ(disp->GetChar(c), ecBufferIsEmpty);

    // Sent: blocks through the 4096-byte output ring, read on the other side.
    const std::string out = Pattern(30000, 11);
    std::string seen;
    std::thread reader([&] { seen = peer.receive(out.size(), 10s); });
    size_t done = 0;
    ASSERT_TRUE(WaitUntil([&] {
        uint32_t n = uint32_t(std::min<size_t>(1000, out.size() - done));
        if (disp->PutBlock(out.data() + done, n) == int32_t(n))
            done += n;
        return done == out.size();
    }));
    reader.join();
    EXPECT_EQ(seen, out);
    EXPECT_TRUE(WaitUntil([&] { return disp->OutBuffUsed() == 0; }));
    EXPECT_EQ(disp->OutBuffFree(), 4096);
}

TEST_F(PtyDispatcher, StopsReadingWhenTheDispatchBufferIsFull) {
    const std::string in = Pattern(9000, 5);
    peer.send(in);
    ASSERT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 8192; }));
    EXPECT_EQ(disp->InBuffFree(), 0);
    EXPECT_TRUE(disp->CharReady());
    // The rest waits in the kernel until something is taken.
    ASSERT_TRUE(WaitUntil([&] { return peer.slaveInQueue() == 9000 - 8192; }));
    EXPECT_EQ(disp->InBuffUsed(), 8192);

    uint8_t c = 0;
    EXPECT_EQ(disp->PeekChar(c, 1), ecOK);
    EXPECT_EQ(c, uint8_t(in[0]));
    EXPECT_EQ(disp->PeekChar(c, 8192), ecOK);
    EXPECT_EQ(c, uint8_t(in[8191]));
    EXPECT_EQ(disp->PeekChar(c, 8193), ecBufferIsEmpty);

    std::string got(100, '\0');
    ASSERT_EQ(disp->GetBlock(got.data(), 100), 100);
    EXPECT_EQ(got, in.substr(0, 100));
    ASSERT_TRUE(WaitUntil([&] { return peer.slaveInQueue() == 9000 - 8292; }));
    EXPECT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 8192; }));

    std::string rest(8192, '\0');
    ASSERT_EQ(disp->GetBlock(rest.data(), 8192), 8192);
    EXPECT_EQ(rest, in.substr(100, 8192));
    ASSERT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 708; }));
    rest.resize(708);
    ASSERT_EQ(disp->GetBlock(rest.data(), 708), 708);
    EXPECT_EQ(rest, in.substr(8292));
}

TEST(PtyOpen, MissingBusyAndRestoredSettings) {
    TLinuxDispatcher d(nullptr);
    EXPECT_EQ(d.InitPort("/dev/does-not-exist-vorl", 9600, 0, 8, 1, 4096, 4096, 3), -2);
    EXPECT_FALSE(d.IsOpen());

    PtyPeer peer;
    // A failed open lets the device go again.
    EXPECT_EQ(d.InitPort(peer.path(), 12345, 0, 8, 1, 4096, 4096, 3), ecBaudRate);
    EXPECT_EQ(d.InitPort(peer.path(), 9600, 0, 8, 1, 4096, 4096, 3), ecOK);
    EXPECT_EQ(d.DonePort(), ecOK);
    termios before{};
    tcgetattr(peer.slave(), &before);
    ASSERT_TRUE(before.c_lflag & ECHO);
    {
        TLinuxDispatcher first(nullptr), second(nullptr);
        ASSERT_EQ(first.InitPort(peer.path(), 9600, 0, 8, 1, 4096, 4096, 3), ecOK);
        EXPECT_EQ(second.InitPort(peer.path(), 9600, 0, 8, 1, 4096, 4096, 3), -5);
        termios during{};
        tcgetattr(peer.slave(), &during);
        EXPECT_FALSE(during.c_lflag & ECHO); // raw while open
        EXPECT_TRUE(first.ThreadsActive());
        EXPECT_EQ(first.DonePort(), ecOK);
        EXPECT_FALSE(first.ThreadsActive());
        EXPECT_EQ(second.InitPort(peer.path(), 9600, 0, 8, 1, 4096, 4096, 3), ecOK);
    }
    termios after{};
    tcgetattr(peer.slave(), &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST_F(PtyDispatcher, LineSettingsAndTheirKeepValues) {
    int32_t baud;
    uint16_t parity, stop, data;
    ASSERT_EQ(disp->GetLine(baud, parity, stop, data), ecOK);
    EXPECT_EQ(baud, 19200);
    EXPECT_EQ(parity, 0);
    EXPECT_EQ(stop, 1);
    EXPECT_EQ(data, 8);
    ASSERT_EQ(disp->SetLine(4800, 2, 2, 7), ecOK);
    ASSERT_EQ(disp->GetLine(baud, parity, stop, data), ecOK);
    EXPECT_EQ(baud, 4800);
    EXPECT_EQ(parity, 2);
    EXPECT_EQ(stop, 2);
    EXPECT_EQ(data, 7);
    ASSERT_EQ(disp->SetLine(0, 5, 3, 9), ecOK); // all kept
    ASSERT_EQ(disp->ChangeBaud(0xFF16), ecOK);  // legacy code of 9600
    ASSERT_EQ(disp->GetLine(baud, parity, stop, data), ecOK);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(parity, 2);
    EXPECT_EQ(data, 7);
    termios t{};
    tcgetattr(peer.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    // (A pty forces 8 data bits without parity.)
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(disp->ChangeBaud(12345), ecBaudRate);
    // A pty has no modem lines: they read as absent, never as a failure.
    EXPECT_FALSE(disp->CheckCTS());
    EXPECT_EQ(disp->GetLineError(), kLeNone);
}

TEST(PtyRates, RatesWithoutASpeedConstantReachTheLine) {
    PtyPeer peer;
    TLinuxDispatcher disp(nullptr);
    // 14400 is in the speed lists of the machine and terminal settings.
    ASSERT_EQ(disp.InitPort(peer.path(), 14400, 0, 8, 1, 4096, 4096, kOptionDTR | kOptionRTS),
              ecOK);
    EXPECT_EQ(platform::TtyRate(peer.slave()), 14400u);
    int32_t baud;
    uint16_t parity, stop, data;
    ASSERT_EQ(disp.GetLine(baud, parity, stop, data), ecOK);
    EXPECT_EQ(baud, 14400);
    termios t{};
    tcgetattr(peer.slave(), &t);
    EXPECT_FALSE(t.c_lflag & ECHO); // raw, as at any other rate
    ASSERT_EQ(disp.ChangeBaud(9600), ecOK);
    EXPECT_EQ(platform::TtyRate(peer.slave()), 9600u);
    ASSERT_EQ(disp.ChangeBaud(0xFF1F), ecOK); // the legacy code of 56000
    EXPECT_EQ(platform::TtyRate(peer.slave()), 56000u);
    // A rate nothing in the program names is still refused.
    EXPECT_EQ(disp.ChangeBaud(12345), ecBaudRate);
    EXPECT_EQ(platform::TtyRate(peer.slave()), 56000u);
    EXPECT_EQ(disp.DonePort(), ecOK);
}

TEST_F(PtyDispatcher, XoffFromThePeerHoldsOurOutput) {
    ASSERT_EQ(disp->SWFlowEnable(3072, 1024, kSWFlowTransmit | kSWFlowReceive), ecOK);
    EXPECT_EQ(disp->SWFlowState(), kFlowOn);
    // XOFF, then a marker: once the marker is here the XOFF has been seen.
    peer.send("\x13M");
    ASSERT_TRUE(WaitUntil([&] { return disp->CharReady(); }));
    uint8_t c;
    ASSERT_EQ(disp->GetChar(c), ecOK);
    EXPECT_EQ(c, 'M'); // flow characters never reach the data
    const std::string out = Pattern(300, 1);
    ASSERT_EQ(disp->PutBlock(out.data(), 300), 300);
    ASSERT_TRUE(WaitUntil([&] { return disp->SWFlowState() == kFlowXOutHold; }));
    EXPECT_EQ(peer.receiveFor(100ms), "");
    EXPECT_GT(disp->OutBuffUsed(), 0);
    peer.send("\x11");
    EXPECT_EQ(peer.receive(300), out);
    EXPECT_TRUE(WaitUntil([&] { return disp->SWFlowState() == kFlowOn; }));
    EXPECT_EQ(disp->SWFlowDisable(), ecOK);
    EXPECT_EQ(disp->SWFlowState(), kFlowOff);
}

TEST_F(PtyDispatcher, XoffStopsAStreamWithinAFewCharacters) {
    // Fast, so that the paced stream (see below) is long within the deadline.
    ASSERT_EQ(disp->ChangeBaud(460800), ecOK);
    ASSERT_EQ(disp->SWFlowEnable(3072, 1024, kSWFlowTransmit), ecOK);
    // The writer keeps the stream running, in blocks through the output ring,
    // but never more than two blocks ahead of what the machine tool has read:
    // so what can be on its way when the XOFF goes out is bounded by the test
    // itself, not by how quickly a loaded machine schedules the pty's work.
    constexpr size_t kBlock = 256;
    constexpr size_t kAhead = 2 * kBlock;
    const std::string out = Pattern(200000, 2);
    std::atomic<size_t> acked{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        size_t done = 0;
        while (!stop && done < out.size()) {
            if (!WaitUntil([&] { return stop || done < acked + kAhead; }, 20s) || stop)
                break;
            uint32_t n = uint32_t(std::min(kBlock, out.size() - done));
            if (disp->PutBlock(out.data() + done, n) == int32_t(n))
                done += n;
            else
                WaitUntil([&] { return stop || disp->OutBuffFree() >= int32_t(n); });
        }
    });
    auto readSome = [&] {
        pollfd p{peer.master(), POLLIN, 0};
        ::poll(&p, 1, 100);
        return peer.readNow();
    };
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::string got;
    while (got.size() < 50000 && std::chrono::steady_clock::now() < deadline) {
        got += readSome();
        acked = got.size();
    }
    ASSERT_GE(got.size(), 50000u);
    // XOFF and a marker behind it: once the marker has reached the dispatcher
    // the tty has taken the XOFF. Until then the machine tool reads nothing
    // more, so the writer cannot get further ahead.
    peer.send("\x13M");
    ASSERT_TRUE(WaitUntil([&] { return disp->CharReady(); }));
    // What still comes is the overrun; the writer goes on filling the ring
    // meanwhile, and all of that must be held.
    std::string overrun;
    const auto window = std::chrono::steady_clock::now() + 300ms;
    while (std::chrono::steady_clock::now() < window) {
        overrun += readSome();
        acked = got.size() + overrun.size();
    }
    std::printf("bytes after XOFF: %zu\n", overrun.size());
    // Without flow control the rest of the stream would come.
    EXPECT_LE(overrun.size(), kAhead);
    EXPECT_TRUE(WaitUntil([&] { return disp->OutBuffUsed() > 0; }));
    EXPECT_TRUE(WaitUntil([&] { return disp->SWFlowState() == kFlowXOutHold; }));
    uint8_t marker = 0;
    EXPECT_EQ(disp->GetChar(marker), ecOK);
    EXPECT_EQ(marker, 'M');

    peer.send("\x11");
    got += overrun;
    while (got.size() < out.size() && std::chrono::steady_clock::now() < deadline) {
        got += readSome();
        acked = got.size();
    }
    stop = true;
    writer.join();
    EXPECT_EQ(got, out);
}

TEST_F(PtyDispatcher, WithXonXoffOnlyAFewCharactersGoAheadOfTheLine) {
    // A pty carries a write across at once, so whatever is written ahead of
    // the line's pace would all still reach a control after its XOFF. At
    // 9600 bit/s the machine tool can have at most what the line carried
    // since the first byte, and a few characters more.
    ASSERT_EQ(disp->ChangeBaud(9600), ecOK);
    ASSERT_EQ(disp->SWFlowEnable(3072, 1024, kSWFlowTransmit), ecOK);
    const std::string out = Pattern(2000, 5);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(disp->PutBlock(out.data(), uint32_t(out.size())), int32_t(out.size()));
    std::string got;
    for (int look = 0; look < 10; ++look) {
        pollfd p{peer.master(), POLLIN, 0};
        ::poll(&p, 1, 30);
        got += peer.readNow();
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const auto carried = size_t(
            std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() * 960 / 1000000);
        ASSERT_LE(got.size(), carried + platform::PosixTty::kAheadChars) << "look " << look;
    }
    EXPECT_FALSE(got.empty());
    got += peer.receive(out.size() - got.size(), 10s);
    EXPECT_EQ(got, out);
}

TEST_F(PtyDispatcher, ClosingLetsWhatWasWrittenGoToTheLine) {
    // The machine tool reads nothing for now: the pty fills, then the output
    // ring. A close must neither discard the ring nor purge the device: the
    // last block (a program's end, a Stop string) still goes out.
    std::string out;
    for (int block = 0;; ++block) {
        ASSERT_LT(block, 1000) << "the pty never filled";
        const std::string b = Pattern(1000, uint32_t(block));
        if (disp->PutBlock(b.data(), 1000) == 1000) {
            out += b;
            continue;
        }
        // No room: once that lasts, the pty is full and the ring holds the rest.
        if (!WaitUntil([&] { return disp->OutBuffFree() >= 1000; }, 300ms))
            break;
    }
    ASSERT_GE(disp->OutBuffUsed(), 3000);
    const std::string last = "M30\n%\n\x14";
    ASSERT_EQ(disp->PutString(last), int32_t(last.size()));
    out += last;
    std::thread closer([&] { disp->DonePort(); });
    std::string got = peer.receive(out.size(), 20s);
    closer.join();
    EXPECT_EQ(got.size(), out.size());
    EXPECT_TRUE(got == out);
}

TEST_F(PtyDispatcher, OurXoffWhenTheInputBacksUp) {
    ASSERT_EQ(disp->SWFlowEnable(3000, 500, kSWFlowReceive), ecOK);
    // Fill the dispatch buffer, then 3000 more wait in the kernel.
    peer.send(Pattern(8192 + 3000));
    ASSERT_TRUE(WaitUntil([&] { return disp->SWFlowState() == kFlowXInHold; }));
    EXPECT_EQ(peer.receive(1), "\x13");
    ASSERT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 8192; }));
    std::string drain(8192, '\0');
    ASSERT_EQ(disp->GetBlock(drain.data(), 8192), 8192);
    ASSERT_TRUE(WaitUntil([&] { return disp->SWFlowState() == kFlowOn; }));
    EXPECT_EQ(peer.receive(1), "\x11");
}

TEST_F(PtyDispatcher, ClosingWhileOurXoffHoldsThePeerReleasesIt) {
    ASSERT_EQ(disp->SWFlowEnable(3000, 500, kSWFlowReceive), ecOK);
    peer.send(Pattern(8192 + 3000));
    ASSERT_TRUE(WaitUntil([&] { return disp->SWFlowState() == kFlowXInHold; }));
    EXPECT_EQ(peer.receive(1), "\x13");
    // Nobody reads any more: the transfer was stopped. The machine tool must
    // not be left waiting for an XON.
    EXPECT_EQ(disp->DonePort(), ecOK);
    EXPECT_EQ(peer.receive(1), "\x11");
}

// A pty has no modem lines: these give it some, the peer's driven by the test.
class TestLines final : public platform::ModemControl {
public:
    std::atomic<int> bits{0};
    int get(int, int& b) override {
        b = bits;
        return 0;
    }
    int set(int, int b) override {
        bits |= b;
        return 0;
    }
    int clear(int, int b) override {
        bits &= ~b;
        return 0;
    }
    bool on(int line) const { return (bits & line) != 0; }
};

// A dispatcher on a pty whose tty has the lines above.
struct LinedPty {
    LinedPty()
        : disp(nullptr,
               [this](const std::string&) { return std::make_unique<platform::PosixTty>(lines); }) {
    }
    int32_t open() {
        return disp.InitPort(peer.path(), 19200, 0, 8, 1, 4096, 4096, kOptionDTR | kOptionRTS);
    }
    // Fills the dispatch buffer and 3000 bytes more, then reads it all.
    void backUpInputThen(const std::function<void()>& whileFull) {
        peer.send(Pattern(8192 + 3000));
        ASSERT_TRUE(WaitUntil([&] { return disp.InBuffUsed() == 8192; }));
        whileFull();
        std::string drain(8192, '\0');
        ASSERT_EQ(disp.GetBlock(drain.data(), 8192), 8192);
    }

    PtyPeer peer;
    std::shared_ptr<TestLines> lines = std::make_shared<TestLines>();
    TLinuxDispatcher disp;
};

TEST(PtyHardwareFlow, DtrDsrFlowAndRequireDsrWorkOnATty) {
    LinedPty l;
    ASSERT_EQ(l.open(), ecOK);
    TLinuxDispatcher& disp = l.disp;
    TestLines& lines = *l.lines;
    EXPECT_EQ(disp.HWFlowOptions(400, 2500, kHWFlowRequireDSR), ecBadArgument);
    EXPECT_EQ(disp.HWFlowOptions(5000, 100, kHWFlowRequireDSR), ecBadArgument);
    ASSERT_EQ(disp.HWFlowOptions(3000, 400, kHWFlowUseDTR | kHWFlowRequireDSR), ecOK);
    EXPECT_TRUE(lines.on(TIOCM_DTR));
    EXPECT_EQ(disp.SetDtr(false), 1); // driven by flow control: nothing done

    // DSR low: our output waits, and the flow state says why.
    EXPECT_EQ(disp.HWFlowState(), kFlowDsrHold);
    ASSERT_EQ(disp.PutString("N10 G01"), 7);
    EXPECT_EQ(l.peer.receiveFor(200ms), "");
    lines.bits |= TIOCM_DSR;
    EXPECT_EQ(l.peer.receive(7), "N10 G01");
    EXPECT_EQ(disp.HWFlowState(), kFlowOn);

    // Input backing up drops DTR; once read, DTR rises again.
    l.backUpInputThen([&] { EXPECT_TRUE(WaitUntil([&] { return !lines.on(TIOCM_DTR); })); });
    EXPECT_TRUE(WaitUntil([&] { return lines.on(TIOCM_DTR); }));
}

TEST(PtyHardwareFlow, RtsFlowHoldsNothingOnCtsUnlessCtsIsRequired) {
    LinedPty l;
    ASSERT_EQ(l.open(), ecOK);
    TLinuxDispatcher& disp = l.disp;
    TestLines& lines = *l.lines;
    ASSERT_EQ(disp.HWFlowOptions(3000, 400, kHWFlowUseRTS), ecOK);
    termios t{};
    tcgetattr(l.peer.slave(), &t);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(lines.on(TIOCM_RTS));
    // CTS is low, and nothing holds our output for it.
    ASSERT_EQ(disp.PutString("N20"), 3);
    EXPECT_EQ(l.peer.receive(3), "N20");
    EXPECT_EQ(disp.HWFlowState(), kFlowOn);
    l.backUpInputThen([&] { EXPECT_TRUE(WaitUntil([&] { return !lines.on(TIOCM_RTS); })); });
    EXPECT_TRUE(WaitUntil([&] { return lines.on(TIOCM_RTS); }));

    // Required, CTS is the kernel's to watch, and its hold is told.
    ASSERT_EQ(disp.HWFlowOptions(3000, 400, kHWFlowUseRTS | kHWFlowRequireCTS), ecOK);
    tcgetattr(l.peer.slave(), &t);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(disp.HWFlowState(), kFlowCtsHold);
    EXPECT_EQ(disp.SetRts(false), 1); // driven by flow control: nothing done

    // RS-485 where the driver cannot: refused, not stored and ignored.
    ASSERT_EQ(disp.HWFlowOptions(0, 0, 0), ecOK);
    EXPECT_EQ(disp.SetRS485Mode(true), ecNotSupported);
    EXPECT_EQ(disp.SetRS485Mode(false), ecOK);
    EXPECT_EQ(disp.SetRts(false), ecOK);
    EXPECT_FALSE(lines.on(TIOCM_RTS));
}

// A tty that counts the input waits that leave it unwatched, and whose first read with bytes
// waiting runs a hook first: the moment at which another thread's flush can meet a read already
// under way.
class WatchedTty final : public platform::Device {
public:
    // Input waits that do not watch the tty, only the wake-up and the tick.
    std::atomic<long> tickOnlyWaits{0};

    void arm(std::function<void()> hook) {
        std::lock_guard<std::mutex> lk(m_);
        hook_ = std::move(hook);
    }
    int open(const std::string& path) override { return tty_.open(path); }
    void close() override { tty_.close(); }
    bool isOpen() const override { return tty_.isOpen(); }
    int setQueueSizes(uint32_t in, uint32_t out) override { return tty_.setQueueSizes(in, out); }
    int getLineSettings(platform::LineSettings& s) override { return tty_.getLineSettings(s); }
    int setLineSettings(const platform::LineSettings& s) override {
        return tty_.setLineSettings(s);
    }
    long read(uint8_t* buf, size_t count) override {
        std::function<void()> hook;
        int waiting = 0;
        if (::ioctl(tty_.fd(), FIONREAD, &waiting) == 0 && waiting > 0) {
            std::lock_guard<std::mutex> lk(m_);
            hook.swap(hook_);
        }
        if (hook)
            hook();
        return tty_.read(buf, count);
    }
    long write(const uint8_t* buf, size_t count) override { return tty_.write(buf, count); }
    platform::WaitResult waitInput(bool wantData, int timeoutMs) override {
        if (!wantData)
            ++tickOnlyWaits;
        return tty_.waitInput(wantData, timeoutMs);
    }
    platform::WaitResult waitOutput(int timeoutMs) override { return tty_.waitOutput(timeoutMs); }
    void wakeInput() override { tty_.wakeInput(); }
    void wakeOutput() override { tty_.wakeOutput(); }
    uint8_t modemLines() override { return tty_.modemLines(); }
    bool hasModemLines() override { return tty_.hasModemLines(); }
    int setDtr(bool on) override { return tty_.setDtr(on); }
    int setRts(bool on) override { return tty_.setRts(on); }
    int setBreak(bool on) override { return tty_.setBreak(on); }
    int setRs485(bool on) override { return tty_.setRs485(on); }
    int purge(unsigned which) override { return tty_.purge(which); }
    platform::DeviceStatus status() override { return tty_.status(); }
    uint32_t outputQueued() override { return tty_.outputQueued(); }

private:
    platform::PosixTty tty_;
    std::mutex m_;
    std::function<void()> hook_;
};

// A dispatcher opened on a pty through a watched device.
struct WatchedLine {
    WatchedLine()
        : disp(nullptr, [this](const std::string&) {
              auto t = std::make_unique<WatchedTty>();
              tty = t.get();
              return t;
          }) {}
    int32_t open() {
        return disp.InitPort(peer.path(), 19200, 0, 8, 1, 4096, 4096, kOptionDTR | kOptionRTS);
    }

    PtyPeer peer;
    WatchedTty* tty = nullptr;
    TLinuxDispatcher disp;
};

TEST(PtyFlush, AnAnswerArrivingAfterAFlushIsKeptThoughAReadWasUnderWay) {
    WatchedLine line;
    ASSERT_EQ(line.open(), ecOK);
    PtyPeer& peer = line.peer;
    WatchedTty* tty = line.tty;
    TLinuxDispatcher& disp = line.disp;
    // The com thread is about to read stale bytes when the program flushes
    // its input and the machine tool answers at once (an Xmodem sender's EOT
    // and the receiver's ACK). The flush may come before or after that read,
    // but the answer, sent after the flush, must be kept.
    std::atomic<bool> answered{false}, hookDone{false};
    std::thread flusher;
    tty->arm([&] {
        flusher = std::thread([&] {
            disp.FlushInBuffer();
            peer.send("ACK");
            answered = true;
        });
        // Give the flush and the answer every chance to overtake this read.
        WaitUntil([&] { return answered && peer.slaveInQueue() >= 3; }, 300ms);
        hookDone = true;
    });
    peer.send("stale");
    ASSERT_TRUE(WaitUntil([&] { return hookDone && answered; }));
    flusher.join();
    ASSERT_TRUE(WaitUntil([&] { return disp.InBuffUsed() >= 3; }));
    std::string got(size_t(disp.InBuffUsed()), '\0');
    ASSERT_EQ(disp.GetBlock(got.data(), uint32_t(got.size())), int32_t(got.size()));
    EXPECT_EQ(got, "ACK");
}

TEST(PtyHangUp, AHungUpDeviceDoesNotKeepTheComThreadSpinning) {
    WatchedLine line;
    ASSERT_EQ(line.open(), ecOK);
    PtyPeer& peer = line.peer;
    WatchedTty* tty = line.tty;
    TLinuxDispatcher& disp = line.disp;
    EXPECT_EQ(tty->tickOnlyWaits, 0);
    // The machine tool's side goes away, as an unplugged adapter does: every
    // wait on the tty now ends at once, without bytes. The com thread must
    // stop watching it and keep to its 50 ms tick instead of spinning.
    peer.hangUp();
    EXPECT_TRUE(WaitUntil([&] { return tty->tickOnlyWaits > 0; }));
    EXPECT_EQ(disp.DonePort(), ecOK);
}

TEST(PtyHangUp, PutsAfterAFailedWriteAreRefusedUntilTheNextOpen) {
    PtyPeer peer;
    TLinuxDispatcher disp(nullptr);
    ASSERT_EQ(disp.InitPort(peer.path(), 19200, 0, 8, 1, 4096, 4096, kOptionDTR | kOptionRTS),
              ecOK);
    // The line goes away in the middle of a program: what the writer had
    // is lost, and a sender must hear of it instead of carrying on as if
    // the rest reached the machine tool.
    peer.hangUp();
    const std::string block = "N10 G01 X1.5\r\n";
    EXPECT_TRUE(WaitUntil(
        [&] { return disp.PutBlock(block.data(), uint32_t(block.size())) == ecLineLost; }));
    EXPECT_EQ(disp.PutString("%"), ecLineLost);
    EXPECT_EQ(disp.LineFailure(), ecLineLost);
    // Whatever touches the lost line says so, never "no such file".
    EXPECT_EQ(disp.SWFlowDisable(), ecLineLost);
    EXPECT_EQ(disp.SetLine(4800, 0, 1, 8), ecLineLost);
    EXPECT_EQ(disp.DonePort(), ecOK);

    PtyPeer again;
    ASSERT_EQ(disp.InitPort(again.path(), 19200, 0, 8, 1, 4096, 4096, kOptionDTR | kOptionRTS),
              ecOK);
    EXPECT_EQ(disp.PutString("%"), 1);
    EXPECT_EQ(again.receive(1), "%");
    EXPECT_EQ(disp.LineFailure(), ecOK);
    EXPECT_EQ(disp.DonePort(), ecOK);
}

TEST(PtyHangUp, ALineLostWhileOnlyReadingIsKnownAtOnce) {
    PtyPeer peer;
    TLinuxDispatcher disp(nullptr);
    ASSERT_EQ(disp.InitPort(peer.path(), 19200, 0, 8, 1, 4096, 4096, kOptionDTR | kOptionRTS),
              ecOK);
    peer.send("N1");
    ASSERT_TRUE(WaitUntil([&] { return disp.InBuffUsed() == 2; }));
    EXPECT_EQ(disp.LineFailure(), ecOK);
    // An upload only listens: the line's loss must show without a write.
    peer.hangUp();
    EXPECT_TRUE(WaitUntil([&] { return disp.LineFailure() == ecLineLost; }));
    EXPECT_EQ(disp.InBuffUsed(), 2); // what came before is still there to read
    EXPECT_EQ(disp.PutString("%"), ecLineLost);
    EXPECT_EQ(disp.DonePort(), ecOK);
}

} // namespace
} // namespace vorl
