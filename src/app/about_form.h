// The about window: a picture with the build label and the version (the one
// of --version and of the package), a second picture at the top right and
// four contact lines. Any key or a click on it closes it.
#pragma once

#include <QDialog>

#include <array>

class QLabel;

namespace vorl {

class TAboutForm : public QDialog {
    Q_OBJECT

public:
    TAboutForm(bool languageLoaded, QWidget* parent = nullptr);

    QLabel* imgBackground = nullptr;
    QLabel* imgLogo = nullptr;
    QLabel* lblBuild = nullptr;
    QLabel* lblVersion = nullptr; // "Version " and the program's version
    std::array<QLabel*, 4> lblContact{};

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool languageLoaded_;
};

} // namespace vorl
