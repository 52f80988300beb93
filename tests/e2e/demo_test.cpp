// A download and an upload through the main window, as an operator does them,
// against the simulated machine tool with the demo machine's settings.
#include "app_fixture.h"
#include "sim_process.h"

#include <QFileDialog>
#include <QTest>

#include <cstdlib>

namespace vorl::test {
namespace {

const std::string kDemo = VORL_SOURCE_DIR "/tools/simmachine/demo/";

class DemoTest : public AppTest {
protected:
    DemoTest()
        : sim({"--config", kDemo + "machine.conf", "--program", kDemo + "O1000.nc", "--ready-gap",
               "200", "--received", simDir.file("received"), "--report", simDir.file("report"),
               "--quiet"},
              simDir.file("stderr")) {
        setenv("VORL_COM9", sim.ptyPath().c_str(), 1);
    }
    ~DemoTest() override { unsetenv("VORL_COM9"); }

    // The demo machine as the configuration dialog would store it.
    void writeDemoMachine() {
        MachineList list;
        list[0].capability = 'T';
        MachineConfig& m = list[1];
        m = NewMachineDefaults();
        m.capability = 'B';
        m.name = "Demo mill";
        m.downloadExtension = m.uploadExtension = ".nc";
        m.port = 9;
        m.baudRate = 9600;
        m.handshake = 1;              // Xon/Xoff
        m.eobMode = 2;                // LF, as the demo program has it
        m.uploadFilterChars = "\x03"; // the End string is part of the data
        m.triggers = {"\x12", "\x11", "\x14", "\x06", "\x05", "\x02", "\x06", "\x03"};
        list.count = 2;
        ASSERT_EQ(WriteConfiguration(configFile(), list), 2);
    }

    sim::test::Report report() const { return sim::test::readReport(simDir.file("report")); }

    sim::test::TempDir simDir;
    sim::test::SimProcess sim;
};

QAction* item(QMenu* menu, const QString& text) {
    for (QAction* a : menu->findChildren<QAction*>()) {
        if (a->text() == text) {
            return a;
        }
    }
    return nullptr;
}

bool statusBecomes(TMainForm& form, const QString& text) {
    return QTest::qWaitFor([&] { return form.lblStatus->text() == text; }, 15000);
}

TEST_F(DemoTest, DownloadAndUploadThroughTheWindow) {
    writeDemoMachine();
    const std::string program = kDemo + "O1000.nc";
    const std::string target = dir.file("O1000-back");
    ModalDriver driver([&](QDialog* d) {
        auto* fd = qobject_cast<QFileDialog*>(d);
        ASSERT_NE(fd, nullptr);
        fd->selectFile(
            QString::fromStdString(fd->acceptMode() == QFileDialog::AcceptOpen ? program : target));
        static_cast<QDialog*>(fd)->accept();
    });
    auto form = start();
    form->engine->Protocol1.SetAsciiEOFTimeout(10); // silence ends an upload after 0.5 s

    ASSERT_NE(item(form->mnuCommDownload, "To: Demo mill"), nullptr);
    item(form->mnuCommDownload, "To: Demo mill")->trigger();
    EXPECT_EQ(form->lblStatus->text(), "Ready");
    form->cmdGo->click();
    ASSERT_EQ(form->cmdGo->text(), "Transmit") << form->lblStatus->text().toStdString();
    const std::string prepared = readBytes(form->transfer.tempFileName);
    form->cmdGo->click(); // the block sender runs to the machine tool's answer
    EXPECT_EQ(form->lblStatus->text(), "Machine tool indicates completion");
    EXPECT_TRUE(form->cmdGo->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return sim::test::num(report(), "downloads_completed") == 1; }, 10000));
    EXPECT_EQ(readBytes(simDir.file("received")), prepared);
    EXPECT_EQ(sim::test::num(report(), "overflow"), 0);

    item(form->mnuCommUpload, "From: Demo mill")->trigger();
    EXPECT_EQ(form->lblFilename->text().toStdString(), target + ".nc");
    form->cmdGo->click();
    ASSERT_EQ(form->cmdGo->text(), "Receive") << form->lblStatus->text().toStdString();
    form->cmdGo->click();
    ASSERT_TRUE(statusBecomes(*form, "End-of-data received - File Saved"))
        << form->lblStatus->text().toStdString();
    // The End string, filtered out, leaves no empty block behind.
    EXPECT_EQ(readBytes(target + ".nc"), readBytes(program));
    EXPECT_TRUE(driver.boxes.empty());
}

} // namespace
} // namespace vorl::test
