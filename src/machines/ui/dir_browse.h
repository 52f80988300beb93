// The directory browser of the configuration dialog's two Browse buttons: a
// list of drives (on Linux the root and the mounted file systems) above the
// directory tree of the chosen drive. OK hands back the tree's current
// directory; the browser itself changes nothing.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

class QComboBox;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace vorl {

class TDirBrowse : public QDialog {
    Q_OBJECT
public:
    // Starts at the process's current directory, with the real mount points
    // of this system as drives.
    explicit TDirBrowse(QWidget* parent = nullptr);
    // Starts at `start` with the given drives (absolute paths).
    TDirBrowse(const QStringList& drives, const QString& start, QWidget* parent = nullptr);

    // Captions given by the caller (its Browse button and its OK and Cancel).
    void setCaptions(const QString& caption, const QString& ok, const QString& cancel);

    // The tree's current directory (the drive's root when nothing is chosen).
    QString directory() const;

private:
    void build(const QStringList& drives);
    void cboxDriveChange(int index);
    void showDrive(const QString& root);
    void goTo(const QString& path);
    void fillChildren(QTreeWidgetItem* item);
    QTreeWidgetItem* newItem(const QString& path, const QString& label);
    QTreeWidgetItem* child(QTreeWidgetItem* item, const QString& name);

    QStringList drives_;
    QComboBox* cboxDrive = nullptr;
    QTreeWidget* tvwDirs = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;
};

} // namespace vorl
