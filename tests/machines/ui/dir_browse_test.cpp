#include "machines/ui/dir_browse.h"
#include "machines/ui/mount_points.h"

#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

namespace {

using vorl::RealMountPoints;
using vorl::TDirBrowse;

TEST(MountPoints, RootAndRealFileSystemsOnly) {
    const char* table = "proc /proc proc rw,relatime 0 0\n"
                        "sysfs /sys sysfs rw 0 0\n"
                        "overlay / overlay rw 0 0\n"
                        "tmpfs /run tmpfs rw 0 0\n"
                        "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                        "server:/export /mnt/share nfs4 rw 0 0\n"
                        "/dev/sda2 /home ext4 rw 0 0\n"
                        "/dev/sda2 /home ext4 rw 0 0\n"
                        "cgroup /sys/fs/cgroup/cpu cgroup rw 0 0\n"
                        "/dev/sda3 /back\\134slash ext4 rw 0 0\n"
                        "short line\n"
                        "/dev/sda4 /cut\\04 ext4 rw 0 0";
    const std::vector<std::string> expected = {"/",     "/back\\slash",     "/cut\\04",
                                               "/home", "/media/usb stick", "/mnt/share"};
    EXPECT_EQ(RealMountPoints(table), expected);
    EXPECT_EQ(RealMountPoints(""), std::vector<std::string>{"/"});
}

class DirBrowseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp.isValid());
        root = QDir(temp.path()).canonicalPath();
        ASSERT_TRUE(QDir(root).mkpath("jobs/.hidden/deep"));
        ASSERT_TRUE(QDir(root).mkpath("jobs/mill"));
    }
    QTemporaryDir temp;
    QString root;
};

TEST_F(DirBrowseTest, StartsAtTheGivenDirectoryOnItsDrive) {
    TDirBrowse browser({"/", root}, root + "/jobs/.hidden/deep");
    browser.show();
    EXPECT_EQ(browser.findChild<QComboBox*>("cboxDrive")->currentText(), root);
    auto* tree = browser.findChild<QTreeWidget*>("tvwDirs");
    EXPECT_EQ(tree->topLevelItem(0)->text(0), root);
    EXPECT_EQ(tree->currentItem()->text(0), "deep");
    EXPECT_EQ(browser.directory(), root + "/jobs/.hidden/deep");
    EXPECT_EQ(browser.windowTitle(), "Browse");
}

TEST_F(DirBrowseTest, DriveListDrivesTheTree) {
    TDirBrowse browser({"/", root}, root);
    browser.show();
    auto* drives = browser.findChild<QComboBox*>("cboxDrive");
    auto* tree = browser.findChild<QTreeWidget*>("tvwDirs");

    // Choosing a directory in the tree: only visible subdirectories are listed.
    QTreeWidgetItem* top = tree->topLevelItem(0);
    ASSERT_EQ(top->childCount(), 1);
    QTreeWidgetItem* jobs = top->child(0);
    tree->expandItem(jobs);
    ASSERT_EQ(jobs->childCount(), 1);
    EXPECT_EQ(jobs->child(0)->text(0), "mill");
    tree->setCurrentItem(jobs->child(0));
    EXPECT_EQ(browser.directory(), root + "/jobs/mill");

    drives->setFocus();
    drives->setCurrentIndex(0);
    emit drives->activated(0);
    EXPECT_EQ(tree->topLevelItem(0)->text(0), "/");
    EXPECT_EQ(browser.directory(), "/");
}

TEST_F(DirBrowseTest, StartsAtTheCurrentDirectoryAndCancelReturnsNothing) {
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(root + "/jobs"));
    TDirBrowse browser;
    QDir::setCurrent(before);
    EXPECT_EQ(browser.directory(), root + "/jobs");
    browser.setCaptions("Durchsuchen", "Gut", "Abbruch");
    browser.show();
    EXPECT_EQ(browser.findChild<QPushButton*>("cmdCancel")->text(), "Abbruch");
    QTest::mouseClick(browser.findChild<QPushButton*>("cmdCancel"), Qt::LeftButton);
    EXPECT_EQ(browser.result(), QDialog::Rejected);
}

} // namespace
