// The dispatcher on the simulated device: modem lines, line errors, break and
// CTS flow, which a pty cannot show.
#include "serial_test_util.h"

#include "platform/simulated_device.h"
#include "serial/dispatcher.h"

#include <gtest/gtest.h>

namespace vorl {
namespace {

using namespace std::chrono_literals;
using platform::SimulatedLine;
using test::Notice;
using test::NoticeLog;
using test::WaitUntil;

class SimDispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        line = SimulatedLine::Register("disp");
        delivery = std::make_shared<LoopDelivery>();
        disp = std::make_unique<TLinuxDispatcher>(this);
        ASSERT_EQ(disp->InitPort("sim:disp", 9600, 0, 8, 1, 4096, 1000, kOptionDTR | kOptionRTS),
                  ecOK);
        disp->RegisterWndTriggerHandler(
            delivery, [this](uint32_t m, uint32_t f, uint32_t s) { log.add(m, f, s); });
        disp->UpdateHandlerFlags(fuEnablePort);
    }
    void TearDown() override {
        disp.reset();
        SimulatedLine::Unregister("disp");
    }
    bool PumpUntilCount(uint32_t msg, size_t n) {
        return delivery->pumpUntil([&] { return log.count(msg) >= n; }, 5000ms);
    }

    std::shared_ptr<SimulatedLine> line;
    std::shared_ptr<LoopDelivery> delivery;
    std::unique_ptr<TLinuxDispatcher> disp;
    NoticeLog log;
};

TEST_F(SimDispatcher, OpenRaisesDtrAndRtsAsAsked) {
    EXPECT_TRUE(line->dtr());
    EXPECT_TRUE(line->rts());
    EXPECT_EQ(disp->SetDtr(false), ecOK);
    EXPECT_FALSE(line->dtr());
    EXPECT_EQ(disp->SetModem(true, false), ecOK);
    EXPECT_TRUE(line->dtr());
    EXPECT_FALSE(line->rts());
    EXPECT_EQ(disp->SetBreak(true), ecOK);
    EXPECT_TRUE(line->breakOn());
    EXPECT_EQ(disp->SendBreak(1, false), ecOK);
    EXPECT_FALSE(line->breakOn());

    TLinuxDispatcher other(nullptr);
    EXPECT_EQ(other.InitPort("sim:disp", 9600, 0, 8, 1, 4096, 4096, 3), -5);
    EXPECT_EQ(other.InitPort("sim:nothing-here", 9600, 0, 8, 1, 4096, 4096, 3), -2);
}

TEST_F(SimDispatcher, ModemLinesAndTheirChangeBits) {
    int32_t modem = disp->AddStatusTrigger(stModem);
    ASSERT_EQ(
        disp->SetStatusTrigger(uint32_t(modem), platform::kLineCTS | platform::kLineDSR, true),
        ecOK);
    line->setLines(platform::kLineCTS | platform::kLineDSR);
    ASSERT_TRUE(PumpUntilCount(kNoticeTriggerStatus, 1));
    EXPECT_EQ(disp->GetModemStatus(), 0x30 | kDeltaCTS | kDeltaDSR);
    EXPECT_EQ(disp->GetModemStatus(), 0x30); // change bits cleared by reading

    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(modem), platform::kLineCTS, true), ecOK);
    line->setLines(platform::kLineDSR | platform::kLineDCD);
    ASSERT_TRUE(PumpUntilCount(kNoticeTriggerStatus, 2));
    EXPECT_TRUE(disp->CheckDeltaCTS());
    EXPECT_FALSE(disp->CheckDeltaCTS());
    EXPECT_FALSE(disp->CheckDeltaDSR());
    EXPECT_TRUE(disp->CheckDCD()); // reading a line clears its change bit
    EXPECT_FALSE(disp->CheckDeltaDCD());
    EXPECT_FALSE(disp->CheckCTS());
    EXPECT_TRUE(disp->CheckDSR());

    // A ring: the change bit on either edge.
    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(modem), platform::kLineRI, true), ecOK);
    line->setLines(platform::kLineDSR | platform::kLineDCD | platform::kLineRI);
    ASSERT_TRUE(PumpUntilCount(kNoticeTriggerStatus, 3));
    EXPECT_TRUE(disp->CheckDeltaRI());
    EXPECT_TRUE(disp->CheckRI());
    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(modem), platform::kLineRI, true), ecOK);
    line->setLines(platform::kLineDSR | platform::kLineDCD);
    ASSERT_TRUE(PumpUntilCount(kNoticeTriggerStatus, 4));
    EXPECT_TRUE(disp->CheckDeltaRI());
    EXPECT_FALSE(disp->CheckDeltaRI());
    EXPECT_FALSE(disp->CheckRI());
}

TEST_F(SimDispatcher, LineErrorsInTheirOrderAndBreakUntilChecked) {
    line->raiseErrors(platform::kErrParity | platform::kErrBreak);
    EXPECT_EQ(disp->GetLineError(), kLeParity);
    EXPECT_EQ(disp->GetLineError(), kLeBreak);
    EXPECT_EQ(disp->GetLineError(), kLeBreak);
    EXPECT_TRUE(disp->CheckLineBreak());
    EXPECT_FALSE(disp->CheckLineBreak());
    EXPECT_EQ(disp->GetLineError(), kLeNone);

    line->raiseErrors(platform::kErrFraming | platform::kErrOverrun | platform::kErrRxOverflow);
    EXPECT_EQ(disp->GetLineError(), kLeBuffer); // one report clears all four kinds
    EXPECT_EQ(disp->GetLineError(), kLeNone);
    line->raiseErrors(platform::kErrFraming | platform::kErrOverrun);
    EXPECT_EQ(disp->GetLineError(), kLeOverrun);
    line->raiseErrors(platform::kErrFraming);
    EXPECT_EQ(disp->GetLineError(), kLeFraming);
}

TEST_F(SimDispatcher, LineStatusTriggerFiresOnABreak) {
    int32_t errs = disp->AddStatusTrigger(stLine);
    int32_t brk = disp->AddStatusTrigger(stLine);
    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(errs), 7, true), ecOK); // overrun, parity, framing
    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(brk), 8, true), ecOK);  // break
    line->raiseErrors(platform::kErrBreak);
    ASSERT_TRUE(PumpUntilCount(kNoticeTriggerStatus, 1));
    EXPECT_EQ(log.all()[0].first, uint32_t(brk));
    EXPECT_TRUE(disp->CheckLineBreak());
    EXPECT_EQ(disp->GetLineError(), kLeNone);

    line->raiseErrors(platform::kErrFraming | platform::kErrBreak);
    ASSERT_TRUE(PumpUntilCount(kNoticeTriggerStatus, 2));
    EXPECT_EQ(log.all()[1].first, uint32_t(errs)); // the break trigger is spent
    EXPECT_TRUE(disp->CheckLineBreak());
    EXPECT_EQ(disp->GetLineError(), kLeFraming);
}

TEST_F(SimDispatcher, CtsFlowHoldsOutputUntilCtsRises) {
    ASSERT_EQ(disp->HWFlowOptions(3000, 400, kHWFlowUseRTS | kHWFlowRequireCTS), ecOK);
    EXPECT_EQ(disp->HWFlowState(), kFlowCtsHold); // CTS is low
    ASSERT_EQ(disp->PutString("N10 G01 X5"), 10);
    EXPECT_TRUE(WaitUntil([&] { return disp->OutBuffUsed() == 10; }));
    EXPECT_EQ(line->peerTake(), "");
    line->setLines(platform::kLineCTS);
    EXPECT_TRUE(WaitUntil([&] { return line->outputWaiting() == 10; }));
    EXPECT_EQ(line->peerTake(), "N10 G01 X5");
    EXPECT_EQ(disp->HWFlowState(), kFlowOn);
    EXPECT_EQ(disp->SetRts(false), 1);

    // DSR flow where the device has it.
    ASSERT_EQ(disp->HWFlowOptions(3000, 400, kHWFlowRequireDSR | kHWFlowUseDTR), ecOK);
    EXPECT_EQ(disp->HWFlowState(), kFlowDsrHold);
    // CTS required without RTS flow: a hold is a hold, and is told.
    line->setLines(0);
    ASSERT_EQ(disp->HWFlowOptions(3000, 400, kHWFlowRequireCTS), ecOK);
    EXPECT_EQ(disp->HWFlowState(), kFlowCtsHold);
    ASSERT_EQ(disp->HWFlowOptions(0, 0, 0), ecOK);
    EXPECT_EQ(disp->HWFlowState(), kFlowOff);

    // RS-485 where the device has it: the driver switches RTS, not we.
    ASSERT_EQ(disp->SetRS485Mode(true), ecOK);
    EXPECT_TRUE(line->rs485());
    EXPECT_EQ(disp->SetRts(true), 1);
    ASSERT_EQ(disp->SetRS485Mode(false), ecOK);
    EXPECT_FALSE(line->rs485());
}

TEST_F(SimDispatcher, OutputRingFullAndEmptyRules) {
    // Five data bits and one stop bit, applied once: the same again is no
    // change, so it does not wait for output the line holds back.
    ASSERT_EQ(disp->SetLine(9600, 0, 1, 5), ecOK);
    line->setOutputRoom(0); // the device takes nothing: the ring keeps it all
    ASSERT_EQ(disp->PutChar('x'), 1);
    auto t5 = std::chrono::steady_clock::now();
    EXPECT_EQ(disp->SetLine(9600, 0, 1, 5), ecOK);
    EXPECT_EQ(disp->SetLine(0, 5, 3, 9), ecOK);
    EXPECT_LT(std::chrono::steady_clock::now() - t5, 2s);
    EXPECT_EQ(line->settings().stopBits, platform::kOneStopBit);
    ASSERT_EQ(disp->FlushOutBuffer(), ecOK);
    ASSERT_EQ(disp->SetLine(9600, 0, 1, 8), ecOK);

    EXPECT_EQ(disp->PutBlock("x", 0), 0);
    EXPECT_EQ(disp->OutBuffFree(), 1000);
    std::string block(1000, 'a');
    ASSERT_EQ(disp->PutBlock(block.data(), 999), 999);
    EXPECT_EQ(disp->OutBuffFree(), 1);
    EXPECT_EQ(disp->PutBlock(block.data(), 2), ecOutputBufferTooSmall);
    ASSERT_EQ(disp->PutChar('b'), 1);
    EXPECT_EQ(disp->OutBuffUsed(), 1000);
    EXPECT_EQ(disp->OutBuffFree(), 0);
    EXPECT_EQ(disp->PutChar('c'), ecOutputBufferTooSmall);

    // Line settings unchanged: no wait for the pending output.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(disp->SetLine(9600, 0, 1, 8), ecOK);
    EXPECT_EQ(disp->SetLine(0, 5, 3, 9), ecOK);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);

    // The room opens a bit at a time: the ring drains across its wrap.
    line->setOutputRoom(300);
    ASSERT_TRUE(WaitUntil([&] { return disp->OutBuffUsed() == 700; }));
    std::string more(300, 'z');
    ASSERT_EQ(disp->PutBlock(more.data(), 300), 300);
    line->setOutputRoom(SIZE_MAX);
    ASSERT_TRUE(WaitUntil([&] { return disp->OutBuffUsed() == 0; }));
    EXPECT_EQ(line->peerTake(), std::string(999, 'a') + "b" + more);

    // A flush drops what the device has not taken.
    line->setOutputRoom(0);
    ASSERT_EQ(disp->PutString("dropped"), 7);
    EXPECT_EQ(disp->FlushOutBuffer(), ecOK);
    EXPECT_EQ(disp->OutBuffUsed(), 0);
    line->setOutputRoom(SIZE_MAX);
    ASSERT_EQ(disp->PutString("kept"), 4);
    ASSERT_TRUE(WaitUntil([&] { return line->outputWaiting() == 4; }));
    EXPECT_EQ(line->peerTake(), "kept");
}

TEST_F(SimDispatcher, XoffFromThePeerIsTheFlowStateTheDownloadShows) {
    ASSERT_EQ(disp->SWFlowEnable(3072, 1024, kSWFlowTransmit | kSWFlowReceive), ecOK);
    line->peerSend("\x13");
    ASSERT_EQ(disp->PutString("%"), 1);
    EXPECT_TRUE(WaitUntil([&] { return disp->SWFlowState() == kFlowXOutHold; }));
    line->peerSend("\x11");
    EXPECT_TRUE(WaitUntil([&] { return line->outputWaiting() == 1; }));
    EXPECT_EQ(disp->SWFlowState(), kFlowOn);
    // A flush while the peer holds us never waits for the writer in vain.
    line->peerSend("\x13");
    for (int k = 0; k < 200; ++k) {
        ASSERT_EQ(disp->PutString("N1"), 2);
        ASSERT_EQ(disp->FlushOutBuffer(), ecOK);
    }
    EXPECT_EQ(disp->OutBuffUsed(), 0);
    line->peerSend("\x11");
    // Switching from both directions to transmit only turns receive off.
    ASSERT_EQ(disp->SWFlowEnable(3072, 1024, kSWFlowTransmit), ecOK);
    EXPECT_FALSE(line->settings().xonXoffIn);
    EXPECT_TRUE(line->settings().xonXoffOut);
}

TEST_F(SimDispatcher, TraceDumpShowsBothDirections) {
    ASSERT_EQ(disp->InitTracing(100), ecOK);
    ASSERT_EQ(disp->PutString("G1\r"), 3);
    line->peerSend("ok\n");
    ASSERT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 3; }));
    char b[3];
    ASSERT_EQ(disp->GetBlock(b, 3), 3);
    std::string file = testing::TempDir() + "vorl_trace.txt";
    ASSERT_EQ(disp->DumpTrace(file, true, false), ecOK);
    FILE* f = std::fopen(file.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char text[200] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(text, n), "Transmit: \nG1[0D]\nReceive: \nok[0A]\n");
    EXPECT_EQ(disp->DumpTrace(file, true, false), ecTracingNotEnabled); // discarded

    ASSERT_EQ(disp->InitDispatchLogging(4096), ecOK);
    disp->AddStringToLog("marker");
    ASSERT_EQ(disp->DumpDispatchLog(file, true, false), ecOK);
    EXPECT_EQ(disp->DumpDispatchLog("/nonexistent-dir/x.log", true, false), ecLoggingNotEnabled);
    ASSERT_EQ(disp->InitDispatchLogging(4096), ecOK);
    EXPECT_EQ(disp->DumpDispatchLog("/nonexistent-dir/x.log", true, false), ecFileNotFound);
    EXPECT_EQ(disp->InitTracing(4000001), ecBadArgument);
}

} // namespace
} // namespace vorl
