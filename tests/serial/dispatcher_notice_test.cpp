// Triggers and the delivery of their notices, on a pty pair: the test thread
// owns a window handler (pumped through a LoopDelivery) and a procedure
// handler runs on the dispatcher thread.
#include "serial_test_util.h"

#include "serial/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace vorl {
namespace {

using namespace std::chrono_literals;
using test::Notice;
using test::NoticeLog;
using test::PtyPeer;
using test::WaitUntil;

// What the procedure handler does with the bytes of a data notice.
std::atomic<int> gProcTakes{0};
NoticeLog* gProcLog = nullptr;

void ProcHandler(uint32_t msg, uint32_t first, uint32_t second) {
    gProcLog->add(msg, first, second);
    TBaseDispatcher* d = GetDispatcherPtr(NoticeDispatcher(second));
    ASSERT_NE(d, nullptr);
    uint8_t c;
    for (int k = 0; k < gProcTakes && msg == kNoticeTriggerAvail; ++k)
        d->GetChar(c);
}

class Notices : public ::testing::Test {
protected:
    void SetUp() override {
        gProcLog = &procLog;
        gProcTakes = 0;
        delivery = std::make_shared<LoopDelivery>();
        disp = std::make_unique<TLinuxDispatcher>(this);
        ASSERT_EQ(disp->InitPort(peer.path(), 9600, 0, 8, 1, 4096, 4096, 3), ecOK);
        disp->RegisterWndTriggerHandler(delivery, [this](uint32_t m, uint32_t f, uint32_t s) {
            wndLog.add(m, f, s);
            if (onWindow)
                onWindow(m, f, s);
        });
        disp->UpdateHandlerFlags(fuEnablePort);
    }
    void TearDown() override {
        disp.reset();
        gProcLog = nullptr;
    }
    // Pumps the window handler until `cond` holds for what it has seen.
    bool Pump(const std::function<bool(const std::vector<Notice>&)>& cond,
              std::chrono::milliseconds timeout = 5000ms) {
        return delivery->pumpUntil([&] { return cond(wndLog.all()); }, timeout);
    }

    PtyPeer peer;
    std::shared_ptr<LoopDelivery> delivery;
    std::unique_ptr<TLinuxDispatcher> disp;
    NoticeLog wndLog, procLog;
    std::function<void(uint32_t, uint32_t, uint32_t)> onWindow;
};

TEST_F(Notices, LengthTriggerAnnouncesWhatPrecedesAMatchedString) {
    int32_t ok = disp->AddDataTrigger("OK", false);
    ASSERT_EQ(ok, 8);
    ASSERT_EQ(disp->ChangeLengthTrigger(1), ecOK);
    onWindow = [&](uint32_t m, uint32_t f, uint32_t) {
        // The avail notice's handler takes exactly what it was told.
        std::string b(f, '\0');
        if (m == kNoticeTriggerAvail) {
            EXPECT_EQ(disp->GetBlock(b.data(), f), int32_t(f));
        }
    };
    peer.send("xyzOK");
    ASSERT_TRUE(Pump([](auto& v) { return v.size() >= 3; }));
    auto v = wndLog.all();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].msg, kNoticeTriggerAvail);
    EXPECT_EQ(v[0].first, 3u);
    EXPECT_EQ(NoticeDispatcher(v[0].second), disp->Handle());
    EXPECT_EQ(v[1].msg, kNoticeTriggerData);
    EXPECT_EQ(v[1].first, uint32_t(ok));
    EXPECT_EQ(NoticeLow(v[1].second), 2);
    EXPECT_EQ(v[2].msg, kNoticeTriggerAvail); // "OK" itself is still waiting
    EXPECT_EQ(v[2].first, 2u);
    EXPECT_EQ(disp->InBuffUsed(), 0);
}

TEST_F(Notices, DataTriggerQuirksHoldOnTheLine) {
    int32_t aa = disp->AddDataTrigger("AA", false);
    int32_t ok = disp->AddDataTrigger("ok", true);
    peer.send("AAAA Ok OOK");
    ASSERT_TRUE(Pump([&](auto& v) { return v.size() >= 4; }));
    std::vector<uint32_t> handles;
    for (auto& n : wndLog.all())
        handles.push_back(n.first);
    // 'AA' at the 2nd and 3rd byte only; 'ok' twice.
    EXPECT_EQ(handles,
              std::vector<uint32_t>({uint32_t(aa), uint32_t(aa), uint32_t(ok), uint32_t(ok)}));
    // Without the length trigger nothing was taken: all bytes still wait.
    EXPECT_EQ(disp->InBuffUsed(), 11);
}

// A port kept open between transfers: the string a new trigger waits for
// may have come, and been passed over, before the trigger was added.
TEST_F(Notices, ATriggerAddedToSeeWaitingInputFindsAStringThatCameBefore) {
    ASSERT_EQ(disp->ChangeLengthTrigger(1), ecOK);
    peer.send("xyREADYz");
    // The length trigger's notice comes once the bytes have been scanned.
    ASSERT_TRUE(Pump([](auto& v) { return !v.empty(); }));
    ASSERT_EQ(disp->ChangeLengthTrigger(0), ecOK);
    const int32_t ready = disp->AddDataTrigger("READY", false, true);
    ASSERT_GT(ready, 0);
    ASSERT_TRUE(Pump([&](auto& v) {
        return std::any_of(v.begin(), v.end(), [&](const Notice& n) {
            return n.msg == kNoticeTriggerData && n.first == uint32_t(ready);
        });
    }));
    EXPECT_EQ(disp->InBuffUsed(), 8); // nothing was taken
}

TEST_F(Notices, AllHandlersReadTheSameBytesAndTheMostTakenIsCommitted) {
    ASSERT_EQ(disp->RegisterProcTriggerHandler(&ProcHandler), ecOK);
    gProcTakes = 2;
    std::string seenByWindow;
    onWindow = [&](uint32_t m, uint32_t, uint32_t) {
        if (m != kNoticeTriggerAvail)
            return;
        char b[5];
        ASSERT_EQ(disp->GetBlock(b, 5), 5);
        seenByWindow.assign(b, 5);
        EXPECT_EQ(disp->InBuffUsed(), 2); // 7 waiting, 5 taken by this handler
    };
    ASSERT_EQ(disp->ChangeLengthTrigger(7), ecOK);
    peer.send("abcdefg");
    ASSERT_TRUE(Pump([](auto& v) { return !v.empty(); }));
    EXPECT_EQ(seenByWindow, "abcde"); // the procedure's two bytes were not lost to it
    ASSERT_EQ(procLog.count(kNoticeTriggerAvail), 1u);
    ASSERT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 2; }));
    uint8_t c;
    ASSERT_EQ(disp->GetChar(c), ecOK);
    EXPECT_EQ(c, 'f');
    disp->DeregisterProcTriggerHandler(&ProcHandler);
}

TEST_F(Notices, WhatAHandlerTookIsNotReadAgainByItsThreadBeforeTheNoticeEnds) {
    // The window's thread reads on right after its handler returned, while the
    // notice still goes to a second window, served by a thread of its own: it
    // must never get the handler's bytes a second time. Repeated, as a stress.
    auto second = std::make_shared<LoopDelivery>();
    std::atomic<bool> stop{false}, readAfterReturn{false};
    std::thread secondThread([&] {
        second->setOwner(std::this_thread::get_id());
        while (!stop)
            second->pumpUntil([&] { return stop.load(); }, 20ms);
    });
    disp->RegisterWndTriggerHandler(second, [&](uint32_t m, uint32_t, uint32_t) {
        if (m == kNoticeTriggerAvail)
            WaitUntil([&] { return readAfterReturn.exchange(false); }, 2000ms);
    });
    ASSERT_EQ(disp->ChangeLengthTrigger(1), ecOK);
    std::string byHandler, afterwards, sent;
    onWindow = [&](uint32_t m, uint32_t f, uint32_t) {
        std::string b(f, '\0');
        if (m == kNoticeTriggerAvail && disp->GetBlock(b.data(), f) == int32_t(f))
            byHandler += b;
    };
    for (int round = 0; round < 300; ++round) {
        const char c = char('A' + round % 26);
        sent += c;
        peer.send(std::string(1, c));
        ASSERT_TRUE(delivery->pumpUntil([&] { return byHandler.size() == sent.size(); }, 5000ms));
        uint8_t x;
        if (disp->GetChar(x) == ecOK)
            afterwards += char(x);
        readAfterReturn = true;
        while (disp->NoticeBusy())
            if (disp->GetChar(x) == ecOK)
                afterwards += char(x);
    }
    stop = true;
    second->poke();
    secondThread.join();
    EXPECT_EQ(byHandler, sent);
    EXPECT_EQ(afterwards, "");
}

TEST_F(Notices, AWaitForAStringThatNobodyReadsAroundSeesItBehindAFlood) {
    const int32_t ready = disp->AddDataTrigger("READY", false);
    ASSERT_EQ(disp->DiscardUntilTrigger(12345), ecBadTriggerHandle);
    ASSERT_EQ(disp->DiscardUntilTrigger(uint32_t(ready)), ecOK);
    // 12,000 bytes of other output first: more than the buffer holds.
    peer.send(std::string(12000, 'x') + "READYN10 G1\n");
    ASSERT_TRUE(Pump([&](auto& v) { return !v.empty(); }));
    EXPECT_EQ(wndLog.all()[0].first, uint32_t(ready));
    // Everything from the string on is kept.
    auto waiting = [&] {
        std::string b(size_t(disp->InBuffUsed()), '\0');
        disp->PeekBlock(b.data(), uint32_t(b.size()));
        return b;
    };
    ASSERT_TRUE(WaitUntil([&] { return waiting().find("READYN10 G1\n") != std::string::npos; }));
    EXPECT_EQ(waiting().substr(waiting().find("READY")), "READYN10 G1\n");
}

TEST_F(Notices, FlushDuringANoticeDiscardsEverythingWhenItEnds) {
    onWindow = [&](uint32_t m, uint32_t, uint32_t) {
        if (m == kNoticeTriggerAvail)
            disp->FlushInBuffer();
    };
    ASSERT_EQ(disp->ChangeLengthTrigger(4), ecOK);
    peer.send("1234");
    ASSERT_TRUE(Pump([](auto& v) { return !v.empty(); }));
    EXPECT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 0; }));
}

// A procedure handler that takes one byte and empties the input, as the
// Xmodem sender does on the first of two "C"s: what the readers then see.
struct FlushSeen {
    std::atomic<int> otherThreadBefore{-1}; // InBuffUsed on a thread without a handler
    std::atomic<int> otherThreadAfter{-1};
    std::atomic<int> selfAfter{-1};
    std::atomic<bool> selfGotAByte{false};
};
FlushSeen* gFlushSeen = nullptr;

void TakeOneAndFlushProc(uint32_t msg, uint32_t, uint32_t second) {
    TBaseDispatcher* d = GetDispatcherPtr(NoticeDispatcher(second));
    if (msg != kNoticeTriggerAvail || !gFlushSeen || !d)
        return;
    uint8_t c;
    if (d->GetChar(c) != ecOK)
        return;
    std::thread([&] { gFlushSeen->otherThreadBefore = d->InBuffUsed(); }).join();
    d->FlushInBuffer();
    gFlushSeen->selfAfter = d->InBuffUsed();
    gFlushSeen->selfGotAByte = d->GetChar(c) == ecOK;
    std::thread([&] { gFlushSeen->otherThreadAfter = d->InBuffUsed(); }).join();
}

TEST_F(Notices, AFlushDuringANoticeEmptiesTheInputAtOnceForEveryReader) {
    FlushSeen seen;
    gFlushSeen = &seen;
    ASSERT_EQ(disp->RegisterProcTriggerHandler(&TakeOneAndFlushProc), ecOK);
    int windowSaw = -1;
    onWindow = [&](uint32_t m, uint32_t, uint32_t) {
        if (m == kNoticeTriggerAvail)
            windowSaw = disp->InBuffUsed();
    };
    ASSERT_EQ(disp->ChangeLengthTrigger(2), ecOK);
    peer.send("CC");
    ASSERT_TRUE(Pump([](auto& v) { return !v.empty(); }));
    disp->DeregisterProcTriggerHandler(&TakeOneAndFlushProc);
    gFlushSeen = nullptr;
    // The byte the handler took is not offered to a thread that ran no handler.
    EXPECT_EQ(seen.otherThreadBefore, 1);
    // After the flush nobody reads the second "C": not the thread that asked,
    // not another thread, not the handlers after it in the same notice.
    EXPECT_EQ(seen.selfAfter, 0);
    EXPECT_FALSE(seen.selfGotAByte);
    EXPECT_EQ(seen.otherThreadAfter, 0);
    EXPECT_EQ(windowSaw, 0);
    EXPECT_TRUE(WaitUntil([&] { return !disp->NoticeBusy(); }));
    EXPECT_EQ(disp->InBuffUsed(), 0);
}

TEST_F(Notices, TimersFireOnTheTickClock) {
    int32_t t = disp->AddTimerTrigger();
    ASSERT_GT(t, 0);
    auto armed = std::chrono::steady_clock::now();
    ASSERT_EQ(disp->SetTimerTrigger(uint32_t(t), 18, true), ecOK);
    int32_t left = -1;
    EXPECT_EQ(disp->TimerTicksRemaining(uint32_t(t), left), ecOK);
    EXPECT_GE(left, 17);
    ASSERT_TRUE(Pump([](auto& v) { return !v.empty(); }));
    auto firstAfter = std::chrono::steady_clock::now() - armed;
    // 18 ticks of 55 ms from somewhere inside the present tick.
    EXPECT_GE(firstAfter, 18 * 55ms - 55ms);
    EXPECT_LT(firstAfter, 5s);
    EXPECT_EQ(wndLog.all()[0].msg, kNoticeTriggerTimer);
    EXPECT_EQ(wndLog.all()[0].first, uint32_t(t));

    // Re-armed with 0 ticks: the same interval again.
    armed = std::chrono::steady_clock::now();
    ASSERT_EQ(disp->SetTimerTrigger(uint32_t(t), 0, true), ecOK);
    ASSERT_TRUE(Pump([](auto& v) { return v.size() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - armed, 18 * 55ms - 55ms);
    EXPECT_EQ(disp->SetTimerTrigger(12345, 1, true), ecBadTriggerHandle);
    EXPECT_EQ(disp->ExtendTimer(1, 1), ecBadTriggerHandle);
}

TEST_F(Notices, StatusTriggersAreOneShot) {
    int32_t freeT = disp->AddStatusTrigger(stOutBuffFree);
    EXPECT_EQ(freeT & 7, stOutBuffFree);
    int32_t timer = disp->AddTimerTrigger();
    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(freeT), 0, true), ecOK);
    ASSERT_TRUE(Pump([](auto& v) { return !v.empty(); }));
    EXPECT_EQ(wndLog.all()[0].msg, kNoticeTriggerStatus);
    EXPECT_EQ(wndLog.all()[0].first, uint32_t(freeT));
    EXPECT_EQ(NoticeLow(wndLog.all()[0].second), 4096);
    // Passes go on (a timer fires) without the status trigger firing again.
    ASSERT_EQ(disp->SetTimerTrigger(uint32_t(timer), 3, true), ecOK);
    ASSERT_TRUE(Pump([](auto& v) { return v.size() >= 2; }));
    EXPECT_EQ(wndLog.count(kNoticeTriggerStatus), 1u);
    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(freeT), 0, true), ecOK);
    ASSERT_TRUE(Pump([](auto& v) { return v.size() >= 3; }));
    EXPECT_EQ(wndLog.count(kNoticeTriggerStatus), 2u);

    // Output sent: fires once per written block.
    int32_t sent = disp->AddStatusTrigger(stOutSent);
    ASSERT_EQ(disp->PutString("G01"), 3);
    ASSERT_EQ(disp->SetStatusTrigger(uint32_t(sent), 0, true), ecOK);
    ASSERT_TRUE(Pump([&](auto&) { return wndLog.count(kNoticeTriggerStatus) == 3; }));
    EXPECT_EQ(wndLog.all().back().first, uint32_t(sent));
}

TEST_F(Notices, CloseFromInsideANoticeIsDeferredAndCompletes) {
    auto second = std::make_shared<LoopDelivery>();
    std::atomic<int> secondCalls{0};
    disp->RegisterWndTriggerHandler(second, [&](uint32_t, uint32_t, uint32_t) { ++secondCalls; });
    bool closed = false;
    onWindow = [&](uint32_t, uint32_t, uint32_t) {
        EXPECT_EQ(disp->DonePort(), ecOK);
        EXPECT_TRUE(disp->ClosePending());
        closed = true;
    };
    disp->AddDataTrigger("%", false);
    peer.send("%");
    ASSERT_TRUE(Pump([&](auto&) { return closed; }));
    EXPECT_FALSE(disp->IsOpen());
    EXPECT_TRUE(WaitUntil([&] { return !disp->ThreadsActive(); }));
    EXPECT_EQ(second->pump(), 0); // the aborted notice went no further
    EXPECT_EQ(secondCalls, 0);
    disp.reset();
}

TEST_F(Notices, LateWindowNoticesRunButReadLikeAnyCaller) {
    // The window handler's thread is busy: the dispatcher gives up after
    // 3000 ms and goes on; the late notice still runs, in order.
    ASSERT_EQ(disp->ChangeLengthTrigger(1), ecOK);
    peer.send("A");
    ASSERT_TRUE(WaitUntil([&] { return delivery->queued() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !disp->NoticeBusy(); }, 6000ms));
    peer.send("B");
    ASSERT_TRUE(WaitUntil([&] { return delivery->queued() == 2; }));
    std::string got;
    onWindow = [&](uint32_t m, uint32_t, uint32_t) {
        uint8_t c;
        if (m == kNoticeTriggerAvail && disp->GetChar(c) == ecOK)
            got += char(c);
    };
    ASSERT_TRUE(Pump([](auto& v) { return v.size() >= 2; }, 8000ms));
    EXPECT_EQ(got, "AB");
}

TEST_F(Notices, AHandlerStillReadingWhenGivenUpOnNeitherRereadsNorSkips) {
    // A second window, on a thread nobody pumps for now, shows when the
    // dispatcher has given up on the first and gone on.
    auto second = std::make_shared<LoopDelivery>();
    disp->RegisterWndTriggerHandler(second, [](uint32_t, uint32_t, uint32_t) {});
    ASSERT_EQ(disp->ChangeLengthTrigger(1), ecOK);
    std::string got;
    bool once = false;
    onWindow = [&](uint32_t m, uint32_t, uint32_t) {
        if (m != kNoticeTriggerAvail || once)
            return;
        once = true;
        uint8_t c;
        if (disp->GetChar(c) == ecOK)
            got += char(c);
        // Still busy 3000 ms on: the dispatcher stops waiting and goes on.
        EXPECT_TRUE(WaitUntil([&] { return second->queued() == 1; }, 8000ms));
        if (disp->GetChar(c) == ecOK)
            got += char(c);
    };
    peer.send("AB");
    ASSERT_TRUE(Pump([](auto& v) { return !v.empty(); }, 8000ms));
    EXPECT_EQ(got, "AB");
    second->pump();
    // Nothing is read twice and nothing is lost: what is left is the rest.
    ASSERT_TRUE(WaitUntil([&] { return !disp->NoticeBusy(); }, 6000ms));
    EXPECT_EQ(disp->InBuffUsed(), 0);
}

int gSelfRemoving = 0;
void SelfRemovingProc(uint32_t, uint32_t, uint32_t second) {
    ++gSelfRemoving;
    GetDispatcherPtr(NoticeDispatcher(second))->DeregisterProcTriggerHandler(&SelfRemovingProc);
}

TEST_F(Notices, HandlersLeaveAfterTheNoticeAndBusyHoldsNotices) {
    ASSERT_EQ(disp->RegisterProcTriggerHandler(&SelfRemovingProc), ecOK);
    disp->AddDataTrigger("#", false);
    peer.send("#");
    ASSERT_TRUE(Pump([](auto& v) { return v.size() == 1; }));
    EXPECT_EQ(gSelfRemoving, 1); // it ran, removed itself, and the window still got it

    // While the component holds the busy flag no notice is delivered; they
    // come once it lets go.
    ASSERT_TRUE(WaitUntil([&] { return !disp->NoticeBusy(); }));
    EXPECT_FALSE(disp->SetEventBusy(true));
    peer.send("#");
    ASSERT_TRUE(WaitUntil([&] { return disp->InBuffUsed() == 2; }));
    int32_t t = disp->AddTimerTrigger();
    ASSERT_EQ(disp->SetTimerTrigger(uint32_t(t), 1, true), ecOK);
    EXPECT_FALSE(Pump([](auto& v) { return v.size() > 1; }, 300ms));
    EXPECT_TRUE(disp->SetEventBusy(false));
    ASSERT_TRUE(Pump([](auto& v) { return v.size() == 3; }));
    EXPECT_EQ(gSelfRemoving, 1);
}

TEST(TriggerHandles, LengthTriggerOneMultiplesOfEightAndReuse) {
    TLinuxDispatcher d(nullptr);
    EXPECT_EQ(d.RemoveTrigger(1), ecOK);
    EXPECT_EQ(d.RemoveTrigger(0), ecBadTriggerHandle);
    EXPECT_EQ(d.AddDataTrigger("0123456789012345678901", false), ecTriggerTooLong);
    EXPECT_EQ(d.AddStatusTrigger(6), ecBadArgument);
    int32_t first = d.AddDataTrigger("x", false);
    EXPECT_EQ(first, 8);
    EXPECT_EQ(d.AddStatusTrigger(stLine), 16 + stLine);
    EXPECT_EQ(d.AddTimerTrigger(), 24);
    EXPECT_EQ(d.SetStatusTrigger(24, 0, true), ecBadTriggerHandle); // a timer
    EXPECT_EQ(d.RemoveTrigger(uint32_t(first)), ecOK);
    EXPECT_EQ(d.RemoveTrigger(uint32_t(first)), ecBadTriggerHandle);
    for (int k = 4; k < 4096; ++k)
        ASSERT_EQ(d.AddTimerTrigger(), k * 8);
    // The counter is spent: the smallest free multiple of 8 comes back.
    EXPECT_EQ(d.AddTimerTrigger(), 8);
    EXPECT_EQ(d.AddTimerTrigger(), ecNoMoreTriggers);

    TTriggerSave save;
    d.SaveTriggers(save);
    d.RemoveAllTriggers();
    EXPECT_EQ(d.AddTimerTrigger(), 8); // counter back to the start
    d.RestoreTriggers(save);
    EXPECT_EQ(d.RemoveTrigger(16 + stLine), ecOK);
    EXPECT_EQ(d.RemoveTrigger(32760), ecOK);
    TBaseDispatcher::ClearSaveBuffers(save);
    EXPECT_TRUE(save.timerTriggers.empty());
}

TEST(DispatcherList, HandlesAreSlotsAndAreReused) {
    auto a = std::make_unique<TLinuxDispatcher>(nullptr);
    auto b = std::make_unique<TLinuxDispatcher>(nullptr);
    EXPECT_EQ(GetDispatcherPtr(a->Handle()), a.get());
    EXPECT_EQ(GetDispatcherPtr(b->Handle()), b.get());
    uint16_t ha = a->Handle();
    a.reset();
    EXPECT_EQ(GetDispatcherPtr(ha), nullptr);
    TLinuxDispatcher c(nullptr);
    EXPECT_EQ(c.Handle(), ha);
    EXPECT_EQ(GetDispatcherPtr(ha), &c);
    void* p = nullptr;
    EXPECT_EQ(c.SetDataPointer(&c, 1), ecOK);
    EXPECT_EQ(c.GetDataPointer(p, 1), ecOK);
    EXPECT_EQ(p, &c);
    EXPECT_EQ(c.SetDataPointer(&c, 4), ecBadArgument);
    EXPECT_EQ(c.GetDataPointer(p, 0), ecBadArgument);
}

} // namespace
} // namespace vorl
