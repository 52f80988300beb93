// Helpers of the viewer tests: temporary files, finding controls by name, and
// driving modal windows (message boxes, file dialogs, modal forms) from a timer.
#pragma once

#include "viewers/text_file_view.h"

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>

class QPlainTextEdit;

class QTimer;

namespace vorl::test {

// Writes `bytes` to `name` in a fresh temporary directory that lives as long
// as the object.
class TempFiles {
public:
    QString write(const QString& name, const QByteArray& bytes);
    QString path(const QString& name) const { return dir_.filePath(name); }
    QByteArray read(const QString& name) const;

private:
    QTemporaryDir dir_;
};

// A program of `lines` lines "N<10*i> G01 X<i>" ended by CR LF.
QByteArray program(int lines);

template <typename T> T* child(QWidget* parent, const char* name) {
    T* widget = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << "no control " << name;
    return widget;
}

// Runs `handler` on the modal window on top once it is up (and is a
// `className`, when given), from the event loop of whatever shows it. Fails the
// test when none shows up within a few seconds.
void onNextModal(std::function<void(QWidget*)> handler, const char* className = nullptr);

// While it lives, any modal window that comes up fails the test and is closed,
// so a wrong message box cannot hang the test.
class NoModalGuard {
public:
    NoModalGuard();
    ~NoModalGuard();

private:
    QTimer* timer_;
};

// True when every character of line `line` (0-based) is bold.
bool lineBold(QPlainTextEdit* view, int line);

// Moves the caret to the start of line `line` (0-based) with the keyboard.
void caretToLine(TextFileView* view, int line);

} // namespace vorl::test
