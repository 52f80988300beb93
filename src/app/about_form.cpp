#include "app/about_form.h"

#include "text/language_table.h"

#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace vorl {
namespace {

constexpr int kWidth = 391;
constexpr int kHeight = 247;
// The maker's contact lines: a language file gives them, nothing else does.
constexpr std::array kContactLines = {TextId::ContactLine1, TextId::ContactLine2,
                                      TextId::ContactLine3, TextId::ContactLine4};

// The window's picture: a machined steel plate with a strip of punched tape.
QPixmap backgroundPicture() {
    QPixmap pm(kWidth, kHeight);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient steel(0, 0, kWidth, kHeight);
    steel.setColorAt(0, QColor(54, 78, 110));
    steel.setColorAt(1, QColor(18, 28, 48));
    p.fillRect(pm.rect(), steel);
    p.setPen(QPen(QColor(255, 255, 255, 18), 1));
    for (int x = -kHeight; x < kWidth; x += 6) {
        p.drawLine(x, kHeight, x + kHeight, 0);
    }
    const QRect tape(0, 150, kWidth, 44);
    p.fillRect(tape, QColor(236, 222, 178));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 30, 30));
    for (int col = 0; col * 12 + 8 < kWidth; ++col) {
        p.drawEllipse(QPoint(col * 12 + 8, tape.center().y()), 2, 2);
        for (int row = 0; row < 5; ++row) {
            if (((col * 7 + row * 3) % 5) < 2) {
                const int y = tape.top() + 6 + row * 8 + (row >= 3 ? 4 : 0);
                p.drawEllipse(QPoint(col * 12 + 8, y), 3, 3);
            }
        }
    }
    return pm;
}

// The small picture at the top right: an end mill over a workpiece.
QPixmap logoPicture() {
    QPixmap pm(72, 72);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(230, 230, 230), 2));
    p.setBrush(QColor(150, 160, 175));
    p.drawRect(26, 4, 20, 26);
    QPainterPath flutes;
    flutes.moveTo(28, 30);
    flutes.lineTo(44, 30);
    flutes.lineTo(42, 52);
    flutes.lineTo(30, 52);
    flutes.closeSubpath();
    p.setBrush(QColor(210, 170, 60));
    p.drawPath(flutes);
    p.setBrush(QColor(90, 100, 115));
    p.drawRect(6, 56, 60, 12);
    return pm;
}

} // namespace

TAboutForm::TAboutForm(bool languageLoaded, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      languageLoaded_(languageLoaded) {
    setObjectName("AboutForm");
    setProperty("helpContext", 0); // F1 closes it like any other key
    setWindowTitle(QString::fromStdString(std::string(BuiltinText(TextId::AboutCaption))));
    setFixedSize(kWidth, kHeight);

    imgBackground = new QLabel(this);
    imgBackground->setObjectName("imgBackground");
    imgBackground->setAccessibleName(tr("VORL picture"));
    imgBackground->setPixmap(backgroundPicture());
    imgBackground->setGeometry(0, 0, kWidth, kHeight);

    imgLogo = new QLabel(this);
    imgLogo->setObjectName("imgLogo");
    imgLogo->setAccessibleName(tr("VORL emblem"));
    imgLogo->setPixmap(logoPicture());
    imgLogo->setGeometry(kWidth - 80, 8, 72, 72);

    lblBuild = new QLabel("VORL II Build 11", this);
    lblBuild->setObjectName("lblBuild");
    QFont bold = lblBuild->font();
    bold.setBold(true);
    bold.setPointSize(bold.pointSize() + 4);
    lblBuild->setFont(bold);
    lblBuild->setStyleSheet("color: white;");
    lblBuild->setGeometry(10, kHeight - 44, 260, 34);

    lblVersion = new QLabel(QStringLiteral("Version " VORL_VERSION), this);
    lblVersion->setObjectName("lblVersion");
    lblVersion->setStyleSheet("color: white;");
    lblVersion->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblVersion->setGeometry(kWidth - 130, kHeight - 36, 120, 18);

    for (size_t i = 0; i < lblContact.size(); ++i) {
        lblContact[i] = new QLabel(this);
        lblContact[i]->setObjectName(QString("lblContact%1").arg(i + 1));
        lblContact[i]->setStyleSheet("color: white;");
        lblContact[i]->setGeometry(10, 8 + static_cast<int>(i) * 18, 290, 18);
    }
    for (QLabel* l : {imgBackground, imgLogo, lblBuild, lblVersion}) {
        l->installEventFilter(this);
    }
    for (QLabel* l : lblContact) {
        l->installEventFilter(this);
    }
}

void TAboutForm::showEvent(QShowEvent* event) {
    if (languageLoaded_) {
        const LanguageTable& table = Language();
        if (table.HasText(TextId::AboutCaption)) {
            setWindowTitle(QString::fromStdString(table.GetText(TextId::AboutCaption)));
        }
        for (size_t i = 0; i < lblContact.size(); ++i) {
            const TextId id = kContactLines[i];
            if (table.HasText(id)) {
                lblContact[i]->setText(QString::fromStdString(table.GetText(id)));
            }
        }
    }
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    QDialog::showEvent(event);
}

void TAboutForm::keyPressEvent(QKeyEvent*) {
    accept();
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        accept();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace vorl
