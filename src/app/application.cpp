#include "app/application.h"

#include "protocols/protocol.h"
#include "serial/com_port.h"
#include "serial/ui/com_select_form.h"
#include "serial/ui/qt_delivery.h"

#include <QMessageBox>

#include <exception>

namespace vorl {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("VORL II");
    // The serial layer's hooks into the desktop: the Select Port dialog for a
    // port without number, the exception box for exceptions raised by port and
    // protocol event handlers, and the event loop for its yielding waits.
    TComPort::SetPortPrompt([] { return TComSelectForm::Execute(); });
    TComPort::SetEventExceptionHandler(&TApplication::ShowExceptionPtr);
    TCustomProtocol::SetEventExceptionHandler(&TApplication::ShowExceptionPtr);
    InstallQtMessagePump();
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
