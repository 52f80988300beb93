#include "serial/ui/qt_delivery.h"

#include "platform/open_wait.h"
#include "serial/ticks.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace vorl {

// The queue the senders fill and the owning thread empties. The functions
// travel through this mutex-guarded queue, never inside Qt events; the owning
// thread is only woken, through an eventfd watched by a QSocketNotifier. So
// every hand-over is ordered by a lock the race detector can see, and nothing
// is allocated per notice on Qt's side.
struct QtDelivery::Shared {
    std::mutex mutex;
    std::deque<std::function<void()>> queue;
    ExceptionHandler handler;
    int wakeFd = -1;

    ~Shared() {
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    void push(std::function<void()> fn) {
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(fn));
        }
        const uint64_t one = 1;
        ssize_t n;
        do {
            n = ::write(wakeFd, &one, sizeof one);
        } while (n < 0 && errno == EINTR);
        // EAGAIN: the counter is already far above zero, a wake-up is due anyway.
    }

    // On the owning thread: runs what is queued, in order. A function may run
    // a nested event loop; the queue then goes on draining from there.
    void drain() {
        uint64_t count = 0;
        while (::read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        for (;;) {
            std::function<void()> fn;
            {
                std::lock_guard lock(mutex);
                if (queue.empty()) {
                    return;
                }
                fn = std::move(queue.front());
                queue.pop_front();
            }
            run(fn);
        }
    }

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

// What a sender waits on; shared with the queued function, so either side may go first.
struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool ran = false;
};

} // namespace

QtDelivery::QtDelivery() : shared_(std::make_shared<Shared>()), thread_(QThread::currentThread()) {
    shared_->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (shared_->wakeFd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd for notice delivery");
    }
    auto* notifier = new QSocketNotifier(shared_->wakeFd, QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [shared = shared_] { shared->drain(); });
    receiver_ = notifier;
}

QtDelivery::~QtDelivery() {
    // Functions still queued are dropped with the queue; their senders time out.
    // The eventfd closes with the last owner of the queue (the notifier's slot).
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
    shared_->push(std::move(fn));
}

bool QtDelivery::send(std::function<void()> fn, std::chrono::milliseconds timeout) {
    if (onOwningThread()) {
        shared_->run(fn);
        return true;
    }
    auto waiter = std::make_shared<Waiter>();
    // A weak reference: the queue must not own itself through its entries.
    shared_->push([waiter, fn = std::move(fn), weak = std::weak_ptr<Shared>(shared_)] {
        if (auto shared = weak.lock()) {
            shared->run(fn);
        }
        {
            std::lock_guard lock(waiter->mutex);
            waiter->ran = true;
        }
        waiter->done.notify_all();
    });
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

// Eats keyboard and mouse input while a port connects: the window keeps
// painting and moving, but a click meant for the idle window (a second
// Connect) neither runs inside the connect nor waits to run after it. A
// control marked kCancelsOpen (Reset) takes its input: it cancels the
// connect at once.
class InputBlocker final : public QObject {
protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (target->property(kCancelsOpen).toBool()) {
            return false;
        }
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        default:
            return false;
        }
    }
};

// A network port connecting (seconds at worst) on the GUI thread: the event
// loop runs until the connect thread says it is done.
void qtOpenWait(platform::Completion& done, std::chrono::milliseconds limit) {
    auto* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        done.waitFor(limit);
        return;
    }
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    InputBlocker blocker;
    app->installEventFilter(&blocker);
    done.onFinish(
        [&loop] { QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection); });
    if (!done.finished()) {
        timer.start(int(limit.count()));
        loop.exec();
    }
    done.onFinish(nullptr);
    app->removeEventFilter(&blocker);
}

} // namespace

void InstallQtMessagePump() {
    SetMessagePump(&qtMessagePump);
    platform::SetOpenWait(&qtOpenWait);
}

} // namespace vorl
