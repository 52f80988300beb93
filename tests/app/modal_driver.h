// Answers the modal windows that the main window opens while a test drives
// it: every message box is recorded and confirmed; other dialogs go to a
// handler of the test (which must close them), or are rejected.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

namespace vorl::test {

struct SeenBox {
    std::string objectName;
    std::string text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::string title;
};

class ModalDriver : public QObject {
public:
    using DialogHandler = std::function<void(QDialog*)>;

    explicit ModalDriver(DialogHandler onDialog = {}) : onDialog_(std::move(onDialog)) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }

    std::vector<SeenBox> boxes;
    int dialogs = 0;
    int stuck = 0; // dialogs the handler did not close

private:
    void poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (w == nullptr) {
            return;
        }
        if (w == handling_) {
            // The handler left its dialog open (a refusal box came between):
            // close it so that the test fails instead of hanging.
            ++stuck;
            static_cast<QDialog*>(w)->reject();
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            boxes.push_back({box->objectName().toStdString(), box->text().toStdString(),
                             box->icon(), box->windowTitle().toStdString()});
            box->accept();
            return;
        }
        if (auto* dialog = qobject_cast<QDialog*>(w)) {
            ++dialogs;
            handling_ = dialog;
            if (onDialog_) {
                onDialog_(dialog);
            } else {
                dialog->reject();
            }
        }
    }

    DialogHandler onDialog_;
    QTimer timer_;
    QPointer<QWidget> handling_;
};

} // namespace vorl::test
