// THistoryForm, the history of one program: its versions and transfers,
// newest first (when, which direction, which machine and port, how big, how
// many blocks changed). Two entries are compared in the compare window, or
// one with the program as it is on disk; "Restore" writes a chosen version
// back over the program file, whole or not at all, and the history records
// it as a new version.
#pragma once

#include "history/history_recorder.h"

#include <QDialog>

#include <functional>

#include <memory>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace vorl {

class TCompareForm;

class THistoryForm : public QDialog {
    Q_OBJECT
public:
    // The history of `programFile` in `recorder`'s repository; a restore is
    // recorded through `recorder`.
    THistoryForm(std::shared_ptr<history::HistoryRecorder> recorder, std::string programFile,
                 QWidget* parent = nullptr);

    QLabel* lblProgram;
    QTreeWidget* lstHistory;
    QPushButton* cmdCompare;
    QPushButton* cmdRestore;
    QPushButton* cmdClose;

    const std::vector<history::HistoryEntry>& entries() const { return entries_; }
    // Reads the history again.
    void reload();

    // Opens the compare window modally; a test may replace it.
    std::function<void(TCompareForm&)> showCompare;

    void cmdCompareClick();
    void cmdRestoreClick();

private:
    void enableButtons();
    bool readVersion(const std::string& version, std::string& out);

    std::shared_ptr<history::HistoryRecorder> recorder_;
    std::string file_;
    std::vector<history::HistoryEntry> entries_;
};

} // namespace vorl
