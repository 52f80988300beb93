#include "serial/ui/qt_delivery.h"

#include "serial/com_port.h"
#include "serial/ticks.h"
#include "serial_test_util.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace vorl {
namespace {

using namespace std::chrono_literals;

// Runs the owning thread's event loop until `done` holds or the deadline passes.
template <class Pred> bool pumpUntil(Pred done, std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

TEST(QtDelivery, NoticesFromAnotherThreadRunOnTheOwningThreadInOrder) {
    QtDelivery delivery;
    const QThread* gui = QThread::currentThread();
    std::vector<int> order; // touched on the GUI thread only
    std::atomic<bool> wrongThread{false};
    std::atomic<int> sendsAnswered{0};

    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            auto note = [&, i] {
                if (QThread::currentThread() != gui) {
                    wrongThread = true;
                }
                order.push_back(i);
            };
            if (i % 3 == 0) {
                if (delivery.send(note, 5000ms)) {
                    ++sendsAnswered;
                }
            } else {
                delivery.post(note);
            }
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return order.size() == 200; }));
    worker.join();

    EXPECT_FALSE(wrongThread);
    EXPECT_EQ(sendsAnswered, 67);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

TEST(QtDelivery, SendOnTheOwningThreadRunsAtOnce) {
    QtDelivery delivery;
    bool ran = false;
    EXPECT_TRUE(delivery.send([&] { ran = true; }, 0ms));
    EXPECT_TRUE(ran);
}

TEST(QtDelivery, AnAbandonedSendStillRunsLaterOnItsOwnData) {
    QtDelivery delivery;
    auto seen = std::make_shared<std::atomic<int>>(0);
    bool answered = true;
    // The owning thread is busy joining the sender, so the notice cannot run
    // before the sender gives up.
    std::thread sender([&] { answered = delivery.send([seen] { ++*seen; }, 20ms); });
    sender.join();
    EXPECT_FALSE(answered);
    EXPECT_EQ(*seen, 0);
    ASSERT_TRUE(pumpUntil([&] { return *seen == 1; }));
}

TEST(QtDelivery, AnExceptionGoesToTheHandlerAndTheSenderIsAnswered) {
    QtDelivery delivery;
    std::string reported;
    delivery.setExceptionHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& ex) {
            reported = ex.what();
        }
    });
    std::atomic<bool> answered{false};
    std::atomic<bool> finished{false};
    std::thread sender([&] {
        answered = delivery.send([] { throw std::runtime_error("handler failed"); }, 5000ms);
        delivery.post([] { throw 7; }); // not a std::exception: must not escape either
        delivery.post([&] { finished = true; });
    });
    ASSERT_TRUE(pumpUntil([&] { return finished.load(); }));
    sender.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(reported, "handler failed");
}

TEST(QtDelivery, NoticesStillQueuedWhenTheDeliveryGoesAreDropped) {
    auto ran = std::make_shared<std::atomic<int>>(0);
    {
        QtDelivery delivery;
        std::thread poster([&] {
            for (int i = 0; i < 10; ++i) {
                delivery.post([ran] { ++*ran; });
            }
        });
        poster.join();
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(*ran, 0);
    EXPECT_EQ(ran.use_count(), 1); // the dropped functions were freed
}

TEST(QtMessagePump, AYieldingDelayKeepsTheEventLoopRunning) {
    InstallQtMessagePump();
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    EXPECT_EQ(DelayTicks(2, true), 0);
    EXPECT_TRUE(ran);
    // Without yield nothing runs meanwhile.
    bool ranWithoutYield = false;
    QTimer::singleShot(0, [&] { ranWithoutYield = true; });
    EXPECT_EQ(DelayTicks(1, false), 0);
    EXPECT_FALSE(ranWithoutYield);
    QCoreApplication::processEvents();
    SetMessagePump(nullptr);
}

// The program's arrangement: the port's notices go through the Qt loop.
TEST(QtDelivery, CarriesThePortsEventsAndACloseFromInsideOne) {
    test::PtyPeer peer;
    ::setenv("VORL_COM33", peer.path().c_str(), 1);
    TComPort port(std::make_shared<QtDelivery>());
    port.SetComNumber(33);
    port.SetOpen(true);
    const uint16_t handle = port.AddDataTrigger("M02", false);
    const QThread* gui = QThread::currentThread();
    std::vector<uint16_t> fired;
    bool onGui = true;
    port.OnTriggerData = [&](TComPort& cp, uint16_t h) {
        onGui &= QThread::currentThread() == gui;
        fired.push_back(h);
        cp.SetOpen(false);
    };
    peer.send("N10 M02\r");
    ASSERT_TRUE(pumpUntil([&] { return port.PortState() == psClosed; }));
    EXPECT_TRUE(onGui);
    EXPECT_EQ(fired, std::vector<uint16_t>{handle});

    port.SetOpen(true);
    port.OnTriggerData = [&](TComPort&, uint16_t h) { fired.push_back(h); };
    peer.send("M02");
    ASSERT_TRUE(pumpUntil([&] { return fired.size() == 2; }));
    EXPECT_EQ(fired[1], handle);
}

} // namespace
} // namespace vorl
