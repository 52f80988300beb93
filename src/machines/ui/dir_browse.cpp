#include "machines/ui/dir_browse.h"

#include "machines/ui/dialog_text.h"
#include "machines/ui/mount_points.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vorl {
namespace {

constexpr int kPathRole = Qt::UserRole;
// A child not yet read from disk; it gives the item its expander.
constexpr int kPlaceholderRole = Qt::UserRole + 1;

QStringList systemDrives() {
    QStringList drives;
    for (const std::string& point : CurrentMountPoints()) {
        const QString path = QString::fromStdString(point);
        if (QFileInfo(path).isDir()) {
            drives << path;
        }
    }
    return drives;
}

// The drive `path` lies on: the longest drive that is `path` or a parent of it.
int driveOf(const QStringList& drives, const QString& path) {
    int best = 0;
    qsizetype bestLength = -1;
    for (int i = 0; i < drives.size(); ++i) {
        const QString& d = drives[i];
        const bool under = path == d || d == "/" || path.startsWith(d + '/');
        if (under && d.size() > bestLength) {
            best = i;
            bestLength = d.size();
        }
    }
    return best;
}

} // namespace

TDirBrowse::TDirBrowse(QWidget* parent) : QDialog(parent) {
    build(systemDrives());
    goTo(QDir::currentPath());
}

TDirBrowse::TDirBrowse(const QStringList& drives, const QString& start, QWidget* parent)
    : QDialog(parent) {
    build(drives.isEmpty() ? QStringList{"/"} : drives);
    goTo(start);
}

void TDirBrowse::build(const QStringList& drives) {
    setObjectName("TDirBrowse");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(uiText(TextId::Browse));

    cboxDrive = new QComboBox(this);
    cboxDrive->setObjectName("cboxDrive");
    drives_ = drives;
    cboxDrive->addItems(drives);
    cboxDrive->setAccessibleName("Drive");

    tvwDirs = new QTreeWidget(this);
    tvwDirs->setObjectName("tvwDirs");
    tvwDirs->setAccessibleName("Directories");
    tvwDirs->setHeaderHidden(true);
    tvwDirs->setColumnCount(1);
    tvwDirs->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tvwDirs->header()->setStretchLastSection(false);

    cmdOK = new QPushButton(uiText(TextId::Ok), this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(uiText(TextId::Cancel), this);
    cmdCancel->setObjectName("cmdCancel");

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addWidget(cboxDrive);
    layout->addWidget(tvwDirs, 1);
    layout->addLayout(buttons);

    // The keyboard starts in the tree: arrow keys in the drive list would
    // change the drive.
    tvwDirs->setFocus();

    connect(cboxDrive, &QComboBox::activated, this, &TDirBrowse::cboxDriveChange);
    connect(tvwDirs, &QTreeWidget::itemExpanded, this, &TDirBrowse::fillChildren);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    resize(308, 251);
    if (QScreen* s = screen()) {
        move(s->availableGeometry().center() - rect().center());
    }
}

void TDirBrowse::setCaptions(const QString& caption, const QString& ok, const QString& cancel) {
    setWindowTitle(caption);
    cmdOK->setText(ok);
    cmdCancel->setText(cancel);
}

QString TDirBrowse::directory() const {
    if (const QTreeWidgetItem* item = tvwDirs->currentItem()) {
        return item->data(0, kPathRole).toString();
    }
    return cboxDrive->currentText();
}

void TDirBrowse::cboxDriveChange(int index) {
    showDrive(cboxDrive->itemText(index));
}

void TDirBrowse::showDrive(const QString& root) {
    tvwDirs->clear();
    QTreeWidgetItem* top = newItem(root, root);
    tvwDirs->addTopLevelItem(top);
    top->setExpanded(true);
    tvwDirs->setCurrentItem(top);
}

// Shows the drive of `path` and opens the tree down to `path`, as far as it
// exists; the deepest directory reached becomes the current one.
void TDirBrowse::goTo(const QString& path) {
    const QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const int drive = driveOf(drives_, target);
    cboxDrive->setCurrentIndex(drive);
    const QString root = cboxDrive->itemText(drive);
    showDrive(root);

    QTreeWidgetItem* item = tvwDirs->topLevelItem(0);
    const QString rest = target.mid(root.size());
    for (const QString& name : rest.split('/', Qt::SkipEmptyParts)) {
        QTreeWidgetItem* next = child(item, name);
        if (next == nullptr) {
            break;
        }
        item->setExpanded(true);
        item = next;
    }
    tvwDirs->setCurrentItem(item);
    tvwDirs->scrollToItem(item);
}

QTreeWidgetItem* TDirBrowse::newItem(const QString& path, const QString& label) {
    auto* item = new QTreeWidgetItem(QStringList{label});
    item->setData(0, kPathRole, path);
    auto* placeholder = new QTreeWidgetItem;
    placeholder->setData(0, kPlaceholderRole, true);
    item->addChild(placeholder);
    return item;
}

// Reads the subdirectories of `item` the first time it is opened.
void TDirBrowse::fillChildren(QTreeWidgetItem* item) {
    if (item->childCount() != 1 || !item->child(0)->data(0, kPlaceholderRole).toBool()) {
        return;
    }
    delete item->takeChild(0);
    const QDir dir(item->data(0, kPathRole).toString());
    const QStringList names =
        dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) {
        item->addChild(newItem(dir.filePath(name), name));
    }
}

// The child directory `name` of `item`, read from disk if needed. A hidden
// directory is not listed, but one on the way to the start is added.
QTreeWidgetItem* TDirBrowse::child(QTreeWidgetItem* item, const QString& name) {
    fillChildren(item);
    for (int i = 0; i < item->childCount(); ++i) {
        if (item->child(i)->text(0) == name) {
            return item->child(i);
        }
    }
    const QString path = QDir(item->data(0, kPathRole).toString()).filePath(name);
    if (!QFileInfo(path).isDir()) {
        return nullptr;
    }
    QTreeWidgetItem* added = newItem(path, name);
    item->addChild(added);
    return added;
}

} // namespace vorl
