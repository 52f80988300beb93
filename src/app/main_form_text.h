// Text and file-name conversions, and the message box, that the main
// window's sources share (main_form.cpp, main_form_machines.cpp).
#pragma once

#include "machines/ui/dialog_text.h"

#include <QFile>
#include <QMessageBox>
#include <QString>

#include <string>
#include <string_view>

namespace vorl::main_form {

inline QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

inline QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

inline std::string fileName(const QString& s) {
    return QFile::encodeName(s).toStdString();
}

inline QString fromFileName(const std::string& s) {
    return QFile::decodeName(QByteArray::fromStdString(s));
}

// A message box with an empty title, as the program's messages have.
inline int showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                       const char* objectName) {
    QMessageBox box(icon, QString(), text, QMessageBox::Ok, parent);
    box.setObjectName(objectName);
    return box.exec();
}

// A machine's name as a menu item shows it: a "&" in it is a character, not
// the mark of the item's key.
inline QString menuName(const std::string& name) {
    return shownText(name).replace('&', "&&");
}

} // namespace vorl::main_form
