#include "app/help_window.h"

#include "text/language_table.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace vorl {

THelpForm::THelpForm(QWidget* parent) : QDialog(parent) {
    setObjectName("HelpForm");
    setProperty("helpContext", 0); // F1 here does not open the help again
    setWindowTitle(tr("Help on VORL"));
    resize(640, 480);
    auto* layout = new QVBoxLayout(this);
    txtHelp = new QTextBrowser(this);
    txtHelp->setObjectName("txtHelp");
    txtHelp->setAccessibleName(tr("Help text"));
    txtHelp->setOpenExternalLinks(true);
    layout->addWidget(txtHelp);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* close = buttons->addButton(QString::fromStdString(Text(TextId::Close)),
                                            QDialogButtonBox::RejectRole);
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

void THelpForm::showTopic(int context) {
    if (context > 0) {
        // Put off by the browser until it is visible, when the layout is known.
        txtHelp->scrollToAnchor(QString::number(context));
    }
}

int HelpContextOf(const QWidget* widget) {
    for (const QWidget* w = widget != nullptr ? widget->window() : nullptr; w != nullptr;
         w = w->parentWidget() != nullptr ? w->parentWidget()->window() : nullptr) {
        const QVariant context = w->property("helpContext");
        if (context.isValid()) {
            return context.toInt();
        }
    }
    return 0;
}

void ShowHelpContents(const QString& helpFile, QWidget* parent, int context) {
    if (!QFileInfo(helpFile).isFile()) {
        QMessageBox box(QMessageBox::Information, QString(),
                        QString::fromStdString(Text(TextId::FileNotFound)) + helpFile,
                        QMessageBox::Ok, parent);
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
    form.showTopic(context);
    form.exec();
}

THelpKey::THelpKey(std::function<QString()> helpFile, QObject* parent)
    : QObject(parent), helpFile_(std::move(helpFile)) {}

bool THelpKey::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType() ||
        !static_cast<QKeyEvent*>(event)->matches(QKeySequence::HelpContents)) {
        return false;
    }
    auto* widget = static_cast<QWidget*>(watched);
    const int context = HelpContextOf(widget);
    if (context <= 0) {
        return false;
    }
    // An open menu closes first; the help belongs to the window under it.
    QWidget* owner = widget->window();
    while (owner->windowType() == Qt::Popup && owner->parentWidget() != nullptr) {
        owner = owner->parentWidget()->window();
    }
    while (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
    }
    // Opened from the event loop, once the key has been dealt with.
    QMetaObject::invokeMethod(
        this,
        [this, owner = QPointer<QWidget>(owner), context] {
            if (owner != nullptr) {
                ShowHelpContents(helpFile_(), owner, context);
            }
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace vorl
