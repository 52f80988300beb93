#include "serial/ui/com_select_form.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace vorl {

QString ComSelectEntryText(const ComPortInfo& port) {
    QString text = QString::asprintf("COM%d", port.number);
    text += QStringLiteral("  ") + QString::fromStdString(port.path);
    if (port.inUse) {
        text += QStringLiteral(" (in use)");
    }
    if (!port.noAccess.empty()) {
        text += QStringLiteral(" (") + QString::fromStdString(port.noAccess) + ')';
    }
    return text;
}

TComSelectForm::TComSelectForm(QWidget* parent) : TComSelectForm(AvailableComPorts(), parent) {}

TComSelectForm::TComSelectForm(const std::vector<ComPortInfo>& ports, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("ComSelectForm"));
    setWindowTitle(QStringLiteral("Select Port"));

    lblInvalid = new QLabel(QStringLiteral("The configured serial port is not valid."), this);
    lblChoose = new QLabel(QStringLiteral("Please choose another port."), this);
    cboxPorts = new QComboBox(this);
    cboxPorts->setEditable(false);
    cboxPorts->setAccessibleName(QStringLiteral("Port"));
    lblChoose->setBuddy(cboxPorts);

    auto* buttons = new QDialogButtonBox(this);
    cmdOK = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    cmdCancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    for (QPushButton* b : {cmdOK, cmdCancel}) {
        b->setAccessibleName(b->text());
    }
    cmdOK->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblInvalid);
    layout->addWidget(lblChoose);
    layout->addWidget(cboxPorts);
    layout->addStretch();
    layout->addWidget(buttons);

    fill(ports);

    setFixedSize(sizeHint().expandedTo(QSize(220, 131)));
    if (parent == nullptr) {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            move(screen->availableGeometry().center() - rect().center());
        }
    }
}

void TComSelectForm::fill(const std::vector<ComPortInfo>& ports) {
    for (const ComPortInfo& port : ports) {
        if (port.number > 0) {
            cboxPorts->addItem(ComSelectEntryText(port), port.number);
        }
    }
    if (cboxPorts->count() > 0) {
        cboxPorts->setCurrentIndex(0);
    }
    // Nothing to choose: OK would confirm no port at all.
    cmdOK->setEnabled(cboxPorts->count() > 0);
}

int TComSelectForm::SelectedComNumber() const {
    if (cboxPorts->currentIndex() < 0) {
        return 0;
    }
    // The number follows the first three characters ("COM") of the entry.
    const QString text = cboxPorts->currentText();
    int i = 3;
    int number = 0;
    while (i < text.size() && text.at(i).isDigit() && number < 100000) {
        number = number * 10 + text.at(i).digitValue();
        ++i;
    }
    return number;
}

int TComSelectForm::Execute(QWidget* parent) {
    TComSelectForm form(parent);
    if (form.exec() != QDialog::Accepted) {
        return 0;
    }
    return form.SelectedComNumber();
}

} // namespace vorl
