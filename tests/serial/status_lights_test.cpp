// The status light controller on the simulated line: the triggers it adds,
// the lamps following the line, and the port's own handlers kept working.
#include "serial/status_lights.h"

#include "platform/device.h"
#include "platform/simulated_device.h"
#include "serial/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace vorl {
namespace {

using namespace std::chrono_literals;
using platform::kLineCTS;
using platform::kLineDSR;

struct Lamp final : StatusLamp {
    bool lit = false;
    bool Lit() const override { return lit; }
    void SetLit(bool v) override { lit = v; }
};

class StatusLights : public ::testing::Test {
protected:
    static constexpr int kCom = 33;

    void SetUp() override {
        ::setenv(("VORL_COM" + std::to_string(kCom)).c_str(), "sim:lights-test", 1);
        port.SetComNumber(kCom);
        port.SetAutoOpen(false);
        control.Lights.DSRLight = &dsr;
        control.Lights.RXDLight = &rxd;
        control.Lights.TXDLight = &txd;
    }
    void TearDown() override {
        control.SetComPort(nullptr);
        port.SetOpen(false);
        delivery->pump();
        platform::SimulatedLine::Unregister("lights-test");
    }

    bool pumpUntil(const std::function<bool()>& done) { return delivery->pumpUntil(done, 5000ms); }

    TTriggerSave triggers() {
        TTriggerSave save;
        port.GetDispatcher()->SaveTriggers(save);
        return save;
    }
    static std::vector<TStatusTrigger> ofKind(const TTriggerSave& save, uint32_t kind) {
        std::vector<TStatusTrigger> found;
        for (const auto& t : save.statusTriggers) {
            if (t.kind == kind) {
                found.push_back(t);
            }
        }
        return found;
    }

    std::shared_ptr<platform::SimulatedLine> line =
        platform::SimulatedLine::Register("lights-test");
    std::shared_ptr<LoopDelivery> delivery = std::make_shared<LoopDelivery>();
    TComPort port{delivery};
    Lamp dsr, rxd, txd;
    TSLController control{&port};
};

TEST_F(StatusLights, TriggersAreThoseOfTheAssignedLampsAndGoWithMonitoring) {
    port.SetOpen(true);
    control.SetMonitoring(true);
    TTriggerSave on = triggers();
    const auto modem = ofKind(on, stModem);
    ASSERT_EQ(modem.size(), 1u);
    EXPECT_EQ(modem[0].value >> 8, 0x20) << "DSR only";
    EXPECT_TRUE(modem[0].active);
    ASSERT_EQ(ofKind(on, stOutSent).size(), 1u);
    EXPECT_TRUE(ofKind(on, stOutSent)[0].active);
    EXPECT_TRUE(ofKind(on, stLine).empty());
    EXPECT_EQ(on.timerTriggers.size(), 2u);

    control.SetMonitoring(false);
    TTriggerSave off = triggers();
    EXPECT_TRUE(off.statusTriggers.empty());
    EXPECT_TRUE(off.timerTriggers.empty());

    // Every lamp: all four modem lines watched, a line trigger each for the
    // error and the break lamp, five timers.
    Lamp cts, dcd, ring, error, brk;
    control.Lights.CTSLight = &cts;
    control.Lights.DCDLight = &dcd;
    control.Lights.RINGLight = &ring;
    control.Lights.ERRORLight = &error;
    control.Lights.BREAKLight = &brk;
    control.SetMonitoring(true);
    on = triggers();
    ASSERT_EQ(ofKind(on, stModem).size(), 1u);
    EXPECT_EQ(ofKind(on, stModem)[0].value >> 8, 0x10 | 0x20 | 0x80 | 4);
    const auto lineTriggers = ofKind(on, stLine);
    ASSERT_EQ(lineTriggers.size(), 2u);
    EXPECT_EQ(lineTriggers[0].value,
              platform::kErrOverrun | platform::kErrParity | platform::kErrFraming);
    EXPECT_EQ(lineTriggers[1].value, platform::kErrBreak);
    EXPECT_EQ(on.timerTriggers.size(), 5u);
}

TEST_F(StatusLights, WithoutAPortSwitchingOnRaisesAndAWishForAClosedPortWaitsForTheOpen) {
    TSLController loose;
    try {
        loose.SetMonitoring(true);
        ADD_FAILURE() << "no exception";
    } catch (const EPortNotAssigned& e) {
        EXPECT_EQ(e.ErrorCode, -1005);
        EXPECT_STREQ(e.what(), "ComPort component not assigned");
    }
    loose.SetMonitoring(false);

    line->setLines(kLineDSR);
    control.SetMonitoring(true);
    EXPECT_FALSE(control.Monitoring());
    port.SetOpen(true);
    EXPECT_TRUE(control.Monitoring());
    EXPECT_TRUE(dsr.lit);

    // A wish taken back before the open is forgotten.
    port.SetOpen(false);
    control.SetMonitoring(false);
    port.SetOpen(true);
    EXPECT_FALSE(control.Monitoring());
    EXPECT_TRUE(ofKind(triggers(), stModem).empty());
}

TEST_F(StatusLights, DsrLampFollowsTheLine) {
    line->setLines(kLineDSR);
    port.SetOpen(true);
    control.SetMonitoring(true);
    EXPECT_TRUE(dsr.lit) << "lit from the line at the start";
    line->setLines(0);
    ASSERT_TRUE(pumpUntil([&] { return !dsr.lit; }));
    line->setLines(kLineCTS);
    line->setLines(kLineCTS | kLineDSR);
    ASSERT_TRUE(pumpUntil([&] { return dsr.lit; }));
}

TEST_F(StatusLights, RxLampStaysLitWhileInputWaitsAndGoesOutWhenItIsEmpty) {
    int timerNotices = 0;
    port.OnTriggerTimer = [&](TComPort&, uint16_t) { ++timerNotices; };
    port.SetOpen(true);
    control.SetMonitoring(true);
    EXPECT_FALSE(rxd.lit);

    line->peerSend("%\r\nN10 G01 X1.\r\n");
    ASSERT_TRUE(pumpUntil([&] { return rxd.lit; }));
    // Nobody reads: the receive timer keeps coming back and the lamp stays lit.
    ASSERT_TRUE(pumpUntil([&] { return timerNotices >= 3; }));
    EXPECT_TRUE(rxd.lit);

    char buffer[64];
    EXPECT_EQ(port.GetBlock(buffer, uint16_t(port.GetInBuffUsed())), 16);
    ASSERT_TRUE(pumpUntil([&] { return !rxd.lit; }));
}

TEST_F(StatusLights, TxLampLightsOnOutputSentAndStaysLitWhileOutputIsQueued) {
    port.SetOpen(true);
    control.SetMonitoring(true);
    port.PutString("N10\r\n");
    ASSERT_TRUE(pumpUntil([&] { return txd.lit; }));
    ASSERT_TRUE(pumpUntil([&] { return !txd.lit; }));

    // The line takes 4 bytes and then holds the rest.
    line->setOutputRoom(4);
    port.PutString("N20 G01 X1.\r\n");
    ASSERT_TRUE(pumpUntil([&] { return txd.lit; }));
    ASSERT_TRUE(pumpUntil([&] { return line->outputWaiting() >= 9; }));
    int timerNotices = 0;
    auto chained = port.OnTriggerTimer;
    port.OnTriggerTimer = [&](TComPort& cp, uint16_t h) {
        ++timerNotices;
        chained(cp, h);
    };
    ASSERT_TRUE(pumpUntil([&] { return timerNotices >= 3; }));
    EXPECT_TRUE(txd.lit);
    EXPECT_GT(port.GetOutBuffUsed(), 0u);

    line->setOutputRoom(SIZE_MAX);
    ASSERT_TRUE(pumpUntil([&] { return !txd.lit; }));
    EXPECT_EQ(line->peerTake(), "N10\r\nN20 G01 X1.\r\n");
}

TEST_F(StatusLights, PortHandlersKeepGettingEveryNoticeAndComeBackAfterwards) {
    port.SetOpen(true);
    const uint16_t ctsTrigger = port.AddStatusTrigger(stModem);
    const uint16_t timer = port.AddTimerTrigger();
    std::vector<uint16_t> statusSeen, timerSeen;
    std::string received;
    port.OnTriggerStatus = [&](TComPort&, uint16_t h) { statusSeen.push_back(h); };
    port.OnTriggerTimer = [&](TComPort&, uint16_t h) { timerSeen.push_back(h); };
    port.OnTriggerAvail = [&](TComPort& cp, uint16_t count) {
        for (uint16_t i = 0; i < count; ++i) {
            received += cp.GetChar();
        }
    };
    control.SetMonitoring(true);

    port.SetStatusTrigger(ctsTrigger, kLineCTS, true);
    line->setLines(kLineCTS);
    ASSERT_TRUE(
        pumpUntil([&] { return std::count(statusSeen.begin(), statusSeen.end(), ctsTrigger); }));
    port.PutString("%");
    ASSERT_TRUE(pumpUntil([&] { return txd.lit; }));
    EXPECT_GE(statusSeen.size(), 2u) << "the lamps' own output-sent notice is passed on too";
    line->peerSend("N10\r\n");
    ASSERT_TRUE(pumpUntil([&] { return received == "N10\r\n"; }));
    ASSERT_TRUE(pumpUntil([&] { return !rxd.lit && !txd.lit; }));
    port.SetTimerTrigger(timer, 1, true);
    ASSERT_TRUE(pumpUntil([&] { return std::count(timerSeen.begin(), timerSeen.end(), timer); }));

    // Assigned while monitoring: replaced by the saved one when it stops.
    bool interloper = false;
    port.OnTriggerTimer = [&](TComPort&, uint16_t) { interloper = true; };
    control.SetMonitoring(false);
    timerSeen.clear();
    port.SetTimerTrigger(timer, 1, true);
    ASSERT_TRUE(pumpUntil([&] { return !timerSeen.empty(); }));
    EXPECT_FALSE(interloper);
}

TEST_F(StatusLights, ClosingAndOpeningThePortBringsMonitoringBack) {
    line->setLines(kLineDSR);
    port.SetOpen(true);
    control.SetMonitoring(true);
    ASSERT_TRUE(dsr.lit);

    port.SetOpen(false);
    EXPECT_FALSE(control.Monitoring());
    EXPECT_FALSE(dsr.lit);
    EXPECT_FALSE(port.OnTriggerStatus) << "the port's own (empty) handler is back";

    port.SetOpen(true);
    EXPECT_TRUE(control.Monitoring());
    EXPECT_TRUE(dsr.lit);
    EXPECT_EQ(ofKind(triggers(), stModem).size(), 1u) << "the old triggers did not come back";
    line->setLines(0);
    ASSERT_TRUE(pumpUntil([&] { return !dsr.lit; }));
}

TEST_F(StatusLights, ALampThatGoesAwayLeavesTheLightSet) {
    auto lamp = std::make_unique<Lamp>();
    control.Lights.CTSLight = lamp.get();
    TLightSet copy = control.Lights;
    lamp.reset();
    EXPECT_EQ(control.Lights.CTSLight, nullptr);
    EXPECT_EQ(copy.CTSLight, nullptr);
    EXPECT_EQ(copy.DSRLight, &dsr);
}

} // namespace
} // namespace vorl
