#include "app/help_window.h"

#include "text/language_table.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace vorl {

THelpForm::THelpForm(QWidget* parent) : QDialog(parent) {
    setObjectName("HelpForm");
    setWindowTitle(tr("Help on VORL"));
    resize(640, 480);
    auto* layout = new QVBoxLayout(this);
    txtHelp = new QTextBrowser(this);
    txtHelp->setObjectName("txtHelp");
    txtHelp->setAccessibleName(tr("Help text"));
    txtHelp->setOpenExternalLinks(true);
    layout->addWidget(txtHelp);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* close =
        buttons->addButton(QString::fromStdString(Text(58)), QDialogButtonBox::RejectRole);
    close->setObjectName("cmdClose");
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

bool THelpForm::loadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray bytes = file.read(16 * 1024 * 1024);
    if (bytes.contains('\0')) {
        return false; // a binary help format this window cannot show
    }
    const QString text = QString::fromUtf8(bytes);
    setWindowTitle(tr("Help on VORL") + " - " + QFileInfo(path).fileName());
    if (Qt::mightBeRichText(text)) {
        txtHelp->setSearchPaths({QFileInfo(path).absolutePath()});
        txtHelp->setHtml(text);
    } else {
        txtHelp->setPlainText(text);
    }
    return true;
}

void ShowHelpContents(const QString& helpFile, QWidget* parent) {
    if (!QFileInfo(helpFile).isFile()) {
        QMessageBox box(QMessageBox::Information, QString(),
                        QString::fromStdString(Text(206)) + helpFile, QMessageBox::Ok, parent);
        box.setObjectName("HelpMissingBox");
        box.exec();
        return;
    }
    THelpForm form(parent);
    if (!form.loadFile(helpFile)) {
        QMessageBox box(
            QMessageBox::Information, QString(),
            QObject::tr("The help file %1 cannot be shown: it is not a text file.").arg(helpFile),
            QMessageBox::Ok, parent);
        box.setObjectName("HelpMissingBox");
        box.exec();
        return;
    }
    form.exec();
}

} // namespace vorl
