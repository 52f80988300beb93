// The review window's toolpath side: the painted path (ToolpathView) with a
// choice of view and Fit, a legend of the tools, the numbers of the program
// (extents, moves, run time, where the path stops being known) and the
// highlighted block as text. The path is read from the program file on a
// thread, with progress and Cancel, so the window answers meanwhile.
#pragma once

#include "restart/toolpath.h"

#include <QWidget>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace vorl {

class ToolpathView;

class ToolpathPanel : public QWidget {
    Q_OBJECT
public:
    explicit ToolpathPanel(QWidget* parent = nullptr);
    ~ToolpathPanel() override;

    // Reads `fileName` on a thread; the picture grows as it is read.
    void load(const std::string& fileName, const ToolpathOptions& options);
    // The program has been read to its end (or the reading was cancelled or
    // failed): the numbers are complete.
    bool isRead() const { return finished_; }

    ToolpathView* view() const { return tpvPath; }

Q_SIGNALS:
    void blockClicked(int block);
    void loaded();

private:
    void grow(Toolpath& part, int permille);
    void finish(Toolpath& rest, const QString& error, bool cancelled);
    void showLegend(const Toolpath& path);
    void stopWorker();

    QComboBox* cboView;
    QLabel* lblView;
    QPushButton* cmdFit;
    ToolpathView* tpvPath;
    QLabel* lblLegend;
    QLabel* lblSummary;
    QLabel* lblHighlightWord;
    QLabel* lblHighlight;
    QProgressBar* prgLoad;
    QPushButton* cmdCancel;

    std::shared_ptr<Toolpath> path_; // what the view shows, growing as it is read
    size_t budget_ = 0;              // segments kept before merging the smallest
    std::thread worker_;
    std::atomic<bool> cancel_{false};
    std::atomic<int> partsQueued_{0}; // handed over, not yet taken by the window
    bool finished_ = false;
    int generation_ = 0; // of the last load
    bool lathe_ = false;
};

} // namespace vorl
