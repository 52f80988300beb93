#include "app/application.h"

#include <QMessageBox>

#include <exception>

namespace vorl {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("VORL II");
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
