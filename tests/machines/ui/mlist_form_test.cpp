#include "machines/ui/mlist_form.h"

#include "../../temp_dir.h"
#include "dialog_helpers.h"
#include "machines/config_file.h"
#include "machines/machine_table.h"
#include "text/language_table.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using vorl::MachineConfig;
using vorl::MachineList;
using vorl::NewMachineDefaults;
using vorl::TMListForm;
using vorl::test::sampleMachines;

MachineList withMachines(int machines) {
    MachineList list = sampleMachines();
    for (int i = 1; i <= machines; ++i) {
        list[i] = NewMachineDefaults();
        list[i].name = "M" + std::to_string(i);
        list[i].port = static_cast<int16_t>(i % 9 + 1);
    }
    list.count = machines + 1;
    return list;
}

class MListFormTest : public ::testing::Test {
protected:
    void open() {
        reloads = 0;
        form = std::make_unique<TMListForm>(machines, [this] { ++reloads; });
        form->show();
    }
    QPushButton* button(const char* name) { return form->findChild<QPushButton*>(name); }
    void click(const char* name) { QTest::mouseClick(button(name), Qt::LeftButton); }
    QTableWidget* grid() { return form->findChild<QTableWidget*>("MachineGrid"); }
    QString cell(int row) { return form->cellEditor(row)->text(); }
    void selectRow(int row) {
        // Entering a cell's editor makes its row the selected one.
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        form->cellEditor(row)->setFocus();
        ASSERT_EQ(grid()->currentRow(), row);
    }
    void retype(int row, const QString& text) {
        QLineEdit* editor = form->cellEditor(row);
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_Backspace);
        QTest::keyClicks(editor, text);
    }
    std::vector<bool> enabled() {
        std::vector<bool> out;
        for (const char* name : {"cmdMoveUp", "cmdMoveDown", "cmdAdd", "cmdDelete", "cmdOK"}) {
            out.push_back(button(name)->isEnabled());
        }
        return out;
    }

    MachineList machines = sampleMachines();
    std::unique_ptr<TMListForm> form;
    int reloads = 0;
};

// (Qt code cannot name MachineList::slots: Qt defines "slots" as a macro.)
void expectSameSlots(const MachineList& a, const MachineList& b) {
    for (int i = 0; i < MachineList::kSlots; ++i) {
        EXPECT_EQ(a[i], b[i]) << "slot " << i;
    }
}

const std::vector<bool> kNoneEnabled = {false, false, false, false, false};
const std::vector<bool> kAllEnabled = {true, true, true, true, true};

TEST_F(MListFormTest, PromptForTheFirstMachine) {
    machines.count = 1;
    open();
    ASSERT_EQ(grid()->rowCount(), 1);
    EXPECT_EQ(cell(0), "");
    EXPECT_EQ(form->cellEditor(0)->placeholderText(), "<Enter name of first machine here>");
    EXPECT_EQ(enabled(), kNoneEnabled);
    EXPECT_TRUE(button("cmdCancel")->isEnabled());

    QTest::keyClicks(form->cellEditor(0), "  Haas VF2 ");
    EXPECT_EQ(enabled(), kAllEnabled);
    click("cmdOK");
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(reloads, 1);
    ASSERT_EQ(machines.count, 2);
    EXPECT_EQ(machines[0].capability, 'T');
    MachineConfig expected = NewMachineDefaults();
    expected.name = "Haas VF2";
    EXPECT_EQ(machines[1], expected);
}

TEST_F(MListFormTest, MovingAMachineMovesAllItsSettings) {
    const MachineConfig mill = machines[1];
    const MachineConfig lathe = machines[2];
    open();
    EXPECT_EQ(cell(0), "Mill");
    EXPECT_EQ(cell(1), "Lathe");

    selectRow(1);
    click("cmdMoveDown"); // already last: nothing happens
    EXPECT_EQ(cell(1), "Lathe");
    click("cmdMoveUp");
    EXPECT_EQ(cell(0), "Lathe");
    EXPECT_EQ(cell(1), "Mill");
    EXPECT_EQ(grid()->currentRow(), 0);
    click("cmdMoveUp"); // already first
    EXPECT_EQ(cell(0), "Lathe");

    click("cmdOK");
    ASSERT_EQ(machines.count, 3);
    EXPECT_EQ(machines[1], lathe);
    EXPECT_EQ(machines[2], mill);
    // The main window had the mill selected: the selection follows it.
    EXPECT_EQ(machines.selected, 2);
}

TEST_F(MListFormTest, MoveDownAndScrollingKeepTheRowVisible) {
    machines = withMachines(30);
    open();
    selectRow(0);
    for (int i = 0; i < 29; ++i) {
        click("cmdMoveDown");
    }
    EXPECT_EQ(cell(29), "M1");
    EXPECT_EQ(grid()->currentRow(), 29);
    const QRect rowRect = grid()->visualRect(grid()->model()->index(29, 0));
    EXPECT_TRUE(grid()->viewport()->rect().contains(rowRect));
    click("cmdOK");
    EXPECT_EQ(machines[30].name, "M1");
    EXPECT_EQ(machines[30].port, 2);
    EXPECT_EQ(machines[1].name, "M2");
}

TEST_F(MListFormTest, DeletingTheOnlyMachineBringsThePromptBack) {
    machines.count = 2;
    open();
    selectRow(0);
    click("cmdDelete");
    ASSERT_EQ(grid()->rowCount(), 1);
    EXPECT_EQ(cell(0), "");
    EXPECT_EQ(form->cellEditor(0)->placeholderText(), "<Enter name of first machine here>");
    EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false, false, true}));
    click("cmdOK");
    EXPECT_EQ(machines.count, 1);
    EXPECT_EQ(machines[0].capability, 'T');
    EXPECT_EQ(machines.selected, 0);
}

TEST_F(MListFormTest, DeleteInTheMiddleAndAtTheEnd) {
    machines = withMachines(4);
    const MachineConfig m3 = machines[3];
    open();
    selectRow(1);
    click("cmdDelete");
    EXPECT_EQ(grid()->rowCount(), 3);
    EXPECT_EQ(cell(1), "M3");
    EXPECT_EQ(grid()->currentRow(), 1);
    selectRow(2);
    click("cmdDelete");
    EXPECT_EQ(grid()->rowCount(), 2);
    EXPECT_EQ(grid()->currentRow(), 1);
    click("cmdOK");
    ASSERT_EQ(machines.count, 3);
    EXPECT_EQ(machines[1].name, "M1");
    EXPECT_EQ(machines[2], m3);
}

TEST_F(MListFormTest, AddStopsAtFortyEightMachines) {
    machines = withMachines(47);
    open();
    EXPECT_FALSE(button("cmdAdd")->isEnabled());

    machines = withMachines(46);
    open();
    EXPECT_TRUE(button("cmdAdd")->isEnabled());
    click("cmdAdd");
    EXPECT_EQ(grid()->rowCount(), 47);
    EXPECT_TRUE(button("cmdAdd")->isEnabled());
    click("cmdAdd");
    EXPECT_EQ(grid()->rowCount(), 48);
    EXPECT_FALSE(button("cmdAdd")->isEnabled());
    EXPECT_EQ(grid()->currentRow(), 47);
    QTest::keyClicks(form->cellEditor(47), "Last");
    EXPECT_FALSE(button("cmdAdd")->isEnabled());
    selectRow(3);
    click("cmdDelete");
    EXPECT_TRUE(button("cmdAdd")->isEnabled());
    click("cmdOK");
    // 46 + "Last" - the deleted one; the second added row stays unnamed.
    ASSERT_EQ(machines.count, 47);
    EXPECT_EQ(machines[46].name, "Last");
    EXPECT_EQ(machines[46].baudRate, 4800);
}

TEST_F(MListFormTest, UnnamedRowsAreDroppedOnOK) {
    open();
    click("cmdAdd");
    EXPECT_EQ(grid()->rowCount(), 3);
    retype(0, "   ");
    click("cmdOK");
    ASSERT_EQ(machines.count, 2);
    EXPECT_EQ(machines[1].name, "Lathe");
    EXPECT_EQ(machines[1].port, 3);
    // The selected mill is gone: nothing is selected.
    EXPECT_EQ(machines.selected, 0);
}

TEST_F(MListFormTest, CancelAndEscapeChangeNothing) {
    const MachineList before = machines;
    open();
    retype(0, "Renamed");
    click("cmdAdd");
    click("cmdCancel");
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_EQ(reloads, 0);
    EXPECT_EQ(machines.count, before.count);
    expectSameSlots(machines, before);

    open();
    selectRow(0);
    click("cmdDelete");
    QTest::keyClick(form->cellEditor(0), Qt::Key_Escape);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(reloads, 0);
    expectSameSlots(machines, before);
}

TEST_F(MListFormTest, NamesThatWouldNotSurviveTheFileAreRefused) {
    open();
    retype(1, "Lathe [B]");
    EXPECT_EQ(cell(1), "Lathe [B");
    retype(0, QString(250, 'x'));
    EXPECT_EQ(cell(0).size(), 198);
}

// A name pasted with line breaks (copied from a terminal, say) keeps one line.
TEST_F(MListFormTest, PastedLineBreaksAreLeftOutOfAName) {
    open();
    QLineEdit* editor = form->cellEditor(1);
    editor->setFocus();
    editor->selectAll();
    QApplication::clipboard()->setText("Lathe\n2\r\n");
    editor->paste();
    EXPECT_EQ(cell(1), "Lathe2");
    click("cmdOK");
    EXPECT_EQ(machines[2].name, "Lathe2");
}

// Tab goes through the names and on to every button, back to the first name;
// Up and Down move between the rows.
TEST_F(MListFormTest, KeyboardReachesEveryRowAndButton) {
    machines = withMachines(3);
    open();
    selectRow(0);
    QStringList order;
    for (int i = 0; i < 10; ++i) {
        QWidget* f = QApplication::focusWidget();
        ASSERT_NE(f, nullptr);
        order << (qobject_cast<QLineEdit*>(f) ? f->accessibleName() : f->objectName());
        QTest::keyClick(f, Qt::Key_Tab);
    }
    EXPECT_EQ(order, (QStringList{"Machine 1", "Machine 2", "Machine 3", "cmdMoveUp", "cmdMoveDown",
                                  "cmdAdd", "cmdDelete", "cmdCancel", "cmdOK", "Machine 1"}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(QApplication::focusWidget(), form->cellEditor(2));
    EXPECT_EQ(grid()->currentRow(), 2);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(QApplication::focusWidget(), form->cellEditor(2)) << "the last row stays";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    EXPECT_EQ(QApplication::focusWidget(), form->cellEditor(1));
    EXPECT_EQ(grid()->currentRow(), 1);
    // The buttons work on the row chosen with the keyboard.
    click("cmdMoveUp");
    EXPECT_EQ(cell(0), "M2");
    EXPECT_EQ(cell(1), "M1");
}

TEST_F(MListFormTest, LanguageTexts) {
    vorl::Language().setText(278, "Maschinenliste");
    vorl::Language().setText(67, "Neu");
    vorl::Language().setText(101, "<Name der ersten Maschine>");
    machines.count = 1;
    open();
    vorl::Language().clear();
    EXPECT_EQ(form->windowTitle(), "Maschinenliste");
    EXPECT_EQ(button("cmdAdd")->text(), "Neu");
    EXPECT_EQ(button("cmdDelete")->text(), "Delete");
    EXPECT_EQ(form->cellEditor(0)->placeholderText(), "<Name der ersten Maschine>");
}

// The dialog's reload writes the real configuration file and reads it back.
TEST_F(MListFormTest, NewOrderReachesTheFile) {
    vorl::test::TempDir dir;
    const std::string path = dir.file("vorl.vorlcfg");
    ASSERT_EQ(vorl::WriteConfiguration(path, machines), 3);
    const MachineConfig mill = machines[1];
    const MachineConfig lathe = machines[2];

    form = std::make_unique<TMListForm>(machines, [&] {
        ASSERT_EQ(vorl::WriteConfiguration(path, machines), machines.count);
        ASSERT_EQ(vorl::ReadConfiguration(path, machines), machines.count);
    });
    form->show();
    selectRow(0);
    click("cmdMoveDown");
    click("cmdAdd");
    QTest::keyClicks(form->cellEditor(2), "Robodrill");
    click("cmdOK");

    const std::string text = vorl::test::readBytes(path);
    const size_t lathePos = text.find("[Lathe]");
    const size_t millPos = text.find("[Mill]");
    const size_t newPos = text.find("[Robodrill]");
    ASSERT_NE(newPos, std::string::npos);
    EXPECT_LT(lathePos, millPos);
    EXPECT_LT(millPos, newPos);

    MachineList reread;
    ASSERT_EQ(vorl::ReadConfiguration(path, reread), 4);
    EXPECT_EQ(reread[1], lathe);
    EXPECT_EQ(reread[2], mill);
    MachineConfig added = NewMachineDefaults();
    added.name = "Robodrill";
    EXPECT_EQ(reread[3], added);
}

} // namespace
