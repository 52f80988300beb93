// TLogForm, the log viewer: shows the output log that the terminal window
// recorded, lets the operator search it and save a copy under a chosen name.
// The terminal opens it modally on its log file when it closes.
#pragma once

#include "viewers/viewer_window.h"

#include <QString>

#include <string>

class QPushButton;

namespace vorl {

class TextFileView;

// Creates the log viewer on the file at `logPath`, shows it modally and
// releases it. The file itself is left alone.
void showLogViewer(QWidget* parent, const std::string& logPath, bool languageLoaded);

// The name a log is saved under: ".log" appended when the chosen name has no
// extension.
QString logFileName(const QString& chosen);

class TLogForm : public ViewerWindow {
    Q_OBJECT
public:
    TLogForm(const std::string& logPath, bool languageLoaded, QWidget* parent = nullptr);

private:
    void FormShow() override;
    void FormResize() override;
    void cmdSaveClick();

    bool saveTo(const QString& fileName);

    QString logPath_;
    bool languageLoaded_;

    TextFileView* txtLog;
    QPushButton* cmdSave;
    QPushButton* cmdClose;
};

} // namespace vorl
