// The machine configuration dialog: every setting of one machine except its
// name and place in the list, on four pages, and on a fifth the machine's
// restart settings (its control dialect and safe retract) when the caller
// gives them.
//
// The dialog does no I/O. It reads slot `selected` of the machine table into
// its controls each time it is shown and writes them back into that slot when
// the operator confirms with OK; Cancel (or Escape) leaves the slot as it was.
// Writing the configuration file (and the restart file beside it) and
// rebuilding the menus is the caller's.
#pragma once

#include "machines/machine_config.h"
#include "machines/ui/direction_pictures.h"
#include "restart/restart_prefix.h"

#include <QDialog>
#include <QString>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace vorl {

class TCfgFrm : public QDialog {
    Q_OBJECT
public:
    // The caption is the machine's name; the caller may set another.
    explicit TCfgFrm(MachineList& machines, QWidget* parent = nullptr);

    // The picture the trigger strings group shows at the moment.
    Direction direction() const { return direction_; }

    // The machine's restart settings, shown on the "Restart" page and written
    // back on OK; without them the page is not shown. Set before the dialog
    // is shown; `settings` must outlive it.
    void setRestartSettings(RestartOptions* settings);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildFileSpecificationsPage();
    void buildCommunicationPage();
    void buildDataSpecificationsPage();
    void buildFiltersPage();
    void buildRestartPage();
    void cboxControlChange(int index);

    void FormShow();
    void applyProtocolRule();
    void cmdOKClick();
    void browseClick(QPushButton* button, QLineEdit* directoryBox);
    void triggerEnter(int index);
    void triggerExit();
    void showDirection(Direction direction);
    void refuse(QWidget* page, QWidget* control, const QString& text);

    MachineList& machines_;
    std::array<QString, kTriggerCount> hints_;
    Direction direction_ = Direction::Neutral;
    RestartOptions* restart_ = nullptr;
    int shownControl_ = 0; // the dialect the retract box's default belongs to

    QTabWidget* pgcConfig = nullptr;
    QWidget* tabFileSpecs = nullptr;
    QWidget* tabCommunication = nullptr;
    QWidget* tabDataSpecs = nullptr;
    QWidget* tabFilters = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

    QCheckBox* cboxDownload = nullptr;
    QCheckBox* cboxUpload = nullptr;
    QLineEdit* txtDExt = nullptr;
    QLineEdit* txtUExt = nullptr;
    QLineEdit* txtDDir = nullptr;
    QLineEdit* txtUDir = nullptr;
    QPushButton* cmdDBrowse = nullptr;
    QPushButton* cmdUBrowse = nullptr;

    QComboBox* cboxPort = nullptr;
    QComboBox* cboxSpeed = nullptr;
    QComboBox* cboxDataBits = nullptr;
    QComboBox* cboxStopBits = nullptr;
    QComboBox* cboxParity = nullptr;
    QComboBox* cboxHandshake = nullptr;
    QComboBox* cboxProtocol = nullptr;
    QLineEdit* txtDelay = nullptr;
    QLabel* lblSpeed = nullptr;
    QLabel* lblPort = nullptr;
    QLabel* lblDataBits = nullptr;
    QLabel* lblStopBits = nullptr;
    QLabel* lblParity = nullptr;
    QLabel* lblHandshake = nullptr;
    QLabel* lblProtocol = nullptr;

    QComboBox* cboxEOB = nullptr;
    QComboBox* cboxCharCode = nullptr;
    QLabel* lblEOB = nullptr;
    QLabel* lblCharCode = nullptr;
    std::array<QLineEdit*, kTriggerCount> txtTriggers{};
    QLabel* imgDirection = nullptr;
    QLabel* lblHint = nullptr;
    QCheckBox* cboxPunchLeader = nullptr;
    QCheckBox* cboxPunchTrailer = nullptr;
    QLineEdit* txtLength = nullptr;

    QCheckBox* cboxDNulls = nullptr;
    QCheckBox* cboxDSpaces = nullptr;
    QCheckBox* cboxDComments = nullptr;
    QLineEdit* txtDChars = nullptr;
    QCheckBox* cboxUNulls = nullptr;
    QCheckBox* cboxUSpaces = nullptr;
    QCheckBox* cboxUComments = nullptr;
    QLineEdit* txtUChars = nullptr;

    QWidget* tabRestart = nullptr;
    QComboBox* cboxControl = nullptr;
    QLineEdit* txtRetract = nullptr;
};

} // namespace vorl
