// TComPort on real lines: a pty pair whose master side plays the machine tool
// (through VORL_COM<n>), and the simulated device where a pty cannot show it.
#include "serial/com_port.h"

#include "platform/device.h"
#include "platform/simulated_device.h"
#include "serial/dispatcher.h"
#include "serial_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vorl {
namespace {

using namespace std::chrono_literals;
using test::PtyPeer;

class ComPortLine : public ::testing::Test {
protected:
    static constexpr int kCom = 31;

    void SetUp() override {
        ::setenv(("VORL_COM" + std::to_string(kCom)).c_str(), peer.path().c_str(), 1);
        port = std::make_unique<TComPort>(delivery);
        port->SetComNumber(kCom);
        port->SetAutoOpen(false);
    }
    void TearDown() override {
        port.reset();
        delivery->pump();
    }

    // Runs the owning thread's notices until `done` holds (5 s at most).
    bool pumpUntil(const std::function<bool()>& done) { return delivery->pumpUntil(done, 5000ms); }

    PtyPeer peer;
    std::shared_ptr<LoopDelivery> delivery = std::make_shared<LoopDelivery>();
    std::unique_ptr<TComPort> port;
};

TEST_F(ComPortLine, OpensSendsReceivesAndClosesAgain) {
    port->SetOpen(true);
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(port->PortState(), psOpen);
    EXPECT_EQ(port->DevicePath(), peer.path());

    port->PutString("%\r\nG01 X1\r\n");
    EXPECT_EQ(peer.receive(11), "%\r\nG01 X1\r\n");

    std::string got;
    port->OnTriggerAvail = [&](TComPort& cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) {
            got += cp.GetChar();
        }
    };
    peer.send("READY\r");
    ASSERT_TRUE(pumpUntil([&] { return got.size() >= 6; }));
    EXPECT_EQ(got, "READY\r");
    EXPECT_EQ(port->GetInBuffUsed(), 0u);
    EXPECT_THROW(port->GetChar(), EBufferIsEmpty);

    // The notice that brought READY may still be ending on the dispatcher's
    // side; a close meanwhile is finished when it has.
    port->SetOpen(false);
    ASSERT_TRUE(pumpUntil([&] { return port->PortState() == psClosed; }));
    EXPECT_EQ(port->GetInBuffFree(), 8192u);
    // Closed means free: the device opens again.
    port->SetOpen(true);
    EXPECT_EQ(port->PortState(), psOpen);
}

TEST_F(ComPortLine, AutoOpenOpensOnFirstUseAndItsAbsenceRefuses) {
    EXPECT_THROW(port->PutString("x"), ECommNotOpen);
    EXPECT_EQ(port->PortState(), psClosed);

    port->SetAutoOpen(true);
    port->PutString("x");
    EXPECT_EQ(port->PortState(), psOpen);
    EXPECT_EQ(peer.receive(1), "x");
}

TEST_F(ComPortLine, ASecondOpenerOfTheSameDeviceIsRefused) {
    port->SetOpen(true);
    TComPort other(delivery);
    other.SetComNumber(kCom);
    try {
        other.SetOpen(true);
        ADD_FAILURE() << "second open did not raise";
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(e.ErrorCode, -2008);
        EXPECT_NE(std::string(e.what()).find(peer.path()), std::string::npos) << e.what();
    }
    EXPECT_EQ(other.PortState(), psClosed);
    EXPECT_FALSE(other.Open());
    // The holder is unaffected, and the port list shows the device as held.
    port->PutString("ok");
    EXPECT_EQ(peer.receive(2), "ok");
    const auto ports = AvailableComPorts(kCom, kCom);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_TRUE(ports[0].inUse);
    EXPECT_EQ(ports[0].path, peer.path());
}

TEST_F(ComPortLine, AMissingDeviceIsBadIdNamingThePath) {
    ::setenv("VORL_COM42", "/nonexistent/vorl-port-42", 1);
    port->SetComNumber(42);
    try {
        port->SetOpen(true);
        ADD_FAILURE() << "open did not raise";
    } catch (const EBadId& e) {
        EXPECT_EQ(e.ErrorCode, -2001);
        const std::string what = e.what();
        EXPECT_EQ(what.rfind("ie_BadId - Specified comport doesn't exist", 0), 0u) << what;
        EXPECT_NE(what.find("/nonexistent/vorl-port-42"), std::string::npos) << what;
    }
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(port->PortState(), psClosed);
    EXPECT_TRUE(AvailableComPorts(42, 42).empty());
}

TEST_F(ComPortLine, NoticesArriveOnTheOwningThreadInOrder) {
    port->SetOpen(true);
    const uint16_t ok = port->AddDataTrigger("OK", false);
    const auto owner = std::this_thread::get_id();
    std::vector<std::string> events;
    bool elsewhere = false;
    auto note = [&](std::string e) {
        elsewhere |= std::this_thread::get_id() != owner;
        events.push_back(std::move(e));
    };
    port->OnTrigger = [&](TComPort&, uint16_t msg, uint16_t, uint16_t data) {
        note("trigger " + std::to_string(msg - kNoticeTriggerAvail + 1) + "/" +
             std::to_string(data));
    };
    port->OnTriggerAvail = [&](TComPort& cp, uint16_t count) {
        note("avail " + std::to_string(count));
        std::string taken(count, '\0');
        cp.GetBlock(taken.data(), count);
    };
    port->OnTriggerData = [&](TComPort& cp, uint16_t handle) {
        note(handle == ok ? "data OK" : "data ?");
        cp.FlushInBuffer();
    };
    peer.send("xyzOK");
    ASSERT_TRUE(pumpUntil([&] { return events.size() >= 4; }));
    EXPECT_FALSE(elsewhere);
    const std::vector<std::string> expected{"trigger 1/3", "avail 3", "trigger 2/2", "data OK"};
    EXPECT_EQ(events, expected);
}

TEST_F(ComPortLine, StatusNoticesRaiseTheEventOfTheirKind) {
    port->SetOpen(true);
    port->SetTriggerLength(0);
    const uint16_t free = port->AddStatusTrigger(stOutBuffFree);
    const uint16_t sent = port->AddStatusTrigger(stOutSent);
    std::vector<std::string> events;
    port->OnTriggerStatus = [&](TComPort&, uint16_t h) {
        events.push_back(h == free ? "status free" : h == sent ? "status sent" : "status ?");
    };
    port->OnTriggerOutbuffFree = [&](TComPort&) { events.push_back("outbuff free"); };
    port->OnTriggerOutSent = [&](TComPort&) { events.push_back("out sent"); };
    port->OnTriggerOutbuffUsed = [&](TComPort&) { events.push_back("outbuff used"); };
    port->OnTriggerModemStatus = [&](TComPort&) { events.push_back("modem"); };

    port->SetStatusTrigger(free, 0, true);
    ASSERT_TRUE(pumpUntil([&] { return events.size() >= 2; }));
    port->SetStatusTrigger(sent, 0, true);
    port->PutString("%");
    ASSERT_TRUE(pumpUntil([&] { return events.size() >= 4; }));
    EXPECT_EQ(peer.receive(1), "%");
    const std::vector<std::string> expected{"status free", "outbuff free", "status sent",
                                            "out sent"};
    EXPECT_EQ(events, expected);
}

TEST_F(ComPortLine, ADataTriggerFiresWithItsHandleAfterCloseAndReopen) {
    port->SetOpen(true);
    const uint16_t handle = port->AddDataTrigger("READY", true);
    port->SetTriggerLength(0);
    port->SetOpen(false);
    port->SetOpen(true);
    // A trigger added after the reopen never takes a restored one's handle:
    // removing it leaves the restored one in place.
    const uint16_t added = port->AddDataTrigger("%", false);
    EXPECT_NE(added, handle);
    port->RemoveTrigger(added);

    std::vector<uint16_t> fired;
    port->OnTriggerData = [&](TComPort&, uint16_t h) { fired.push_back(h); };
    peer.send("%ready%");
    ASSERT_TRUE(pumpUntil([&] { return !fired.empty(); }));
    EXPECT_EQ(fired, std::vector<uint16_t>{handle});
    // The length trigger was saved switched off, and stays so.
    EXPECT_EQ(port->TriggerLength(), 0u);
}

TEST_F(ComPortLine, RS485ModeTheDeviceCannotDoIsRefusedNamingTheDevice) {
    port->SetOpen(true);
    try {
        port->SetRS485Mode(true);
        ADD_FAILURE() << "RS-485 mode taken by a pty";
    } catch (const ECommException& e) {
        EXPECT_EQ(e.ErrorCode, ecNotSupported);
        EXPECT_NE(std::string(e.what()).find(peer.path()), std::string::npos) << e.what();
    }
    EXPECT_FALSE(port->RS485Mode());
    EXPECT_TRUE(port->Open());
}

TEST_F(ComPortLine, ATriggerRemovedWhileClosedDoesNotComeBack) {
    port->SetOpen(true);
    const uint16_t gone = port->AddDataTrigger("A", false);
    const uint16_t kept = port->AddDataTrigger("B", false);
    port->SetOpen(false);
    port->RemoveTrigger(gone);
    port->SetOpen(true);

    std::vector<uint16_t> fired;
    port->OnTriggerData = [&](TComPort&, uint16_t h) { fired.push_back(h); };
    peer.send("AB");
    ASSERT_TRUE(pumpUntil([&] { return !fired.empty(); }));
    EXPECT_EQ(fired, std::vector<uint16_t>{kept});
}

TEST_F(ComPortLine, UsersAreToldOfOpenAndCloseLastRegisteredFirst) {
    std::vector<std::string> told;
    int a = 0, b = 0;
    port->RegisterUserCallback(&a, [&](TComPort& cp, bool opening) {
        told.push_back(std::string("a ") + (opening ? "open " : "close ") +
                       std::to_string(cp.PortState()));
    });
    port->RegisterUserCallback(&b, [&](TComPort&, bool opening) {
        told.push_back(std::string("b ") + (opening ? "open" : "close"));
    });
    port->OnPortOpen = [&](TComPort&) { told.push_back("event open"); };
    port->OnPortClose = [&](TComPort&) { told.push_back("event close"); };
    port->SetOpen(true);
    port->SetOpen(false);
    const std::vector<std::string> expected{
        "b open",  "a open " + std::to_string(psOpen),          "event open",
        "b close", "a close " + std::to_string(psShuttingDown), "event close"};
    EXPECT_EQ(told, expected);

    told.clear();
    port->DeregisterUserCallback(&b);
    port->SetOpen(true);
    EXPECT_EQ(told.front(), "a open " + std::to_string(psOpen));
    EXPECT_EQ(told.size(), 2u);
    port.reset(); // its close still tells `a`, which writes to `told`
}

TEST_F(ComPortLine, ClosedFromItsOwnNoticeTheCloseFinishesAfterwards) {
    port->SetOpen(true);
    const uint16_t handle = port->AddDataTrigger("M30", false);
    int fired = 0;
    TPortState inside = psOpen;
    port->OnTriggerData = [&](TComPort& cp, uint16_t h) {
        EXPECT_EQ(h, handle);
        ++fired;
        cp.SetOpen(false);
        inside = cp.PortState();
        cp.PutString("ignored while shutting down");
    };
    peer.send("M30\r");
    ASSERT_TRUE(pumpUntil([&] { return port->PortState() == psClosed; }));
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(inside, psShuttingDown);
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(peer.receiveFor(50ms), "");

    // Reopening works and the trigger is still there.
    port->SetOpen(true);
    port->OnTriggerData = [&](TComPort&, uint16_t) { ++fired; };
    peer.send("M30\r");
    ASSERT_TRUE(pumpUntil([&] { return fired == 2; }));
}

TEST_F(ComPortLine, AnOpenAskedForWhileShuttingDownFollowsTheClose) {
    port->SetOpen(true);
    port->AddDataTrigger("%", false);
    int fired = 0;
    port->OnTriggerData = [&](TComPort& cp, uint16_t) {
        if (++fired == 1) {
            cp.SetOpen(false);
            cp.SetOpen(true); // remembered until the close is done
            EXPECT_EQ(cp.PortState(), psShuttingDown);
        }
    };
    peer.send("%");
    ASSERT_TRUE(pumpUntil([&] { return fired == 1 && port->PortState() == psOpen; }));
    EXPECT_TRUE(port->Open());
    peer.send("%");
    ASSERT_TRUE(pumpUntil([&] { return fired == 2; }));
}

TEST_F(ComPortLine, APortDestroyedInItsOwnNoticeLeavesNothingBehind) {
    port->SetOpen(true);
    port->AddDataTrigger("!", false);
    bool fired = false;
    port->OnTriggerData = [&](TComPort&, uint16_t) {
        fired = true;
        port.reset();
    };
    peer.send("!");
    ASSERT_TRUE(pumpUntil([&] { return fired; }));
    // The dispatcher ends without the component; the device comes free.
    ASSERT_TRUE(pumpUntil([&] { return !AvailableComPorts(kCom, kCom).at(0).inUse; }));
}

TEST_F(ComPortLine, ANewPortNumberReopensThereWithTheTriggers) {
    PtyPeer second;
    ::setenv("VORL_COM35", second.path().c_str(), 1);
    port->SetOpen(true);
    const uint16_t handle = port->AddDataTrigger("END", false);
    port->SetComNumber(35);
    EXPECT_EQ(port->PortState(), psOpen);
    EXPECT_EQ(port->DevicePath(), second.path());

    std::vector<uint16_t> fired;
    port->OnTriggerData = [&](TComPort&, uint16_t h) { fired.push_back(h); };
    second.send("END");
    ASSERT_TRUE(pumpUntil([&] { return !fired.empty(); }));
    EXPECT_EQ(fired, std::vector<uint16_t>{handle});
    // The first device is free again.
    EXPECT_FALSE(AvailableComPorts(kCom, kCom).at(0).inUse);
}

TEST_F(ComPortLine, ARunningTraceIsWrittenWhenThePortCloses) {
    const std::string file = ::testing::TempDir() + "vorl-comport-trace.trc";
    std::remove(file.c_str());
    port->SetTraceName(file);
    port->SetTracing(tlOn); // stored while closed, started by the open
    port->SetOpen(true);
    EXPECT_EQ(port->Tracing(), tlOn);
    port->PutString("G28");
    EXPECT_EQ(peer.receive(3), "G28");
    port->SetOpen(false);
    EXPECT_EQ(port->Tracing(), tlOff);

    std::ifstream in(file);
    const std::string dump((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(dump.find("Transmit: "), std::string::npos) << dump;
    EXPECT_NE(dump.find("G28"), std::string::npos) << dump;
    std::remove(file.c_str());
}

TEST(ComPortPermission, ADeviceThisUserMayNotOpenSaysWhyAndWhere) {
    PtyPeer peer;
    ::setenv("VORL_COM34", peer.path().c_str(), 1);
    // Root opens anything: the attempt runs in a child that gives that up.
    ASSERT_EQ(::chmod(peer.path().c_str(), geteuid() == 0 ? 0600 : 0000), 0);
    // Its group may not use it: the message names the real owner and group,
    // never a group guessed for it.
    struct stat st {};
    ASSERT_EQ(::stat(peer.path().c_str(), &st), 0);
    const group* gr = ::getgrgid(st.st_gid);
    const std::string owningGroup = gr != nullptr ? gr->gr_name : std::to_string(st.st_gid);
    auto attempt = [&] {
        if (geteuid() == 0 && ::setresuid(65534, 65534, 65534) != 0) {
            std::_Exit(3);
        }
        TComPort port(std::make_shared<LoopDelivery>());
        port.SetComNumber(34);
        try {
            port.SetOpen(true);
        } catch (const EPortAccessDenied& e) {
            const std::string what = e.what();
            const bool clear =
                what.find("the group '" + owningGroup + "'") != std::string::npos &&
                what.find(peer.path()) != std::string::npos &&
                (owningGroup == "dialout" || what.find("dialout") == std::string::npos);
            std::_Exit(clear && e.ErrorCode == -13 && !port.Open() ? 0 : 1);
        } catch (...) {
            std::_Exit(2);
        }
        std::_Exit(4);
    };
    EXPECT_EXIT(attempt(), ::testing::ExitedWithCode(0), "");
}

// ---- The simulated device: what a pty cannot show -----------------------------

class ComPortSimulated : public ::testing::Test {
protected:
    static constexpr int kCom = 32;

    void SetUp() override {
        ::setenv(("VORL_COM" + std::to_string(kCom)).c_str(), "sim:comport-test", 1);
        port.SetComNumber(kCom);
        port.SetAutoOpen(false);
    }
    void TearDown() override {
        port.SetOpen(false);
        platform::SimulatedLine::Unregister("comport-test");
    }
    bool pumpUntil(const std::function<bool()>& done) { return delivery->pumpUntil(done, 5000ms); }

    std::shared_ptr<platform::SimulatedLine> line =
        platform::SimulatedLine::Register("comport-test");
    std::shared_ptr<LoopDelivery> delivery = std::make_shared<LoopDelivery>();
    TComPort port{delivery};
};

TEST_F(ComPortSimulated, ALineErrorEventTellsTheErrorAndTheBreakApart) {
    port.SetOpen(true);
    const uint16_t status = port.AddStatusTrigger(stLine);
    std::vector<std::pair<uint16_t, bool>> seen;
    port.OnTriggerLineError = [&](TComPort&, uint16_t error, bool lineBreak) {
        seen.emplace_back(error, lineBreak);
    };
    const uint16_t watch = 1 | 2 | 4 | 8; // overrun, parity, framing, break

    port.SetStatusTrigger(status, watch, true);
    line->raiseErrors(platform::kErrBreak);
    ASSERT_TRUE(pumpUntil([&] { return seen.size() == 1; }));
    EXPECT_EQ(seen[0], std::make_pair(uint16_t(0), true));

    port.SetStatusTrigger(status, watch, true);
    line->raiseErrors(platform::kErrFraming | platform::kErrBreak);
    ASSERT_TRUE(pumpUntil([&] { return seen.size() == 2; }));
    EXPECT_EQ(seen[1], std::make_pair(uint16_t(4), true));
    EXPECT_EQ(port.GetLineError(), 0);
}

TEST_F(ComPortSimulated, SettingsOfAnOpenPortReachTheLineAtOnce) {
    port.SetOpen(true);
    EXPECT_TRUE(line->dtr());
    EXPECT_TRUE(line->rts());
    EXPECT_EQ(line->settings().baud, 19200u);

    port.SetBaud(4800);
    port.SetParity(pEven);
    port.SetDataBits(7);
    port.SetDTR(false);
    const auto s = line->settings();
    EXPECT_EQ(s.baud, 4800u);
    EXPECT_EQ(s.parity, 2);
    EXPECT_EQ(s.byteSize, 7);
    EXPECT_FALSE(line->dtr());

    port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    EXPECT_TRUE(line->settings().ctsOutFlow);
    port.SetSWFlowOptions(swfBoth);
    EXPECT_TRUE(line->settings().xonXoffOut);
    EXPECT_TRUE(line->settings().xonXoffIn);
    port.SetSWFlowOptions(swfNone);
    EXPECT_FALSE(line->settings().xonXoffOut);
}

TEST_F(ComPortSimulated, FlowStateShowsWhatHoldsTheOutput) {
    port.SetSWFlowOptions(swfBoth);
    port.SetOpen(true);
    EXPECT_EQ(port.GetFlowState(), fcOn);
    line->peerSend("\x13"); // XOFF from the machine
    port.PutString("N10 G01");
    ASSERT_TRUE(pumpUntil([&] { return port.GetFlowState() == fcXOutHold; }));
    line->peerSend("\x11");
    ASSERT_TRUE(pumpUntil([&] { return port.GetFlowState() == fcOn; }));

    // Hardware flow on but not holding: the XOFF is still what holds us.
    line->setLines(platform::kLineCTS | platform::kLineDSR);
    port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    line->peerSend("\x13");
    port.PutString("N20");
    ASSERT_TRUE(pumpUntil([&] { return port.GetFlowState() == fcXOutHold; }));
    line->peerSend("\x11");

    // CTS dropped: the hardware hold wins.
    line->setLines(platform::kLineDSR);
    port.PutString("N30");
    ASSERT_TRUE(pumpUntil([&] { return port.GetFlowState() == fcCtsHold; }));
    // CTS back: the held output goes out.
    line->setLines(platform::kLineCTS | platform::kLineDSR);
    ASSERT_TRUE(pumpUntil([&] { return port.GetOutBuffUsed() == 0; }));
    EXPECT_EQ(port.GetFlowState(), fcOn);
}

} // namespace
} // namespace vorl
