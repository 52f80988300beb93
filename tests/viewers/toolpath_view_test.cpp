// The painted toolpath: a square drawn where the geometry puts it, with its
// aspect kept, and nothing painted inside it.
#include "restart/toolpath.h"
#include "viewer_test_util.h"
#include "viewers/toolpath_panel.h"
#include "viewers/toolpath_view.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <QImage>
#include <QPixmap>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace vorl {
namespace {

// Some pixel within a pixel of (x, y) is painted in a blue-dominated colour:
// the first tool's.
bool toolColourNear(const QImage& image, double x, double y) {
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            const QColor c = image.pixelColor(static_cast<int>(std::floor(x)) + dx,
                                              static_cast<int>(std::floor(y)) + dy);
            if (c.blue() - c.red() > 60) {
                return true;
            }
        }
    }
    return false;
}

TEST(ToolpathView, ASquaresCornersAreDrawnWhereTheGeometrySays) {
    auto path = std::make_shared<Toolpath>(
        ToolpathOf("G21 G90 G54\nG00 X0 Y0 Z0\nG01 X40. F100.\nY40.\nX0\nY0\n"));
    ASSERT_EQ(path->feedMoves, 4);
    ToolpathView view;
    view.resize(300, 400);
    view.setPath(path, false);
    view.fitPath();
    ASSERT_EQ(ToolpathView::toolColour(0).blue() - ToolpathView::toolColour(0).red() > 60, true);
    const QImage image = view.grab().toImage();
    ASSERT_EQ(image.size(), QSize(300, 400));
    // Fitted with a twentieth of the width on each side; the square stays
    // square, centred in the taller window.
    const double corners[4][2] = {{0, 0}, {40, 0}, {40, 40}, {0, 40}};
    const double expected[4][2] = {{15, 335}, {285, 335}, {285, 65}, {15, 65}};
    for (int i = 0; i < 4; ++i) {
        const ScreenPoint p = view.projection().toScreen(corners[i][0], corners[i][1], 0);
        EXPECT_NEAR(p.x, expected[i][0], 1e-6) << "corner " << i;
        EXPECT_NEAR(p.y, expected[i][1], 1e-6) << "corner " << i;
        EXPECT_TRUE(toolColourNear(image, p.x, p.y)) << "corner " << i;
    }
    EXPECT_TRUE(toolColourNear(image, 15, 200)) << "the left side";
    const QColor ground = view.palette().color(QPalette::Base);
    EXPECT_EQ(image.pixelColor(150, 200), ground) << "inside";
    EXPECT_EQ(image.pixelColor(40, 200), ground) << "inside, near the left side";
    EXPECT_EQ(image.pixelColor(150, 30), ground) << "above";
}

// Cancel stops the reading thread, also while it waits for the window to take
// what it read (it is not left waiting for ever); the path keeps the blocks
// read and says it was cancelled.
TEST(ToolpathPanel, CancelStopsTheReadingAndKeepsWhatWasRead) {
    test::TempFiles files;
    QByteArray program = "G21 G90 G54\nG00 X0. Y0. Z0.\n";
    for (int i = 0; i < 400000; ++i) {
        program += i % 2 == 0 ? "G01 X1. F9.\n" : "X0.\n";
    }
    const std::string file = files.write("long.nc", program).toStdString();
    ToolpathPanel panel;
    panel.show();
    panel.load(file, {});
    auto* cancel = test::child<QPushButton>(&panel, "cmdCancel");
    ASSERT_TRUE(cancel->isVisible());
    QTest::mouseClick(cancel, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.isRead(); }, 20000));
    EXPECT_FALSE(test::child<QProgressBar>(&panel, "prgLoad")->isVisible());
    const QString summary = test::child<QLabel>(&panel, "lblSummary")->text();
    EXPECT_TRUE(summary.startsWith("Cancelled after block ")) << summary.toStdString();
    ASSERT_NE(panel.view()->path(), nullptr);
    // The thread cannot have read to the end: from its second megabyte on it
    // waits for the window to take each part, and the window took none
    // before Cancel.
    EXPECT_LT(panel.view()->path()->blocks, 400002);
    // Closed while its thread waits for it: the window does not hang.
    {
        ToolpathPanel closed;
        closed.load(file, {});
    }
}

} // namespace
} // namespace vorl
