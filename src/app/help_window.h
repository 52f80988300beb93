// The help window: shows the contents of the help file (*program*.hlp), as
// HTML when it is HTML and as plain text otherwise.
#pragma once

#include <QDialog>

class QTextBrowser;

namespace vorl {

class THelpForm : public QDialog {
    Q_OBJECT

public:
    // Returns false (and shows nothing) when `path` cannot be read as text.
    bool loadFile(const QString& path);

    explicit THelpForm(QWidget* parent = nullptr);

    QTextBrowser* txtHelp = nullptr;
};

// Shows the help file modally, or a message saying why it cannot.
void ShowHelpContents(const QString& helpFile, QWidget* parent);

} // namespace vorl
