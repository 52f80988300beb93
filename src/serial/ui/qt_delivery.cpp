#include "serial/ui/qt_delivery.h"

#include "serial/ticks.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace vorl {

struct QtDelivery::Shared {
    std::mutex mutex;
    ExceptionHandler handler;

    void run(const std::function<void()>& fn) {
        try {
            if (fn) {
                fn();
            }
        } catch (...) {
            ExceptionHandler h;
            {
                std::lock_guard lock(mutex);
                h = handler;
            }
            if (h) {
                try {
                    h(std::current_exception());
                } catch (...) {
                    // A failing report must not take the event loop down.
                }
            }
        }
    }
};

namespace {

// What a sender waits on; shared with the queued call, so either side may go first.
struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool ran = false;
};

} // namespace

QtDelivery::QtDelivery()
    : shared_(std::make_shared<Shared>()), receiver_(new QObject),
      thread_(QThread::currentThread()) {}

QtDelivery::~QtDelivery() {
    // Queued calls still waiting die with the receiver; their senders time out.
    if (QThread::currentThread() == thread_) {
        delete receiver_;
    } else {
        receiver_->deleteLater();
    }
}

bool QtDelivery::onOwningThread() const {
    return QThread::currentThread() == thread_;
}

void QtDelivery::setExceptionHandler(ExceptionHandler handler) {
    std::lock_guard lock(shared_->mutex);
    shared_->handler = std::move(handler);
}

void QtDelivery::post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        receiver_, [shared = shared_, fn = std::move(fn)] { shared->run(fn); },
        Qt::QueuedConnection);
}

bool QtDelivery::send(std::function<void()> fn, std::chrono::milliseconds timeout) {
    if (onOwningThread()) {
        shared_->run(fn);
        return true;
    }
    auto waiter = std::make_shared<Waiter>();
    QMetaObject::invokeMethod(
        receiver_,
        [shared = shared_, waiter, fn = std::move(fn)] {
            shared->run(fn);
            {
                std::lock_guard lock(waiter->mutex);
                waiter->ran = true;
            }
            waiter->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(waiter->mutex);
    return waiter->done.wait_for(lock, timeout, [&] { return waiter->ran; });
}

namespace {

// Runs the event loop for at most `maxMs` without spinning; false when the loop
// was ended by the application quitting rather than by the time running out.
bool qtMessagePump(int maxMs) {
    if (QCoreApplication::instance() == nullptr) {
        QThread::msleep(static_cast<unsigned long>(std::max(maxMs, 0)));
        return true;
    }
    QEventLoop loop;
    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    timer.start(std::max(maxMs, 0));
    loop.exec();
    return timedOut;
}

} // namespace

void InstallQtMessagePump() {
    SetMessagePump(&qtMessagePump);
}

} // namespace vorl
