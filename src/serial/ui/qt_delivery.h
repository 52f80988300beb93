// Delivery of notices onto the thread of a Qt object: the serial layer's
// threads hand `post` and `send` a function, which runs on the thread that
// owns the QtDelivery (the GUI thread in the program), in the order given.
//
// `send` waits for the function to have run, at most the given time. When the
// wait runs out, the function stays queued and still runs later: whatever it
// captures must be owned by it (values, shared or weak pointers), never borrowed
// from the sender's stack. Called on the owning thread, `send` runs the function
// at once. An exception that escapes a function is caught and handed to the
// exception handler (by default it is dropped) so it never crosses Qt's loop.
#pragma once

#include "serial/delivery.h"

#include <functional>
#include <memory>

class QObject;
class QThread;

namespace vorl {

class QtDelivery final : public Delivery {
public:
    // Delivers onto the thread that creates it.
    QtDelivery();
    ~QtDelivery() override;

    QtDelivery(const QtDelivery&) = delete;
    QtDelivery& operator=(const QtDelivery&) = delete;

    void post(std::function<void()> fn) override;
    bool send(std::function<void()> fn, std::chrono::milliseconds timeout) override;

    // True on the thread the notices run on.
    bool onOwningThread() const;

    using ExceptionHandler = std::function<void(std::exception_ptr)>;
    // Called on the owning thread for an exception a delivered function raised.
    void setExceptionHandler(ExceptionHandler handler);

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    QObject* receiver_ = nullptr; // wakes the owning thread
    QThread* thread_;
};

// Makes the serial layer's yielding waits (DelayTicks with yield, a break sent
// with yield) run the Qt event loop of the calling thread instead of sleeping.
// Such a wait reports a quitting application when QCoreApplication::quit() ends
// it early. A network port's connect, awaited on the application's thread,
// runs the event loop too; keyboard and mouse input meanwhile is dropped but
// for a control marked kCancelsOpen.
void InstallQtMessagePump();
// The property (true) of a control whose input goes on while a port
// connects: it cancels the connect (platform::CancelOpenWaits).
inline constexpr char kCancelsOpen[] = "vorlCancelsOpen";

} // namespace vorl
