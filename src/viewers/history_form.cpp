#include "viewers/history_form.h"

#include "viewers/compare_form.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <fstream>
#include <iterator>

namespace vorl {
namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

QString blocks(size_t n) {
    return n == 1 ? THistoryForm::tr("1 block") : THistoryForm::tr("%1 blocks").arg(n);
}

QString changesOf(const history::HistoryEntry& e) {
    QString s = e.newVersion
                    ? THistoryForm::tr("new version, %1 changed").arg(blocks(e.changedBlocks))
                    : THistoryForm::tr("same version");
    if (!e.sentVersion.empty()) {
        s += e.controlChangedBlocks == 0 ? THistoryForm::tr("; as sent")
                                         : THistoryForm::tr("; changed at the control: %1")
                                               .arg(blocks(e.controlChangedBlocks));
    }
    return s;
}

QString titleOf(const history::HistoryEntry& e) {
    return THistoryForm::tr("%1 %2 %3 (version %4)")
        .arg(qs(e.time), qs(e.direction), qs(e.machine), qs(e.version.substr(0, 12)));
}

} // namespace

THistoryForm::THistoryForm(std::shared_ptr<history::HistoryRecorder> recorder,
                           std::string programFile, QWidget* parent)
    : QDialog(parent), recorder_(std::move(recorder)), file_(std::move(programFile)) {
    setObjectName("HistoryForm");
    setWindowTitle(tr("History"));
    lblProgram = new QLabel(QString::fromLocal8Bit(file_.c_str()), this);
    lblProgram->setObjectName("lblProgram");
    lstHistory = new QTreeWidget(this);
    lstHistory->setObjectName("lstHistory");
    lstHistory->setAccessibleName(tr("History"));
    lstHistory->setRootIsDecorated(false);
    lstHistory->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstHistory->setHeaderLabels({tr("Time"), tr("Direction"), tr("Machine"), tr("Port"), tr("Size"),
                                 tr("Version"), tr("Changes")});
    cmdCompare = new QPushButton(tr("Compare"), this);
    cmdCompare->setObjectName("cmdCompare");
    cmdRestore = new QPushButton(tr("Restore"), this);
    cmdRestore->setObjectName("cmdRestore");
    cmdClose = new QPushButton(tr("Close"), this);
    cmdClose->setObjectName("cmdClose");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdCompare);
    buttons->addWidget(cmdRestore);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblProgram);
    layout->addWidget(lstHistory, 1);
    layout->addLayout(buttons);
    resize(820, 400);

    showCompare = [](TCompareForm& form) { form.exec(); };
    connect(lstHistory, &QTreeWidget::itemSelectionChanged, this, &THistoryForm::enableButtons);
    connect(cmdCompare, &QPushButton::clicked, this, &THistoryForm::cmdCompareClick);
    connect(cmdRestore, &QPushButton::clicked, this, &THistoryForm::cmdRestoreClick);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    reload();
}

void THistoryForm::reload() {
    lstHistory->clear();
    entries_.clear();
    std::string error;
    const std::string program =
        QFileInfo(QString::fromLocal8Bit(file_.c_str())).fileName().toStdString();
    if (!history::HistoryRepository(recorder_->repository()).List(program, entries_, error)) {
        lblProgram->setText(qs(error));
    }
    for (const history::HistoryEntry& e : entries_) {
        auto* item = new QTreeWidgetItem(lstHistory, {qs(e.time), qs(e.direction), qs(e.machine),
                                                      qs(e.port), QString::number(e.size),
                                                      qs(e.version.substr(0, 12)), changesOf(e)});
        item->setToolTip(5, qs(e.version));
    }
    lstHistory->header()->resizeSections(QHeaderView::ResizeToContents);
    enableButtons();
}

void THistoryForm::enableButtons() {
    const qsizetype chosen = lstHistory->selectedItems().size();
    cmdCompare->setEnabled(chosen == 1 || chosen == 2);
    cmdRestore->setEnabled(chosen == 1);
}

bool THistoryForm::readVersion(const std::string& version, std::string& out) {
    std::string error;
    if (history::HistoryRepository(recorder_->repository()).ReadVersion(version, out, error)) {
        return true;
    }
    QMessageBox box(QMessageBox::NoIcon, QString(), qs(error), QMessageBox::Ok, this);
    box.setObjectName("MessageBox");
    box.exec();
    return false;
}

void THistoryForm::cmdCompareClick() {
    std::vector<int> rows;
    for (QTreeWidgetItem* item : lstHistory->selectedItems()) {
        rows.push_back(lstHistory->indexOfTopLevelItem(item));
    }
    if (rows.empty() || rows.size() > 2) {
        return;
    }
    std::sort(rows.begin(), rows.end());
    // Newest first: the later row is the older entry, shown on the left.
    const history::HistoryEntry& older = entries_[static_cast<size_t>(rows.back())];
    std::string left;
    if (!readVersion(older.version, left)) {
        return;
    }
    std::string right;
    QString rightTitle;
    if (rows.size() == 2) {
        const history::HistoryEntry& newer = entries_[static_cast<size_t>(rows.front())];
        if (!readVersion(newer.version, right)) {
            return;
        }
        rightTitle = titleOf(newer);
    } else {
        std::ifstream in(file_, std::ios::binary);
        right.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        rightTitle = tr("%1 (now on disk)").arg(QString::fromLocal8Bit(file_.c_str()));
    }
    TCompareForm form(titleOf(older), std::move(left), rightTitle, std::move(right), this);
    showCompare(form);
}

void THistoryForm::cmdRestoreClick() {
    const QList<QTreeWidgetItem*> chosen = lstHistory->selectedItems();
    if (chosen.size() != 1) {
        return;
    }
    const history::HistoryEntry e =
        entries_[static_cast<size_t>(lstHistory->indexOfTopLevelItem(chosen.front()))];
    QMessageBox question(QMessageBox::Question, QString(),
                         tr("Write the version of %1 over %2?")
                             .arg(qs(e.time), QString::fromLocal8Bit(file_.c_str())),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName("RestoreQuestion");
    question.setDefaultButton(QMessageBox::No);
    question.exec();
    // Yes, or accepted without a button (Enter on a driven box).
    const bool yes =
        question.clickedButton() == question.button(QMessageBox::Yes) ||
        (question.clickedButton() == nullptr && question.result() == QDialog::Accepted);
    if (!yes) {
        return;
    }
    std::string content;
    std::string why;
    if (!readVersion(e.version, content)) {
        return;
    }
    if (!history::ReplaceFileWhole(file_, content, why)) {
        QMessageBox box(QMessageBox::NoIcon, QString(), qs(why), QMessageBox::Ok, this);
        box.setObjectName("MessageBox");
        box.exec();
        return;
    }
    history::TransferEvent restored;
    restored.program = QFileInfo(QString::fromLocal8Bit(file_.c_str())).fileName().toStdString();
    restored.file = file_;
    restored.direction = history::Direction::Restored;
    recorder_->Record(std::move(restored));
    // The list shows the restore once it is recorded (a moment, or the
    // lock's wait when another record holds it).
    recorder_->WaitIdle(std::chrono::seconds(15));
    reload();
}

} // namespace vorl
