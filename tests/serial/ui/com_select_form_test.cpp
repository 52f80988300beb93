#include "serial/ui/com_select_form.h"

#include "serial_test_util.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <gtest/gtest.h>

namespace vorl {
namespace {

// Clicks `caption` on the modal dialog once it is up.
void clickOnModal(const QString& caption) {
    QTimer::singleShot(0, [caption] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr) {
            clickOnModal(caption);
            return;
        }
        for (auto* b : modal->findChildren<QPushButton*>()) {
            if (b->text() == caption) {
                QTest::mouseClick(b, Qt::LeftButton);
                return;
            }
        }
    });
}

TEST(ComSelectForm, ListsThePortsGivenWithTheirPathsFirstSelected) {
    TComSelectForm form({{1, "/dev/pts/7", false},
                         {3, "/dev/ttyUSB0", true},
                         {4, "/dev/ttyS3", false, "no access: not in group 'dialout'"}},
                        nullptr);
    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.lblInvalid->text(), "The configured serial port is not valid.");
    EXPECT_EQ(form.lblChoose->text(), "Please choose another port.");
    ASSERT_EQ(form.cboxPorts->count(), 3);
    EXPECT_FALSE(form.cboxPorts->isEditable());
    EXPECT_TRUE(form.cboxPorts->itemText(0).startsWith("COM1"));
    EXPECT_TRUE(form.cboxPorts->itemText(0).contains("/dev/pts/7"));
    EXPECT_TRUE(form.cboxPorts->itemText(1).startsWith("COM3"));
    EXPECT_TRUE(form.cboxPorts->itemText(1).contains("/dev/ttyUSB0"));
    EXPECT_TRUE(form.cboxPorts->itemText(1).endsWith("(in use)"));
    EXPECT_EQ(form.cboxPorts->itemText(2), "COM4  /dev/ttyS3 (no access: not in group 'dialout')");
    EXPECT_EQ(form.cboxPorts->currentIndex(), 0);
    EXPECT_EQ(form.SelectedComNumber(), 1);
    form.cboxPorts->setCurrentIndex(1);
    EXPECT_EQ(form.SelectedComNumber(), 3);

    EXPECT_TRUE(form.cmdOK->isDefault());
    EXPECT_EQ(form.cmdOK->accessibleName(), "OK");
    EXPECT_EQ(form.cmdCancel->accessibleName(), "Cancel");
    EXPECT_GE(form.width(), 220);
    EXPECT_GE(form.height(), 131);
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
}

TEST(ComSelectForm, ListsThePortsThatExistIncludingOnesHeldElsewhere) {
    for (int n = 1; n <= 50; ++n) {
        const std::string var = "VORL_COM" + std::to_string(n);
        ::setenv(var.c_str(), ("/nonexistent/vorl-select-" + std::to_string(n)).c_str(), 1);
    }
    test::PtyPeer one, three;
    ::setenv("VORL_COM1", one.path().c_str(), 1);
    ::setenv("VORL_COM3", three.path().c_str(), 1);
    TComPort holder(std::make_shared<LoopDelivery>());
    holder.SetComNumber(3);
    holder.SetOpen(true);

    TComSelectForm form;
    ASSERT_EQ(form.cboxPorts->count(), 2);
    EXPECT_EQ(form.cboxPorts->itemText(0), ComSelectEntryText({1, one.path(), false}));
    EXPECT_EQ(form.cboxPorts->itemText(1), ComSelectEntryText({3, three.path(), true}));
    EXPECT_EQ(form.SelectedComNumber(), 1);
    EXPECT_TRUE(form.cmdOK->isEnabled());
}

TEST(ComSelectForm, TwoDigitNumbersAreReadWhole) {
    TComSelectForm form({{12, "/dev/ttyS11", false}}, nullptr);
    EXPECT_EQ(form.SelectedComNumber(), 12);
}

TEST(ComSelectForm, WithNoPortThereIsNothingToConfirm) {
    TComSelectForm form(std::vector<ComPortInfo>{}, nullptr);
    EXPECT_EQ(form.cboxPorts->count(), 0);
    EXPECT_FALSE(form.cmdOK->isEnabled());
    EXPECT_EQ(form.SelectedComNumber(), 0);
}

TEST(ComSelectForm, ConfirmingTheDialogGivesTheChosenNumber) {
    TComSelectForm form({{2, "/dev/pts/1", false}, {5, "/dev/pts/2", false}}, nullptr);
    form.cboxPorts->setCurrentIndex(1);
    clickOnModal("OK");
    EXPECT_EQ(form.exec(), QDialog::Accepted);
    EXPECT_EQ(form.SelectedComNumber(), 5);
}

TEST(ComSelectForm, CancelledAsThePortPromptTheOpenFailsWithNoPortSelected) {
    TComPort::SetPortPrompt([] { return TComSelectForm::Execute(); });
    auto delivery = std::make_shared<LoopDelivery>();
    TComPort port(delivery);
    clickOnModal("Cancel");
    try {
        port.SetOpen(true);
        ADD_FAILURE() << "open did not raise";
    } catch (const ENoPortSelected& e) {
        EXPECT_EQ(e.ErrorCode, -2011);
    }
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.ComNumber(), 0);
    TComPort::SetPortPrompt(nullptr);
}

} // namespace
} // namespace vorl
