// TComPort without an open device: defaults, flow thresholds, the refusals
// of an open that cannot start.
#include "serial/com_port.h"

#include "serial/delivery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace vorl {
namespace {

class ComPortClosed : public ::testing::Test {
protected:
    void SetUp() override { port = std::make_unique<TComPort>(delivery); }
    void TearDown() override {
        port.reset();
        TComPort::SetPortPrompt(nullptr);
    }

    std::shared_ptr<LoopDelivery> delivery = std::make_shared<LoopDelivery>();
    std::unique_ptr<TComPort> port;
};

TEST_F(ComPortClosed, QueriesOnAClosedPortGiveTheirRestingValues) {
    port->SetAutoOpen(false);
    port->SetOutSize(1234);
    EXPECT_EQ(port->GetInBuffFree(), 8192u);
    EXPECT_EQ(port->GetOutBuffFree(), 1234u);
    EXPECT_EQ(port->GetInBuffUsed(), 0u);
    EXPECT_EQ(port->GetOutBuffUsed(), 0u);
    EXPECT_EQ(port->GetLineError(), 0);
    EXPECT_FALSE(port->GetLineBreak());
    EXPECT_FALSE(port->GetCTS());
    EXPECT_EQ(port->GetFlowState(), fcOff);
    EXPECT_EQ(port->PortState(), psClosed);
    EXPECT_EQ(port->GetDispatcher(), nullptr);

    port->SetComNumber(7);
    EXPECT_EQ(port->ComName(), "COM7");
}

TEST_F(ComPortClosed, FlowOptionsFitTheThresholdsIntoTheInputQueue) {
    port->SetHWFlowOptions(hwfUseRTS);
    EXPECT_EQ(port->BufferFull(), 3686);
    EXPECT_EQ(port->BufferResume(), 409);

    TComPort other(delivery);
    other.SetSWFlowOptions(swfBoth);
    EXPECT_EQ(other.BufferFull(), 3072);
    EXPECT_EQ(other.BufferResume(), 1024);

    // Thresholds already inside the queue stay.
    TComPort configured(delivery);
    configured.SetBufferFull(2500);
    configured.SetBufferResume(400);
    configured.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    configured.SetSWFlowOptions(swfBoth);
    EXPECT_EQ(configured.BufferFull(), 2500);
    EXPECT_EQ(configured.BufferResume(), 400);

    // A resume above full is cut to a tenth of full.
    configured.SetBufferResume(3000);
    EXPECT_EQ(configured.BufferResume(), 250);
}

TEST_F(ComPortClosed, ThresholdsBeyondTheQueueComeBackInsideOnlyWithFlowActive) {
    // No flow option: 90% of the request is kept even though it is too big.
    port->SetBufferFull(10000);
    EXPECT_EQ(port->BufferFull(), 9000);
    // A flow option brings it back inside InSize.
    port->SetSWFlowOptions(swfReceive);
    EXPECT_EQ(port->BufferFull(), 3072);
    EXPECT_EQ(port->BufferResume(), 1024);
    // With flow active, a too-big full goes straight back inside.
    port->SetBufferFull(5000);
    EXPECT_EQ(port->BufferFull(), 3072);
}

TEST_F(ComPortClosed, RS485AndRtsFlowExcludeEachOther) {
    port->SetHWFlowOptions(hwfUseRTS | hwfRequireCTS | hwfRequireDSR);
    port->SetRS485Mode(true);
    EXPECT_EQ(port->HWFlowOptions(), hwfRequireDSR);
    EXPECT_FALSE(port->RTS());

    port->SetHWFlowOptions(hwfRequireCTS);
    EXPECT_FALSE(port->RS485Mode());
}

TEST_F(ComPortClosed, OpenWithoutAPortNumberNeedsAConfirmedChoice) {
    auto expectNoPortSelected = [&] {
        try {
            port->SetOpen(true);
            ADD_FAILURE() << "open did not raise";
        } catch (const ENoPortSelected& e) {
            EXPECT_EQ(e.ErrorCode, -2011);
            EXPECT_STREQ(e.what(), "The ComNumber property of the TComPort has not been set");
        }
        EXPECT_FALSE(port->Open());
        EXPECT_EQ(port->PortState(), psClosed);
    };

    // No prompt installed: nothing to choose from.
    expectNoPortSelected();

    int asked = 0;
    TComPort::SetPortPrompt([&] {
        ++asked;
        return 0; // cancelled
    });
    expectNoPortSelected();
    EXPECT_EQ(asked, 1);

    // PromptForPort False: no question at all.
    port->SetPromptForPort(false);
    expectNoPortSelected();
    EXPECT_EQ(asked, 1);
}

TEST_F(ComPortClosed, WithoutAutoOpenAClosedPortRefusesData) {
    port->SetAutoOpen(false);
    port->SetComNumber(1);
    try {
        port->PutString("G0 X0\r\n");
        ADD_FAILURE() << "PutString did not raise";
    } catch (const ECommNotOpen& e) {
        EXPECT_EQ(e.ErrorCode, -2007);
        EXPECT_STREQ(e.what(), "ie_NOpen - device not open");
    }
    EXPECT_THROW(port->AddDataTrigger("%", false), ECommNotOpen);
    EXPECT_EQ(port->PortState(), psClosed);
}

TEST_F(ComPortClosed, LoadingStoresAndOpensWhenDone) {
    port->SetPromptForPort(false);
    port->BeginLoading();
    port->SetOpen(true); // remembered, not done
    EXPECT_EQ(port->PortState(), psClosed);
    EXPECT_TRUE(port->Open());
    // Done loading: the open happens, fails, and Open goes back to False.
    EXPECT_THROW(port->EndLoading(), ENoPortSelected);
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(port->PortState(), psClosed);
}

} // namespace
} // namespace vorl
