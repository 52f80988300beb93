#include "app_fixture.h"

#include "../legacy_builder.h"

#include "machines/ui/mlist_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace vorl {
namespace {

using test::AppTest;
using test::LegacyBuilder;
using test::ModalDriver;
using test::readBytes;
using test::writeBytes;

// The captions of a machine submenu, in order, whether shown in one column or
// in two; `split` receives the number of items in the first column.
QStringList machineItems(const QMenu* menu, int* split = nullptr) {
    QStringList out;
    if (auto* grid = menu->findChild<QWidget*>("machineColumns")) {
        const auto first = grid->findChild<QWidget*>("column1")->findChildren<QToolButton*>();
        const auto second = grid->findChild<QWidget*>("column2")->findChildren<QToolButton*>();
        for (const auto* b : first) {
            out << b->text();
        }
        for (const auto* b : second) {
            out << b->text();
        }
        if (split) {
            *split = static_cast<int>(first.size());
        }
        return out;
    }
    for (const QAction* a : menu->actions()) {
        out << a->text();
    }
    if (split) {
        *split = static_cast<int>(out.size());
    }
    return out;
}

QAction* machineAction(const QMenu* menu, const QString& caption) {
    for (QAction* a : menu->findChildren<QAction*>()) {
        if (a->text() == caption) {
            return a;
        }
    }
    return nullptr;
}

TEST_F(AppTest, SubmenusFollowCapabilitiesWithPrefixes) {
    writeMachines({{'D', "Mill"}, {'U', "Lathe"}, {'B', "Both"}, {'X', "Spare"}});
    auto form = start();
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Mill", "To: Both"}));
    EXPECT_EQ(machineItems(form->mnuCommUpload), (QStringList{"From: Lathe", "From: Both"}));
    EXPECT_EQ(machineItems(form->mnuConfigEdit), (QStringList{"Mill", "Lathe", "Both", "Spare"}));
    EXPECT_EQ(machineAction(form->mnuCommDownload, "To: Both")->data().toInt(), 3);
    EXPECT_TRUE(form->mnuCommDownload->menuAction()->isEnabled());
    EXPECT_TRUE(form->mnuCommUpload->menuAction()->isEnabled());
    EXPECT_TRUE(form->mnuConfigEdit->menuAction()->isEnabled());
}

// Item captions show the name as it is: "&" is a character of the name, and a
// name in the older files' code page is not garbled.
TEST_F(AppTest, MachineNamesAreShownAsTheyAre) {
    writeMachines({{'D', "R&D mill"}, {'B', "Fr\xe4se"}});
    writeBytes(program() + ".lan", "11,\"Zur \xc3\x9c: \"\n");
    auto form = start();
    QStringList shown;
    for (const QAction* a : form->mnuCommDownload->actions()) {
        shown << a->iconText();
    }
    EXPECT_EQ(shown, (QStringList{QString::fromUtf8("Zur \u00dc: R&D mill"),
                                  QString::fromUtf8("Zur \u00dc: Fr\u00e4se")}));
    EXPECT_EQ(form->mnuConfigEdit->actions().at(0)->text(), "R&&D mill");
    EXPECT_EQ(form->mnuCommUpload->actions().at(0)->text(), QString::fromUtf8("From: Fr\u00e4se"));

    // The machine chosen by an item shows its name the same way.
    ModalDriver driver([](QDialog* d) { d->reject(); });
    form->mnuCommUpload->actions().at(0)->trigger();
    EXPECT_EQ(form->lblMachine->text(), QString::fromUtf8("Fr\u00e4se"));
}

TEST_F(AppTest, LanguagePrefixesAndAnUploadlessTable) {
    writeBytes(program() + ".lan", "11,Nach: \n12,\"Von: \"\n");
    writeMachines({{'D', "Mill"}});
    auto form = start();
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"Nach:Mill"}))
        << "a bare text loses its trailing blank";
    EXPECT_TRUE(form->mnuCommUpload->actions().isEmpty());
    EXPECT_FALSE(form->mnuCommUpload->menuAction()->isEnabled());
    EXPECT_EQ(form->BuildMachineMenus(), 1);
}

TEST_F(AppTest, LongSubmenusBreakIntoTwoColumns) {
    std::vector<std::pair<char, std::string>> machines;
    for (int i = 0; i < 27; ++i) {
        machines.emplace_back(i < 26 ? 'D' : 'U', "M" + std::to_string(i));
    }
    writeMachines(machines);
    auto form = start();
    int split = 0;
    const QStringList downloads = machineItems(form->mnuCommDownload, &split);
    EXPECT_EQ(downloads.size(), 26);
    EXPECT_EQ(split, 13);
    EXPECT_EQ(downloads.front(), "To: M0");
    EXPECT_EQ(downloads.back(), "To: M25");
    const QStringList edits = machineItems(form->mnuConfigEdit, &split);
    EXPECT_EQ(edits.size(), 27);
    EXPECT_EQ(split, 14);
    EXPECT_EQ(machineItems(form->mnuCommUpload), (QStringList{"From: M26"}));

    // An item of the second column works like a plain item.
    ModalDriver driver; // rejects the open dialog
    machineAction(form->mnuCommDownload, "To: M20")->trigger();
    EXPECT_EQ(form->machineList.selected, 21);
    EXPECT_EQ(form->lblMachine->text(), "M20");
    EXPECT_EQ(driver.dialogs, 1);
    EXPECT_EQ(form->lblStatus->text(), "No file specified");
    EXPECT_FALSE(form->cmdGo->isEnabled());

    // A rebuild with fewer machines goes back to one column and leaves no
    // items of the old menu behind.
    for (int i = 13; i < form->machineList.count; ++i) {
        form->machineList[i].capability = '?';
    }
    form->ReloadMachineTable();
    EXPECT_EQ(machineItems(form->mnuCommDownload).size(), 12);
    EXPECT_EQ(form->mnuCommDownload->findChild<QWidget*>("machineColumns"), nullptr);
    EXPECT_EQ(form->mnuCommDownload->findChildren<QAction*>().size(), 12 + 1)
        << "the items and the menu's own action";
}

TEST_F(AppTest, DownloadItemChoosesMachineAndFile) {
    writeMachines({{'D', "Mill"}});
    const std::string prog = dir.file("O2000.nc");
    writeBytes(prog, "%\n");
    std::string startDir;
    ModalDriver driver([&](QDialog* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(fd->objectName(), "OpenDialog");
        EXPECT_EQ(fd->nameFilters(), (QStringList{"NC Programs (*.nc)", "All Files (*)"}));
        fd->selectFile(QString::fromStdString(prog));
        static_cast<QDialog*>(fd)->accept();
    });
    auto form = start();
    form->lblStatus->setText("something");
    machineAction(form->mnuCommDownload, "To: Mill")->trigger();
    EXPECT_EQ(form->machineList.selected, 1);
    EXPECT_EQ(form->lblOperation->text(), "Download");
    EXPECT_EQ(form->lblFilename->text().toStdString(), prog);
    EXPECT_EQ(form->lblStatus->text(), "Ready");
    EXPECT_TRUE(form->cmdGo->isEnabled());
    EXPECT_TRUE(form->mnuFileReview->isEnabled());
    EXPECT_EQ(form->transfer.operation, TransferState::Download);
}

TEST_F(AppTest, UploadItemAddsTheExtensionToATypedName) {
    writeMachines({{'U', "Lathe"}});
    const std::string target = dir.file("part7");
    ModalDriver driver([&](QDialog* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(fd->acceptMode(), QFileDialog::AcceptSave);
        fd->selectFile(QString::fromStdString(target));
        static_cast<QDialog*>(fd)->accept();
    });
    auto form = start();
    form->mnuFileReview->setEnabled(true);
    machineAction(form->mnuCommUpload, "From: Lathe")->trigger();
    EXPECT_EQ(form->lblOperation->text(), "Upload");
    EXPECT_EQ(form->lblFilename->text().toStdString(), target + ".ncc");
    EXPECT_EQ(form->lblStatus->text(), "Ready");
    EXPECT_TRUE(form->cmdGo->isEnabled());
    EXPECT_FALSE(form->mnuFileReview->isEnabled());
    EXPECT_EQ(form->transfer.operation, TransferState::Upload);
}

// The save question refuses a read-only program and a pipe with the reason,
// and stays open for another name.
TEST_F(AppTest, UploadTargetThatMayNotBeReplacedIsRefused) {
    writeMachines({{'U', "Lathe"}});
    const std::string readOnly = dir.file("O1000.ncc");
    writeBytes(readOnly, "%\n");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    const std::string pipe = dir.file("pipe.ncc");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
    const std::string target = dir.file("O2000.ncc");
    std::vector<std::string> refusals;
    std::vector<bool> openAfter;
    ModalDriver driver([&](QDialog* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        ASSERT_NE(fd, nullptr);
        for (const std::string& refused : {readOnly, pipe}) {
            // The refusal comes while this handler runs: answered from here.
            QTimer::singleShot(0, fd, [&] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    refusals.push_back(box->objectName().toStdString() + ": " +
                                       box->text().toStdString());
                    box->accept();
                }
            });
            fd->selectFile(QString::fromStdString(refused));
            static_cast<QDialog*>(fd)->accept();
            openAfter.push_back(fd->isVisible());
        }
        fd->selectFile(QString::fromStdString(target));
        static_cast<QDialog*>(fd)->accept();
    });
    auto form = start();
    machineAction(form->mnuCommUpload, "From: Lathe")->trigger();
    EXPECT_EQ(openAfter, (std::vector<bool>{true, true}));
    EXPECT_EQ(refusals,
              (std::vector<std::string>{"RefusedTargetBox: " + readOnly + ": the file is read-only",
                                        "RefusedTargetBox: " + pipe + ": not a regular file"}));
    EXPECT_EQ(form->lblFilename->text().toStdString(), target);
}

TEST_F(AppTest, ReloadWritesReadsAndRebuilds) {
    writeMachines({{'D', "Mill"}, {'D', "Drill"}, {'U', "Lathe"}});
    auto form = start();
    MachineList& table = form->machineList;
    table[1].capability = '?';          // delete Mill
    table[2].downloadDirectory = "/nc"; // Drill gets a directory
    table[3].capability = 'B';          // Lathe learns to download
    table.selected = 3;
    EXPECT_EQ(form->ReloadMachineTable(), 3);
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Drill", "To: Lathe"}));
    EXPECT_EQ(machineItems(form->mnuConfigEdit), (QStringList{"Drill", "Lathe"}));
    EXPECT_EQ(table.selected, 2) << "the selection stays on Lathe";
    EXPECT_EQ(table[2].name, "Lathe");
    EXPECT_EQ(table[2].downloadDirectory, "") << "no setting of the deleted machine moves over";
    EXPECT_EQ(machineAction(form->mnuCommDownload, "To: Lathe")->data().toInt(), 2);
    const std::string file = readBytes(configFile());
    EXPECT_EQ(file.find("[Mill]"), std::string::npos);
    EXPECT_NE(file.find("[Drill]\nCAP=D\nDIRDN=/nc\n"), std::string::npos) << file;
}

TEST_F(AppTest, ReloadWhoseWriteFailsSaysSo) {
    writeMachines({{'D', "Mill"}});
    auto form = start();
    ModalDriver driver;
    form->configPath = QString::fromStdString(dir.file("gone/vorl.vorlcfg"));
    form->machineList[1].name = "Renamed";
    EXPECT_EQ(form->ReloadMachineTable(), 0);
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].objectName, "WriteFailedBox");
    EXPECT_FALSE(form->mnuConfigEdit->menuAction()->isEnabled());
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Mill"}))
        << "the submenus keep their items";
}

// A save that cannot be written reads the file back as it is: no machine takes
// a setting of another, and a file read only in part is reported, since the
// next save would leave the rest out.
TEST_F(AppTest, AFailedSaveNeverMixesMachinesAndReportsALostPart) {
    writeMachines({{'D', "Mill"}, {'D', "Drill"}, {'D', "Lathe"}});
    MachineList onDisk;
    ASSERT_EQ(ReadConfiguration(configFile(), onDisk), 4);
    onDisk[1].downloadDirectory = "/mill";
    onDisk[3].downloadDirectory = "/lathe";
    writeBytes(configFile(), FormatConfiguration(onDisk));
    auto form = start();
    // The same file with a damaged line before a fourth machine, and a write
    // that fails (the file size limit, as a full disk would).
    const std::string path = dir.file("shop.vorlcfg");
    writeBytes(path, FormatConfiguration(onDisk) + "stray\n[Spare]\nCAP=D\n");
    form->configPath = QString::fromStdString(path);
    ModalDriver driver;
    form->machineList[1].capability = '?'; // delete Mill
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int reloaded = form->ReloadMachineTable();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(reloaded, 4);
    ASSERT_EQ(driver.boxes.size(), 2u);
    EXPECT_EQ(driver.boxes[0].objectName, "WriteFailedBox");
    EXPECT_EQ(driver.boxes[1].objectName, "ConfigCutShortBox");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(form->machineList[i], onDisk[i]) << "slot " << i;
    }
    EXPECT_EQ(machineItems(form->mnuCommDownload),
              (QStringList{"To: Mill", "To: Drill", "To: Lathe"}));
}

TEST_F(AppTest, LegacyFileIsImportedWhenNoConfigurationExists) {
    MachineConfig terminal;
    terminal.capability = 'T';
    MachineConfig mill;
    mill.capability = 'B';
    mill.name = "Old mill";
    mill.triggers[0] = "\x12";
    writeBytes(program() + ".cfg", LegacyBuilder().record(terminal).record(mill).bytes());
    ModalDriver driver;
    auto form = start();
    EXPECT_TRUE(driver.boxes.empty());
    EXPECT_EQ(form->machineList.count, 2);
    EXPECT_EQ(form->machineList[1].triggers[0], "\x12");
    EXPECT_EQ(machineItems(form->mnuCommUpload), (QStringList{"From: Old mill"}));
    EXPECT_FALSE(std::filesystem::exists(configFile()))
        << "the text file is written at the next save only";
}

// The imported machines go into the configuration file at the next save: a
// configuration file that is there but could not be read is kept first.
TEST_F(AppTest, LegacyImportKeepsAnUnreadableConfigurationFile) {
    const std::string content = std::string(kConfigHeader) + "\nstray text\n[Newer mill]\nCAP=D\n";
    writeBytes(configFile(), content);
    MachineConfig terminal;
    terminal.capability = 'T';
    MachineConfig mill;
    mill.capability = 'D';
    mill.name = "Old mill";
    writeBytes(program() + ".cfg", LegacyBuilder().record(terminal).record(mill).bytes());
    ModalDriver driver;
    auto form = start();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].objectName, "ConfigKeptBox");
    EXPECT_EQ(readBytes(configFile() + ".bak"), content);
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Old mill"}));
    EXPECT_TRUE(std::filesystem::exists(program() + ".cfg"));
}

// "-c" naming an older binary file: it is both files, and it is imported, not
// moved away.
TEST_F(AppTest, LegacyFileNamedByTheConfigOptionIsImportedInPlace) {
    const std::string old = dir.file("shop.cfg");
    MachineConfig terminal;
    terminal.capability = 'T';
    MachineConfig mill;
    mill.capability = 'D';
    mill.name = "Old mill";
    const std::string bytes = LegacyBuilder().record(terminal).record(mill).bytes();
    writeBytes(old, bytes);
    ModalDriver driver;
    auto form = start({"-c", QString::fromStdString(old)});
    EXPECT_TRUE(driver.boxes.empty());
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Old mill"}));
    EXPECT_EQ(readBytes(old), bytes);
    EXPECT_FALSE(std::filesystem::exists(old + ".bak"));
}

TEST_F(AppTest, LegacyFileCutShortKeepsTheCompleteRecordsAndSaysItIsDamaged) {
    MachineConfig terminal;
    terminal.capability = 'T';
    MachineConfig mill;
    mill.capability = 'D';
    mill.name = "Mill";
    const std::string whole = LegacyBuilder().record(terminal).record(mill).record(mill).bytes();
    writeBytes(program() + ".cfg", whole.substr(0, whole.size() - 5));
    ModalDriver driver;
    auto form = start();
    ASSERT_EQ(driver.boxes.size(), 1u);
    EXPECT_EQ(driver.boxes[0].objectName, "DamagedBox");
    EXPECT_EQ(form->machineList.count, 2);
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Mill"}));
}

TEST_F(AppTest, LegacyStringLengthOfSixtyOneEndsTheProgramWithExitCodeThree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    MachineConfig terminal;
    terminal.capability = 'T';
    LegacyBuilder b;
    b.record(terminal).u8('D').badLength(61).str(std::string(61, 'x'));
    writeBytes(program() + ".cfg", b.bytes());
    const std::filesystem::path tmp = dir.path();
    const QString programPath = QString::fromStdString(program());
    const QString settings = settingsFile();
    EXPECT_EXIT(
        {
            // The child answers the stop box and checks it on its way out.
            bool stopBox = false;
            QTimer answer;
            QObject::connect(&answer, &QTimer::timeout, [&] {
                if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                    stopBox =
                        box->icon() == QMessageBox::Critical &&
                        box->text() == "Error reading configuration file. VORL can not proceed.";
                    box->accept();
                }
            });
            answer.start(5);
            MainFormEnvironment env;
            env.programPath = programPath;
            env.arguments = {"vorl"};
            env.settingsFile = settings;
            env.terminate = [&](int code) {
                std::error_code ec;
                std::filesystem::remove_all(tmp, ec);
                std::_Exit(stopBox ? code : 100 + code);
            };
            TMainForm form(env);
            form.show();
            std::_Exit(99); // not reached
        },
        ::testing::ExitedWithCode(3), "");
    EXPECT_FALSE(std::filesystem::exists(configFile())) << "nothing is written";
}

} // namespace
} // namespace vorl

namespace vorl {
namespace {

TEST_F(AppTest, EditMachineSavesThroughTheFileAndRebuildsTheMenus) {
    writeMachines({{'D', "Mill"}, {'D', "Drill"}});
    const std::string before = readBytes(configFile());
    bool confirm = false;
    std::string caption;
    ModalDriver driver([&](QDialog* d) {
        caption = d->windowTitle().toStdString();
        if (!confirm) {
            d->reject();
            return;
        }
        d->findChild<QCheckBox*>("cboxUpload")->setChecked(true);
        QTest::mouseClick(d->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    });
    auto form = start();
    form->machineList.selected = 2; // another machine is prepared

    machineAction(form->mnuConfigEdit, "Mill")->trigger();
    EXPECT_EQ(caption, "Mill");
    EXPECT_EQ(driver.stuck, 0);
    EXPECT_EQ(form->machineList.selected, 1) << "editing selects the edited machine";
    EXPECT_EQ(readBytes(configFile()), before) << "Cancel writes nothing";

    confirm = true;
    machineAction(form->mnuConfigEdit, "Mill")->trigger();
    EXPECT_NE(readBytes(configFile()).find("[Mill]\nCAP=B\n"), std::string::npos);
    EXPECT_EQ(machineItems(form->mnuCommUpload), (QStringList{"From: Mill"}));
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Mill", "To: Drill"}));
    EXPECT_TRUE(form->mnuConfigEdit->menuAction()->isEnabled());
    EXPECT_EQ(driver.stuck, 0);
    EXPECT_TRUE(driver.boxes.empty());
}

TEST_F(AppTest, EditMachineKeepsItsRestartSettingsBesideTheMachineFile) {
    writeMachines({{'D', "Mill"}, {'D', "Lathe"}});
    ModalDriver driver([&](QDialog* d) {
        auto* control = d->findChild<QComboBox*>("cboxControl");
        ASSERT_NE(control, nullptr);
        control->setCurrentIndex(control->findText("Lathe"));
        QTest::mouseClick(d->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    });
    auto form = start();
    machineAction(form->mnuConfigEdit, "Lathe")->trigger();
    EXPECT_EQ(driver.stuck, 0);
    EXPECT_EQ(readBytes(program() + ".restart"),
              "[Lathe]\ncontrol = lathe\nsafe_retract = G28 U0 W0\n");
    EXPECT_EQ(readBytes(configFile()).find("control"), std::string::npos)
        << "the machine file keeps its format";
}

TEST_F(AppTest, EditingAnotherMachineLeavesAPreparedDownloadOnItsMachine) {
    writeMachines({{'D', "Mill"}, {'D', "Drill"}});
    const std::string prog = dir.file("O3.nc");
    writeBytes(prog, "%\n");
    int shownSlot = -1;
    TMainForm* window = nullptr;
    ModalDriver driver([&](QDialog* d) {
        shownSlot = window->machineList.selected;
        d->reject();
    });
    auto form = start({QString::fromStdString(prog), "-m", "drill"});
    window = form.get();
    ASSERT_EQ(form->machineList.selected, 2);
    machineAction(form->mnuConfigEdit, "Mill")->trigger();
    EXPECT_EQ(shownSlot, 1) << "the dialog works on the edited machine";
    EXPECT_EQ(form->machineList.selected, 2) << "Connect still goes to the machine shown";
    EXPECT_EQ(form->lblMachine->text(), "Drill");
}

TEST_F(AppTest, MachineListSavesNamesAndOrderThroughTheFile) {
    writeMachines({{'D', "Mill"}, {'U', "Lathe"}});
    ModalDriver driver([&](QDialog* d) {
        auto* list = qobject_cast<TMListForm*>(d);
        ASSERT_NE(list, nullptr);
        QLineEdit* first = list->cellEditor(0);
        first->selectAll();
        QTest::keyClicks(first, "Mill 2");
        QTest::mouseClick(d->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    });
    auto form = start();
    form->mnuConfigMachineList->trigger();
    EXPECT_EQ(driver.dialogs, 1);
    EXPECT_EQ(driver.stuck, 0);
    EXPECT_NE(readBytes(configFile()).find("[Mill 2]\nCAP=D\n"), std::string::npos);
    EXPECT_EQ(machineItems(form->mnuCommDownload), (QStringList{"To: Mill 2"}));
    EXPECT_EQ(machineItems(form->mnuConfigEdit), (QStringList{"Mill 2", "Lathe"}));
}

} // namespace
} // namespace vorl
