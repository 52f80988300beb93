// The main window's machine table: reading it at start-up (and what is kept
// of a damaged file), the machine chosen on the command line, and the
// machine menus built from the table.
#include "app/main_form.h"

#include "app/main_form_text.h"

#include "machines/config_file.h"
#include "machines/legacy_import.h"
#include "machines/machine_table.h"
#include "text/language_table.h"
#include "viewers/value_field.h"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWidgetAction>

namespace vorl {

using namespace main_form;

void TMainForm::showConfigDamaged() {
    showMessage(this, QMessageBox::NoIcon, qs(Text(TextId::ConfigFileDamaged)), "DamagedBox");
}

void TMainForm::loadMachines() {
    const auto damaged = [this] { showConfigDamaged(); };
    int stoppedAtLine = 0;
    if (ReadConfiguration(fileName(configPath), machineList, damaged, &stoppedAtLine) > 0) {
        if (stoppedAtLine > 0) {
            keepCopyOfCutShortConfiguration(stoppedAtLine);
        }
        const int items = BuildEditMachineMenu();
        mnuConfigEdit->menuAction()->setEnabled(items != 0);
        BuildMachineMenus();
        return;
    }
    const LegacyImportResult legacy =
        ImportLegacyConfiguration(fileName(legacyConfigPath), machineList);
    if (legacy.status == LegacyImportStatus::Fatal) {
        showMessage(this, QMessageBox::Critical, qs(Text(TextId::ConfigFileUnreadable)),
                    "FatalBox");
        env_.terminate(3);
        return;
    }
    if (legacy.status == LegacyImportStatus::Damaged) {
        showConfigDamaged();
    }
    if (legacy.count > 0) {
        // The next save puts the imported machines where a configuration file
        // that could not be read may stand; unless that file is the imported
        // one itself, it is kept first.
        if (legacyConfigPath != configPath) {
            keepUnreadableConfiguration();
        }
        const int items = BuildEditMachineMenu();
        mnuConfigEdit->menuAction()->setEnabled(items != 0);
        BuildMachineMenus();
        return;
    }
    if (!keepUnreadableConfiguration()) {
        return; // nothing is written over a file that could not be kept
    }
    if (WriteDefaultConfiguration(fileName(configPath))) {
        ReadConfiguration(fileName(configPath), machineList, damaged);
    }
}

void TMainForm::keepCopyOfCutShortConfiguration(int stoppedAtLine) {
    const std::optional<std::string> copy = KeepCopyOfConfiguration(fileName(configPath));
    QString text = tr("The configuration file %1 could not be read past line %2: the machines "
                      "after it are not in the list, and the next save leaves them out of the "
                      "file.")
                       .arg(configPath)
                       .arg(stoppedAtLine);
    if (copy) {
        text += ' ' + tr("A copy of the whole file is kept as %1.").arg(fromFileName(*copy));
    }
    showMessage(this, QMessageBox::Warning, text, "ConfigCutShortBox");
}

bool TMainForm::keepUnreadableConfiguration() {
    const std::optional<std::string> kept = KeepUnreadableConfiguration(fileName(configPath));
    if (!kept) {
        showMessage(this, QMessageBox::Warning,
                    tr("The configuration file %1 could not be read and could not be kept "
                       "under another name. It is left as it is.")
                        .arg(configPath),
                    "ConfigNotKeptBox");
        return false;
    }
    if (!kept->empty()) {
        showMessage(this, QMessageBox::Warning,
                    tr("The configuration file %1 could not be read. It has been kept as %2.")
                        .arg(configPath, fromFileName(*kept)),
                    "ConfigKeptBox");
    }
    return true;
}

void TMainForm::chooseCommandLineMachine() {
    if (commandLineFile.isEmpty() || commandLineMachine.isEmpty()) {
        return;
    }
    machineList.selected = ChooseCommandLineMachine(machineList, fileName(commandLineMachine));
    if (machineList.selected == 0) {
        return;
    }
    showValue(lblMachine, shownText(machineList[machineList.selected].name));
    transfer.operation = TransferState::Download;
    showValue(lblOperation, qs(Text(TextId::Download)));
    transfer.startBlock = 0;
    transfer.prefixText.clear();
    if (!lblFilename->text().isEmpty()) {
        mnuFileReview->setEnabled(true);
        cmdGo->setEnabled(true);
        setStatus(qs(Text(TextId::Ready)));
    }
}

// --- machine menus ---------------------------------------------------------

void TMainForm::fillMachineMenu(QMenu* menu, const std::vector<MachineMenuEntry>& entries,
                                const QString& prefix, void (TMainForm::*handler)(int)) {
    // Every item hangs on one holder object, so a rebuild removes all of them,
    // also those shown in the second column rather than in the menu itself.
    delete menu->findChild<QObject*>("machineItems", Qt::FindDirectChildrenOnly);
    menu->clear();
    auto* holder = new QObject(menu);
    holder->setObjectName("machineItems");

    std::vector<QAction*> actions;
    for (const MachineMenuEntry& e : entries) {
        auto* a = new QAction(prefix + menuName(e.caption), holder);
        a->setData(e.tag);
        const int tag = e.tag;
        connect(a, &QAction::triggered, this, [this, handler, tag] { (this->*handler)(tag); });
        actions.push_back(a);
    }
    const int split = ColumnBreakIndex(static_cast<int>(actions.size()));
    if (split < 0) {
        for (QAction* a : actions) {
            menu->addAction(a);
        }
        return;
    }
    // A menu cannot break into columns by itself: the items are shown as menu
    // buttons in two columns inside one widget item.
    auto* grid = new QWidget;
    grid->setObjectName("machineColumns");
    auto* row = new QHBoxLayout(grid);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    QWidget* columns[2] = {new QWidget(grid), new QWidget(grid)};
    QVBoxLayout* columnLayouts[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        columns[i]->setObjectName(QString("column%1").arg(i + 1));
        columnLayouts[i] = new QVBoxLayout(columns[i]);
        columnLayouts[i]->setContentsMargins(0, 0, 0, 0);
        columnLayouts[i]->setSpacing(0);
        row->addWidget(columns[i], 0, Qt::AlignTop);
        if (i == 0) {
            auto* bar = new QFrame(grid);
            bar->setFrameStyle(QFrame::VLine | QFrame::Sunken);
            row->addWidget(bar);
        }
    }
    for (size_t i = 0; i < actions.size(); ++i) {
        auto* b = new QToolButton(columns[static_cast<int>(i) < split ? 0 : 1]);
        b->setDefaultAction(actions[i]);
        b->setAutoRaise(true);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        b->setStyleSheet("QToolButton { text-align: left; padding: 2px 12px; }");
        columnLayouts[static_cast<int>(i) < split ? 0 : 1]->addWidget(b);
        connect(actions[i], &QAction::triggered, menu, [menu] {
            // Close the whole chain of menus, as choosing a plain item does.
            for (QWidget* w = menu; w != nullptr; w = w->parentWidget()) {
                if (auto* m = qobject_cast<QMenu*>(w)) {
                    m->hide();
                } else {
                    break;
                }
            }
        });
    }
    auto* widgetAction = new QWidgetAction(holder);
    widgetAction->setDefaultWidget(grid);
    menu->addAction(widgetAction);
}

int TMainForm::BuildEditMachineMenu() {
    const auto entries = EditMachineEntries(machineList);
    fillMachineMenu(mnuConfigEdit, entries, QString(), &TMainForm::mnuConfigEditClick);
    return static_cast<int>(entries.size());
}

int TMainForm::BuildMachineMenus() {
    // The items are captioned prefix + name; the name is shown as the
    // configuration file holds it, whatever its encoding.
    const auto downloads = DownloadMachineEntries(machineList, {});
    fillMachineMenu(mnuCommDownload, downloads, qs(Text(TextId::DownloadItemPrefix)),
                    &TMainForm::mnuCommDownloadClick);
    const auto uploads = UploadMachineEntries(machineList, {});
    fillMachineMenu(mnuCommUpload, uploads, qs(Text(TextId::UploadItemPrefix)),
                    &TMainForm::mnuCommUploadClick);
    mnuCommUpload->menuAction()->setEnabled(!uploads.empty());
    mnuCommDownload->menuAction()->setEnabled(!downloads.empty());
    return (downloads.empty() ? 0 : 1) | (uploads.empty() ? 0 : 2);
}

int TMainForm::ReloadMachineTable() {
    const SaveAndReloadResult saved =
        SaveAndReloadMachines(fileName(configPath), machineList, [this] { showConfigDamaged(); });
    if (!saved.written) {
        showMessage(this, QMessageBox::Warning,
                    tr("The configuration file could not be written: %1\n"
                       "The changes are not saved.")
                        .arg(configPath),
                    "WriteFailedBox");
    }
    mnuConfigEdit->menuAction()->setEnabled(false);
    if (saved.stoppedAtLine > 0) {
        keepCopyOfCutShortConfiguration(saved.stoppedAtLine);
    }
    const int sections = saved.sections;
    if (sections > 0) {
        const int items = BuildEditMachineMenu();
        mnuConfigEdit->menuAction()->setEnabled(items != 0);
        BuildMachineMenus();
    }
    return sections;
}

} // namespace vorl
