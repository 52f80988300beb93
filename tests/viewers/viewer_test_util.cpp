#include "viewer_test_util.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <memory>

namespace vorl::test {

QString TempFiles::write(const QString& name, const QByteArray& bytes) {
    QFile file(dir_.filePath(name));
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return file.fileName();
}

QByteArray TempFiles::read(const QString& name) const {
    QFile file(dir_.filePath(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

QByteArray program(int lines) {
    QByteArray bytes;
    for (int i = 1; i <= lines; ++i) {
        bytes += "N" + QByteArray::number(i * 10) + " G01 X" + QByteArray::number(i) + "\r\n";
    }
    return bytes;
}

void onNextModal(std::function<void(QWidget*)> handler, const char* className) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    const QDeadlineTimer deadline(5000);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, handler, className, deadline] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->isVisible() &&
            (className == nullptr || modal->inherits(className))) {
            timer->stop();
            timer->deleteLater();
            handler(modal);
        } else if (deadline.hasExpired()) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "no modal window appeared";
        }
    });
    timer->start();
}

NoModalGuard::NoModalGuard() : timer_(new QTimer) {
    timer_->setInterval(5);
    QObject::connect(timer_, &QTimer::timeout, timer_, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ADD_FAILURE() << "unexpected modal window: " << modal->metaObject()->className();
            modal->close();
        }
    });
    timer_->start();
}

NoModalGuard::~NoModalGuard() {
    delete timer_;
}

bool lineBold(QPlainTextEdit* view, int line) {
    const QTextBlock block = view->document()->findBlockByNumber(line);
    if (!block.isValid() || block.length() <= 1) {
        return false;
    }
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        if (it.fragment().charFormat().fontWeight() < QFont::Bold) {
            return false;
        }
    }
    return true;
}

void caretToLine(TextFileView* view, int line) {
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
    for (int i = 0; i < line; ++i) {
        QTest::keyClick(view, Qt::Key_Down);
    }
}

} // namespace vorl::test
