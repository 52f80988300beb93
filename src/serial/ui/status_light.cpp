#include "serial/ui/status_light.h"

#include <QPainter>

namespace vorl {

namespace {

constexpr int kPlainSide = 13;

} // namespace

TStatusLight::TStatusLight(const QString& accessibleName, QWidget* parent) : QWidget(parent) {
    setAccessibleName(accessibleName);
    resize(kPlainSide, kPlainSide);
    describe();
}

void TStatusLight::describe() {
    setAccessibleDescription(lit_ ? tr("lit") : tr("not lit"));
}

void TStatusLight::SetLit(bool lit) {
    if (lit == lit_) {
        return;
    }
    lit_ = lit;
    describe();
    update();
}

void TStatusLight::SetLitColor(const QColor& color) {
    litColor_ = color;
    if (lit_ && glyph_.isNull()) {
        update();
    }
}

void TStatusLight::SetNotLitColor(const QColor& color) {
    notLitColor_ = color;
    if (!lit_ && glyph_.isNull()) {
        update();
    }
}

void TStatusLight::SetGlyph(const QImage& glyph) {
    glyph_ = glyph;
    if (glyph_.isNull()) {
        glyphShown_ = QImage();
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        resize(kPlainSide, kPlainSide);
    } else {
        glyphShown_ = glyph_.convertToFormat(QImage::Format_ARGB32);
        const QRgb transparent = glyphShown_.pixel(0, 0);
        for (int y = 0; y < glyphShown_.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(glyphShown_.scanLine(y));
            for (int x = 0; x < glyphShown_.width(); ++x) {
                if (line[x] == transparent) {
                    line[x] = qRgba(0, 0, 0, 0);
                }
            }
        }
        setFixedSize(glyph_.width() / 2, glyph_.height());
    }
    update();
}

QSize TStatusLight::sizeHint() const {
    if (!glyph_.isNull()) {
        return {glyph_.width() / 2, glyph_.height()};
    }
    return {kPlainSide, kPlainSide};
}

void TStatusLight::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width();
    const int h = height();
    if (!glyph_.isNull()) {
        const int half = glyph_.width() / 2;
        p.drawImage(QPoint(0, 0), glyphShown_, QRect(lit_ ? 0 : half, 0, half, h));
        return;
    }
    p.fillRect(0, 0, w, h, lit_ ? litColor_ : notLitColor_);
    const QColor white(0xFF, 0xFF, 0xFF);
    const QColor grey(0x80, 0x80, 0x80);
    p.fillRect(0, 0, w, 1, white);    // top
    p.fillRect(0, 0, 1, h, white);    // left
    p.fillRect(w - 1, 0, 1, h, grey); // right
    p.fillRect(0, h - 1, w, 1, grey); // bottom
}

} // namespace vorl
