// The help window: shows the contents of the help file (*program*.hlp), as
// HTML when it is HTML and as plain text otherwise.
//
// Windows carry a help context number (the property "helpContext"): F1 opens
// the help at that window's topic, the anchor of an HTML help file named by the
// number (<a name="250">). A plain-text file, or one without the anchor, opens
// at its start.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QTextBrowser;

namespace vorl {

class THelpForm : public QDialog {
    Q_OBJECT

public:
    // Returns false (and shows nothing) when `path` cannot be read as text.
    bool loadFile(const QString& path);

    explicit THelpForm(QWidget* parent = nullptr);

    // Scrolls to the topic of help context `context` once the window shows.
    void showTopic(int context);

    QTextBrowser* txtHelp = nullptr;
};

// Shows the help file modally, or a message saying why it cannot; with a help
// context, at its topic.
void ShowHelpContents(const QString& helpFile, QWidget* parent, int context = 0);

// The help context of the window of `widget`: its own, else that of the
// window it was opened from. 0 when none; a window whose context is 0 has no
// help of its own (F1 is an ordinary key there).
int HelpContextOf(const QWidget* widget);

// F1 anywhere in the program: the help at the topic of the window it was
// pressed in. The main window installs it on the application.
class THelpKey : public QObject {
    Q_OBJECT

public:
    // `helpFile` gives the help file's path when F1 is pressed.
    THelpKey(std::function<QString()> helpFile, QObject* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<QString()> helpFile_;
};

} // namespace vorl
