#include "viewers/log_form.h"

#include "viewers/text_file_view.h"
#include "viewers/viewer_text.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>

namespace vorl {
namespace {

// The help topic of the log viewer (F1).
constexpr int kHelpContext = 290;

} // namespace

void showLogViewer(QWidget* parent, const std::string& logPath, bool languageLoaded) {
    TLogForm form(logPath, languageLoaded, parent);
    form.exec();
}

QString logFileName(const QString& chosen) {
    if (QFileInfo(chosen).fileName().contains(QLatin1Char('.'))) {
        return chosen;
    }
    return chosen + QStringLiteral(".log");
}

TLogForm::TLogForm(const std::string& logPath, bool languageLoaded, QWidget* parent)
    : ViewerWindow(parent), logPath_(QFile::decodeName(QByteArray::fromStdString(logPath))),
      languageLoaded_(languageLoaded) {
    setObjectName(QStringLiteral("TLogForm"));
    setWindowFlag(Qt::Tool);
    setWindowTitle(QStringLiteral("Log File"));
    setProperty("helpContext", kHelpContext);

    txtLog = named(new TextFileView(this), "txtLog");
    makeSearchGroup(txtLog);
    cmdSave = named(new QPushButton(QStringLiteral("Save Log File"), this), "cmdSave");
    cmdClose = named(new QPushButton(QStringLiteral("Close"), this), "cmdClose");
    connect(cmdSave, &QPushButton::clicked, this, &TLogForm::cmdSaveClick);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);

    setMinimumSize(480, 240);
    resize(600, 400);
    FormResize();
}

void TLogForm::FormShow() {
    setWindowTitle(viewerCaption(languageLoaded_, TextId::LogFile, windowTitle()));
    cmdSave->setText(viewerCaption(languageLoaded_, TextId::SaveLogFile, cmdSave->text()));
    cmdClose->setText(viewerCaption(languageLoaded_, TextId::Close, cmdClose->text()));
    applySearchCaptions(languageLoaded_);
    txtLog->setAccessibleName(windowTitle());
    FormResize();
    if (!txtLog->loadFile(logPath_)) {
        const QString message = logPath_ + QStringLiteral(": ") + txtLog->errorString();
        QMetaObject::invokeMethod(
            this, [this, message] { QMessageBox::warning(this, QString(), message); },
            Qt::QueuedConnection);
    }
}

void TLogForm::FormResize() {
    const int width = this->width();
    const int height = this->height();
    const QSize search = GroupBox1->sizeHint();
    const QSize save = cmdSave->sizeHint();
    const QSize close = cmdClose->sizeHint();
    const int bottomHeight = std::max({search.height(), save.height(), close.height()});
    const int bottomTop = height - kMargin - bottomHeight;

    const int searchWidth = std::max(search.width(), 230);
    GroupBox1->setGeometry(kMargin, bottomTop, searchWidth, bottomHeight);
    const int closeLeft = width - kMargin - close.width();
    cmdClose->setGeometry(closeLeft, height - kMargin - close.height(), close.width(),
                          close.height());
    cmdSave->setGeometry(closeLeft - kMargin - save.width(), height - kMargin - save.height(),
                         save.width(), save.height());
    txtLog->setGeometry(0, 0, width, std::max(0, bottomTop - kMargin));
}

void TLogForm::cmdSaveClick() {
    QFileDialog dialog(this, viewerText(TextId::SaveLogFile));
    dialog.setObjectName(QStringLiteral("SaveDialogLog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({viewerText(TextId::NcPrograms) + QStringLiteral(" (*.log)"),
                           viewerText(TextId::AllFiles) + QStringLiteral(" (*.*)")});
    dialog.selectFile(QStringLiteral("vorl.log"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    const QString chosen = dialog.selectedFiles().constFirst();
    const QString fileName = logFileName(chosen);
    if (fileName != chosen && QFileInfo::exists(fileName)) {
        // The dialog asked about the name as typed, not about this one.
        const auto answer = QMessageBox::question(
            this, QString(),
            QStringLiteral("%1 already exists.\nDo you want to replace it?").arg(fileName));
        if (answer != QMessageBox::Yes) {
            return;
        }
    }
    saveTo(fileName);
}

// Writes the lines of the log, each ended by CR LF, replacing the file. The
// old file stays whole until the new one is complete.
bool TLogForm::saveTo(const QString& fileName) {
    txtLog->finishLoading();
    QSaveFile file(fileName);
    bool ok = file.open(QIODevice::WriteOnly);
    const int lines = txtLog->lineCount();
    for (int line = 0; line < lines && ok; ++line) {
        const QByteArray bytes = txtLog->lineBytes(line);
        if (line == lines - 1 && bytes.isEmpty()) {
            break; // the text ended with a line end
        }
        ok = file.write(bytes + "\r\n") >= 0;
    }
    ok = ok && file.commit();
    if (!ok) {
        QMessageBox::warning(this, QString(), fileName + QStringLiteral(": ") + file.errorString());
    }
    return ok;
}

} // namespace vorl
