// What a screen reader hears through the desktop's accessibility bus, not only
// what Qt's interfaces say inside the process: the dialogs are shown on a
// virtual display with the bus bridge on, and a client on the bus
// (atspi_tree.py) reads them as a screen reader would.
#include "app_fixture.h"
#include "machines/machine_table.h"
#include "machines/ui/mlist_form.h"

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

namespace {

using vorl::test::AppTest;

struct Node {
    int depth = 0;
    QString role, name, description, text;
};

// The objects of this process on the bus, in tree order.
std::vector<Node> busTree() {
    QProcess client;
    client.start(QStringLiteral(VORL_PYTHON3),
                 {QStringLiteral(VORL_SOURCE_DIR "/tests/a11y/atspi_tree.py"),
                  QString::number(::getpid()), QStringLiteral("60")});
    // The bus asks this process about its widgets: its events must run while
    // the client reads.
    EXPECT_TRUE(QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, 120000));
    EXPECT_EQ(client.exitCode(), 0) << client.readAllStandardError().toStdString();
    std::vector<Node> nodes;
    for (const QString& line : QString::fromUtf8(client.readAllStandardOutput()).split('\n')) {
        const QStringList f = line.split('\t');
        if (f.size() == 5) {
            nodes.push_back({f[0].toInt(), f[1], f[2], f[3], f[4]});
        }
    }
    return nodes;
}

std::string show(const std::vector<Node>& nodes) {
    std::string s;
    for (const Node& n : nodes) {
        s += std::string(size_t(n.depth) * 2, ' ') + n.role.toStdString() + " | " +
             n.name.toStdString() + " | " + n.description.toStdString() + " | " +
             n.text.toStdString() + "\n";
    }
    return s;
}

// The Machine List with no machine yet: its first cell invites a name, and a
// screen reader moving into that cell must hear the invitation.
TEST(AccessibilityBus, MachineListPromptsForTheFirstMachine) {
    vorl::MachineList machines;
    machines[0].capability = 'T';
    machines.count = 1;
    vorl::TMListForm form(machines, [] {});
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const std::vector<Node> nodes = busTree();
    const auto cell = std::find_if(nodes.begin(), nodes.end(),
                                   [](const Node& n) { return n.role == "table cell"; });
    ASSERT_NE(cell, nodes.end()) << show(nodes);
    EXPECT_EQ(cell->name, "Machine 1") << show(nodes);
    EXPECT_EQ(cell->description, "<Enter name of first machine here>") << show(nodes);

    // A name typed there is what the cell then says; the prompt is gone.
    QTest::keyClicks(form.cellEditor(0), "Mill 1");
    const std::vector<Node> named = busTree();
    const auto first = std::find_if(named.begin(), named.end(),
                                    [](const Node& n) { return n.role == "table cell"; });
    ASSERT_NE(first, named.end()) << show(named);
    EXPECT_EQ(first->name, "Mill 1") << show(named);
    EXPECT_EQ(first->description, "") << show(named);
}

// The main window's value fields: the value is what the field says, its
// caption what it is.
TEST_F(AppTest, ValueFieldsSayTheirValuesOnTheBus) {
    writeMachines({{'D', "Mill"}});
    const std::string prog = dir.file("O1000.nc");
    vorl::test::writeBytes(prog, "%\nG0X0\n%\n");
    auto form = start({QString::fromStdString(prog), "-m", "Mill"});
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    const std::vector<Node> nodes = busTree();
    const auto field = [&](const QString& description) {
        return std::find_if(nodes.begin(), nodes.end(),
                            [&](const Node& n) { return n.description == description; });
    };
    const std::pair<QString, QString> fields[] = {
        {"Operation", "Download"}, {"Machine", "Mill"}, {"Status", "Ready"}};
    for (const auto& [caption, value] : fields) {
        const auto it = field(caption);
        ASSERT_NE(it, nodes.end()) << caption.toStdString() << "\n" << show(nodes);
        EXPECT_EQ(it->name, value) << show(nodes);
    }
}

} // namespace
