// TStatusLight: a small painted lamp for the state of a serial line (lit or
// not), switched by a status light controller (serial/status_lights.h) or
// directly. Without a glyph it is a filled rectangle with a raised edge; with
// a glyph the left half of the image shows it lit and the right half unlit.
//
// For screen readers and outside tools its accessible name is the lamp's name
// and its accessible description says "lit" or "not lit".
#pragma once

#include "serial/status_lights.h"

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

namespace vorl {

class TStatusLight : public QWidget, public StatusLamp {
    Q_OBJECT
    Q_PROPERTY(bool lit READ Lit WRITE SetLit)

public:
    // 13 x 13 pixels until resized or given a glyph.
    explicit TStatusLight(const QString& accessibleName = QString(), QWidget* parent = nullptr);

    bool Lit() const override { return lit_; }
    // Repaints only when the state changes.
    void SetLit(bool lit) override;

    QColor LitColor() const { return litColor_; }
    void SetLitColor(const QColor& color);
    QColor NotLitColor() const { return notLitColor_; }
    void SetNotLitColor(const QColor& color);

    // The glyph holds both pictures side by side: lit on the left, unlit on
    // the right; the colour of its top-left pixel is transparent. The lamp
    // takes half the glyph's width and its height whatever size is set; a
    // null image brings back the plain lamp at 13 x 13.
    const QImage& Glyph() const { return glyph_; }
    void SetGlyph(const QImage& glyph);

    // Fixed; setting it does nothing.
    QString Version() const { return QStringLiteral("v1.00"); }
    void SetVersion(const QString&) {}

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void describe();

    bool lit_ = false;
    QColor litColor_{0xFF, 0x00, 0x00};
    QColor notLitColor_{0x00, 0x80, 0x00};
    QImage glyph_;
    QImage glyphShown_; // the glyph with its transparent colour cleared
};

} // namespace vorl
