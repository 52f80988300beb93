// The "Select Port" dialog: shown when a port is opened without a port number,
// it lists the ports that exist (free, held by another program, or closed to
// the user, with the group that would open it) and hands back the number the
// operator chose.
#pragma once

#include "serial/com_port.h"

#include <QDialog>

#include <vector>

class QComboBox;
class QLabel;
class QPushButton;

namespace vorl {

class TComSelectForm : public QDialog {
    Q_OBJECT
public:
    // Lists the ports found by AvailableComPorts() (COM 1 to 50).
    explicit TComSelectForm(QWidget* parent = nullptr);
    // Lists the given ports, in the given order.
    TComSelectForm(const std::vector<ComPortInfo>& ports, QWidget* parent);

    // The number of the selected entry, 0 when the list is empty.
    int SelectedComNumber() const;

    // Shows the dialog modally; the chosen number, or 0 when it was cancelled or
    // there was no port to choose. Suits TComPort::SetPortPrompt.
    static int Execute(QWidget* parent = nullptr);

    QLabel* lblInvalid = nullptr;
    QLabel* lblChoose = nullptr;
    QComboBox* cboxPorts = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

private:
    void fill(const std::vector<ComPortInfo>& ports);
};

// The text of a list entry: "COM%d", the device path behind the number, and
// whether it is in use or closed to the user.
QString ComSelectEntryText(const ComPortInfo& port);

} // namespace vorl
