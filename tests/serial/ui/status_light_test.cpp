// The status light widget: what it paints, its glyph, and what it tells
// screen readers.
#include "serial/ui/status_light.h"

#include <QCoreApplication>
#include <QPainter>
#include <QtTest/QTest>
#include <gtest/gtest.h>

namespace vorl {
namespace {

const QRgb kRed = qRgb(0xFF, 0, 0);
const QRgb kGreen = qRgb(0, 0x80, 0);
const QRgb kWhite = qRgb(0xFF, 0xFF, 0xFF);
const QRgb kGrey = qRgb(0x80, 0x80, 0x80);

QRgb at(const QImage& image, int x, int y) {
    return image.pixel(x, y) | 0xFF000000;
}

TEST(StatusLight, PaintsItsColourInsideAWhiteTopLeftAndAGreyBottomRightEdge) {
    TStatusLight lamp("DSR");
    EXPECT_EQ(lamp.size(), QSize(13, 13));
    lamp.resize(13, 8);
    for (bool lit : {false, true}) {
        lamp.SetLit(lit);
        const QImage image = lamp.grab().toImage();
        ASSERT_EQ(image.size(), QSize(13, 8));
        const QRgb fill = lit ? kRed : kGreen;
        EXPECT_EQ(at(image, 6, 4), fill) << lit;
        EXPECT_EQ(at(image, 1, 1), fill) << lit;
        EXPECT_EQ(at(image, 11, 6), fill) << lit;
        EXPECT_EQ(at(image, 6, 0), kWhite) << "top";
        EXPECT_EQ(at(image, 0, 4), kWhite) << "left";
        EXPECT_EQ(at(image, 12, 4), kGrey) << "right";
        EXPECT_EQ(at(image, 6, 7), kGrey) << "bottom";
    }
    lamp.SetLitColor(QColor(0, 0, 0xFF));
    EXPECT_EQ(at(lamp.grab().toImage(), 6, 4), qRgb(0, 0, 0xFF));
}

TEST(StatusLight, GlyphShowsItsLeftHalfLitAndItsRightHalfNotWithTheCornerColourTransparent) {
    QImage glyph(20, 9, QImage::Format_RGB32);
    glyph.fill(Qt::magenta); // the top-left colour: transparent
    QPainter(&glyph).fillRect(2, 2, 6, 5, Qt::blue);
    QPainter(&glyph).fillRect(12, 2, 6, 5, Qt::yellow);

    QWidget parent;
    parent.resize(40, 30);
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, Qt::cyan);
    parent.setPalette(palette);
    parent.setAutoFillBackground(true);
    auto* lamp = new TStatusLight("RX", &parent);
    lamp->SetGlyph(glyph);
    lamp->resize(30, 30);
    EXPECT_EQ(lamp->size(), QSize(10, 9)) << "half the glyph, whatever is set";

    for (bool lit : {true, false}) {
        lamp->SetLit(lit);
        const QImage image = parent.grab(lamp->geometry()).toImage();
        EXPECT_EQ(at(image, 4, 4), lit ? qRgb(0, 0, 0xFF) : qRgb(0xFF, 0xFF, 0)) << lit;
        EXPECT_EQ(at(image, 0, 0), qRgb(0, 0xFF, 0xFF)) << "the parent shows through";
    }
    lamp->SetGlyph(QImage());
    EXPECT_EQ(lamp->size(), QSize(13, 13));
}

// Counts the paint events of the widget it watches.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

TEST(StatusLight, SaysLitOrNotAndRepaintsOnlyOnAChange) {
    TStatusLight lamp("TX");
    EXPECT_EQ(lamp.accessibleName(), "TX");
    EXPECT_EQ(lamp.accessibleDescription(), "not lit");
    PaintCounter counter;
    lamp.installEventFilter(&counter);
    lamp.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&lamp));
    ASSERT_TRUE(QTest::qWaitFor([&] { return counter.paints > 0; }));

    counter.paints = 0;
    lamp.SetLit(true);
    EXPECT_EQ(lamp.accessibleDescription(), "lit");
    EXPECT_TRUE(lamp.property("lit").toBool());
    ASSERT_TRUE(QTest::qWaitFor([&] { return counter.paints == 1; }));
    lamp.SetLit(true);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.paints, 1);
}

} // namespace
} // namespace vorl
