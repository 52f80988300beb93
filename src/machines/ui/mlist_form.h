// The machine list dialog: where machines are created, named, put in order and
// deleted. Every other setting is edited in the configuration dialog.
//
// The dialog works on a private copy of the machine table. OK puts the copy,
// without the machines left unnamed, into the table and calls the reload the
// caller supplies (write the configuration file, read it back, rebuild the
// menus); Cancel or Escape throws the copy away. The dialog itself does no I/O.
#pragma once

#include "machines/machine_config.h"

#include <QDialog>
#include <QString>

#include <array>
#include <functional>

class QLineEdit;
class QPushButton;
class QTableWidget;

namespace vorl {

class TMListForm : public QDialog {
    Q_OBJECT
public:
    // At most this many machines (grid rows) besides the terminal entry.
    static constexpr int kMaxMachines = 48;

    using Reload = std::function<void()>;
    TMListForm(MachineList& machines, Reload reload, QWidget* parent = nullptr);

    // The editor of grid row `row` (each cell always shows one).
    QLineEdit* cellEditor(int row) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addGridRow();
    void removeLastGridRow();
    void setCellText(int row, const QString& text);
    void describeCell(int row);
    void selectRow(int row);
    void enterPromptState(bool creating);
    void resetDeleted(int slot);
    void swapSlots(int a, int b);

    void MachineGridSetEditText(int row, const QString& text);
    void cmdMoveUpClick();
    void cmdMoveDownClick();
    void cmdAddClick();
    void cmdDeleteClick();
    void cmdOKClick();

    MachineList& machines_;
    Reload reload_;
    std::array<MachineConfig, MachineList::kSlots> local_{};
    // The machine table slot each local slot was copied from (-1 for a new
    // machine), so the main window's selection can follow its machine.
    std::array<int, MachineList::kSlots> origin_{};
    int localCount_ = 0;

    QTableWidget* MachineGrid = nullptr;
    QPushButton* cmdMoveUp = nullptr;
    QPushButton* cmdMoveDown = nullptr;
    QPushButton* cmdAdd = nullptr;
    QPushButton* cmdDelete = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
};

} // namespace vorl
