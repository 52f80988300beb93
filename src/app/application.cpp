#include "app/application.h"

#include "protocols/protocol.h"
#include "serial/com_port.h"
#include "serial/ui/com_select_form.h"
#include "serial/ui/qt_delivery.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace vorl {
namespace {

// A signal handler may only write: it wakes the event loop through this pipe.
int gSignalPipe[2] = {-1, -1};

void onEndSignal(int) {
    const int saved = errno;
    const char one = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &one, 1);
    errno = saved;
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("VORL II");
    // The serial layer's hooks into the desktop: the Select Port dialog for a
    // port without number, the exception box for exceptions raised by port and
    // protocol event handlers, and the event loop for its yielding waits.
    TComPort::SetPortPrompt([] { return TComSelectForm::Execute(); });
    TComPort::SetEventExceptionHandler(&TApplication::ShowExceptionPtr);
    TCustomProtocol::SetEventExceptionHandler(&TApplication::ShowExceptionPtr);
    InstallQtMessagePump();
    closeOnEndSignals();
}

void TApplication::closeOnEndSignals() {
    if (gSignalPipe[0] >= 0 || ::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [] {
        char drain[16];
        while (::read(gSignalPipe[0], drain, sizeof drain) > 0) {
        }
        for (QWidget* w : topLevelWidgets()) {
            if (auto* main = qobject_cast<QMainWindow*>(w)) {
                main->close();
            }
        }
    });
    struct sigaction action {};
    action.sa_handler = &onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        ::sigaction(signal, &action, nullptr);
    }
}

void TApplication::ShowExceptionPtr(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowException(tr("Unknown error"));
    }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowException(tr("Unknown error"));
    }
    return false;
}

void TApplication::ShowException(const QString& message) {
    QMessageBox box(QMessageBox::Critical, QString(), message, QMessageBox::Ok);
    box.setObjectName("ExceptionBox");
    box.exec();
}

} // namespace vorl
