#include "viewers/text_search.h"

#include "viewers/text_file_view.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QTextCursor>
#include <QTextDocument>

namespace vorl {

bool findNext(TextFileView* view, const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    if (view->isLoading()) {
        // A match may lie in the part not shown yet.
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        view->finishLoading();
        QGuiApplication::restoreOverrideCursor();
    }
    QTextDocument* doc = view->document();
    const int last = doc->characterCount() - 1;
    const int from = std::min(view->textCursor().selectionStart() + 1, last);
    const QTextCursor match = doc->find(text, from);
    if (match.isNull()) {
        return false;
    }
    QTextCursor selection(doc);
    selection.setPosition(match.selectionStart());
    selection.setPosition(match.selectionStart() + int(text.size()), QTextCursor::KeepAnchor);
    view->setTextCursor(selection);
    return true;
}

QString notFoundText(const QString& text) {
    return QStringLiteral("\"%1\" was not found after the current position.").arg(text);
}

void searchClick(TextFileView* view, const QString& text, QWidget* parent) {
    if (text.isEmpty()) {
        return;
    }
    view->setFocus();
    if (!findNext(view, text)) {
        QMessageBox::information(parent, QString(), notFoundText(text));
        view->setFocus();
    }
}

} // namespace vorl
