// What the review window and the log viewer have in common as windows: the
// first show runs FormShow (captions, the file loaded), every change of size
// runs FormResize (the controls placed by hand along the bottom edge), the
// "Search for..." group searches the window's file view, and controls get
// their object names as they are made.
#pragma once

#include <QDialog>
#include <QString>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace vorl {

class TextFileView;

class ViewerWindow : public QDialog {
    Q_OBJECT
public:
    using QDialog::QDialog;

protected:
    // Space between the controls and the window's edge.
    static constexpr int kMargin = 6;

    // Once, when the window is first shown.
    virtual void FormShow() = 0;
    // Whenever the window's size changes, and when a control comes or goes.
    virtual void FormResize() = 0;

    // Makes the "Search for..." group (GroupBox1 holding txtSearchArg and
    // cmdSearch) that searches `view`: the button and Return in the field run
    // cmdSearchClick. Called where the group stands in the tab order.
    void makeSearchGroup(TextFileView* view);
    // The group's captions from a loaded language file; the field is named
    // after the group for assistive technology.
    void applySearchCaptions(bool languageLoaded);
    void cmdSearchClick();

    QGroupBox* GroupBox1 = nullptr;
    QLineEdit* txtSearchArg = nullptr;
    QPushButton* cmdSearch = nullptr;

    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

    template <typename W> static W* named(W* widget, const char* name) {
        widget->setObjectName(QString::fromLatin1(name));
        return widget;
    }

private:
    bool shown_ = false;
    TextFileView* searched_ = nullptr;
};

} // namespace vorl
