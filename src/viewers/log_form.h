// TLogForm, the log viewer: shows the output log that the terminal window
// recorded, lets the operator search it and save a copy under a chosen name.
// The terminal opens it modally on its log file when it closes.
#pragma once

#include <QDialog>
#include <QString>

#include <string>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace vorl {

class TextFileView;

// Creates the log viewer on the file at `logPath`, shows it modally and
// releases it. The file itself is left alone.
void showLogViewer(QWidget* parent, const std::string& logPath, bool languageLoaded);

// The name a log is saved under: ".log" appended when the chosen name has no
// extension.
QString logFileName(const QString& chosen);

class TLogForm : public QDialog {
    Q_OBJECT
public:
    TLogForm(const std::string& logPath, bool languageLoaded, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FormShow();
    void FormResize();
    void cmdSearchClick();
    void cmdSaveClick();

    bool saveTo(const QString& fileName);

    QString logPath_;
    bool languageLoaded_;
    bool shown_ = false;

    TextFileView* txtLog;
    QGroupBox* GroupBox1;
    QLineEdit* txtSearchArg;
    QPushButton* cmdSearch;
    QPushButton* cmdSave;
    QPushButton* cmdClose;
};

} // namespace vorl
