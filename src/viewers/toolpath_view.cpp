#include "viewers/toolpath_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <vector>

namespace vorl {
namespace {

constexpr double kInch = 25.4;
constexpr double kPickPixels = 6;
constexpr double kKeyZoom = 1.25;
constexpr int kKeyPan = 40;
constexpr int kDragStart = 3;            // pixels a press moves before it is a drag, not a click
constexpr size_t kBatch = 8192;          // lines drawn with one call
constexpr size_t kPaintSlice = 50000;    // segments drawn by one paint
constexpr size_t kFineSegments = 100000; // up to this, antialiased and wider feeds

// Far enough apart to tell on a white ground, in the order tools come.
constexpr QRgb kToolColours[] = {0x1f5fbf, 0xc0392b, 0x27864a, 0x8e44ad, 0xd35400,
                                 0x16818a, 0xa0207a, 0x6b6b00, 0x2c3e50, 0xb8860b};

QColor dimmed(const QColor& c, const QColor& ground) {
    // Already cut: most of the way to the ground colour.
    return QColor((c.red() + 3 * ground.red()) / 4, (c.green() + 3 * ground.green()) / 4,
                  (c.blue() + 3 * ground.blue()) / 4);
}

QPointF point(const ScreenPoint& p) {
    return {p.x, p.y};
}

QString number(double value) {
    return QString::number(value, 'g', 6);
}

} // namespace

ToolpathView::ToolpathView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Toolpath"));
    setMinimumSize(120, 120);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

QColor ToolpathView::toolColour(int index) {
    constexpr int count = sizeof kToolColours / sizeof kToolColours[0];
    return QColor(kToolColours[((index % count) + count) % count]);
}

void ToolpathView::setPath(std::shared_ptr<const Toolpath> path, bool lathe) {
    path_ = std::move(path);
    lathe_ = lathe;
    projection_.setView(projection_.view(), lathe_);
    fitted_ = false;
    changed();
    Q_EMIT highlightChanged();
}

bool ToolpathView::shows(const PathExtents& e) const {
    for (int corner = 0; corner < 8; ++corner) {
        const ScreenPoint p =
            projection_.toScreen(corner & 1 ? e.max[0] : e.min[0], corner & 2 ? e.max[1] : e.min[1],
                                 corner & 4 ? e.max[2] : e.min[2]);
        if (p.x < 0 || p.y < 0 || p.x > width() || p.y > height()) {
            return false;
        }
    }
    return true;
}

// Fitted again only when the path has grown out of the window: the picture
// is then drawn whole, otherwise only what is new is added.
void ToolpathView::pathGrew(size_t merged) {
    // Merging only moves segments towards the start: those drawn are still
    // the first drawnSegments_ - merged.
    drawnSegments_ -= std::min(merged, drawnSegments_);
    if (!moved_ && path_ && (!fitted_ || !shows(path_->extents))) {
        // With room to grow into: every fit draws the picture again.
        PathExtents roomy = path_->extents;
        for (int i = 0; i < 3; ++i) {
            const double grow = (roomy.max[i] - roomy.min[i]) / 8;
            roomy.min[i] -= grow;
            roomy.max[i] += grow;
        }
        projection_.fit(roomy, width(), height());
        fitted_ = true;
    }
    update(); // what is new is added to the picture when it is painted
    Q_EMIT highlightChanged();
}

void ToolpathView::fitIfLoose() {
    if (moved_ || !path_) {
        return;
    }
    PathProjection fitted = projection_;
    fitted.fit(path_->extents, width(), height());
    if (fitted.scale() > projection_.scale() * 1.3 || !shows(path_->extents)) {
        fitPath();
    }
}

void ToolpathView::setView(PathView view) {
    projection_.setView(view, lathe_);
    fitPath();
}

void ToolpathView::fitPath() {
    moved_ = false;
    if (path_) {
        projection_.fit(path_->extents, width(), height());
        fitted_ = true;
    }
    changed();
}

void ToolpathView::setHighlightedBlock(int block) {
    if (block == highlighted_) {
        return;
    }
    highlighted_ = block;
    update();
    Q_EMIT highlightChanged();
}

void ToolpathView::setRestartBlock(int block) {
    if (block != restart_) {
        restart_ = block;
        changed();
    }
}

QString ToolpathView::highlightText() const {
    if (!path_ || highlighted_ <= 0) {
        return {};
    }
    const QString block = QStringLiteral("Block %1").arg(highlighted_);
    if (path_->unknownFrom != 0 && highlighted_ >= path_->unknownFrom) {
        return block + QStringLiteral(": path unknown");
    }
    const size_t last = LastSegmentUpTo(*path_, highlighted_);
    if (last >= path_->segments.size()) {
        return block + QStringLiteral(": before the first move drawn");
    }
    const PathSegment& s = path_->segments[last];
    const double unit = path_->inch ? kInch : 1.0;
    const QString where =
        QStringLiteral("X %1 Y %2 Z %3 %4")
            .arg(number(s.to[0] / unit), number(s.to[1] / unit), number(s.to[2] / unit),
                 path_->inch ? QStringLiteral("in") : QStringLiteral("mm"));
    if (s.block != highlighted_) {
        return block + QStringLiteral(" moves nothing: the tool is at ") + where;
    }
    return block + QStringLiteral(" ends at ") + where;
}

void ToolpathView::changed() {
    pictureValid_ = false;
    update();
}

void ToolpathView::moved() {
    moved_ = true;
    changed();
}

void ToolpathView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if ((!fitted_ || !moved_) && path_) {
        projection_.fit(path_->extents, width(), height());
        fitted_ = true;
    } else {
        // Keep the picture centred as the window grows or shrinks.
        projection_.pan((width() - event->oldSize().width()) / 2.0,
                        (height() - event->oldSize().height()) / 2.0);
    }
    changed();
}

// The path without the highlight, drawn whole when the view changed and only
// what is new when the path grew.
void ToolpathView::drawPicture() {
    const qreal ratio = devicePixelRatioF();
    const bool whole = !pictureValid_ || picture_.size() != size() * ratio ||
                       !(pictured_ == projection_) || !path_ ||
                       drawnSegments_ > path_->segments.size();
    if (whole) {
        picture_ = QImage(size() * ratio, QImage::Format_ARGB32_Premultiplied);
        picture_.setDevicePixelRatio(ratio);
        picture_.fill(palette().color(QPalette::Base));
        pictured_ = projection_;
        drawnSegments_ = 0;
        drawnHoles_ = 0;
        pictureValid_ = true;
    }
    if (!path_) {
        return;
    }
    QPainter painter(&picture_);
    // A slice at a time: the window answers between slices, and the rest is
    // drawn by the next paint, asked for at once.
    const size_t until = std::min(path_->segments.size(), drawnSegments_ + kPaintSlice);
    drawSegments(painter, drawnSegments_, until);
    drawnSegments_ = until;
    if (until < path_->segments.size()) {
        QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
    }
    const QColor ground = palette().color(QPalette::Base);
    for (size_t i = drawnHoles_; i < path_->holes.size(); ++i) {
        const PathHole& h = path_->holes[i];
        QColor colour = toolColour(h.tool);
        if (restart_ > 0 && h.block < restart_) {
            colour = dimmed(colour, ground);
        }
        painter.setPen(QPen(colour, 1.2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(point(projection_.toScreen(h.x, h.y, h.top)), 4, 4);
    }
    drawnHoles_ = path_->holes.size();
}

// Runs of segments of one tool and kind are drawn with one pen.
void ToolpathView::drawSegments(QPainter& painter, size_t from, size_t to) {
    const QColor ground = palette().color(QPalette::Base);
    const auto& segments = path_->segments;
    // Smooth, wider feeds while few; a large path in plain one-pixel lines,
    // several times faster to draw.
    const bool fine = segments.size() < kFineSegments;
    painter.setRenderHint(QPainter::Antialiasing, fine);
    std::vector<QLineF> run;
    size_t i = from;
    while (i < to) {
        const PathSegment& first = segments[i];
        const bool dim = restart_ > 0 && first.block < restart_;
        run.clear();
        size_t j = i;
        // A run is drawn in batches: the lines of a whole program at once
        // would take as much memory again as the path.
        for (; j < to && j - i < kBatch; ++j) {
            const PathSegment& s = segments[j];
            if (s.tool != first.tool || s.kind != first.kind ||
                (restart_ > 0 && s.block < restart_) != dim) {
                break;
            }
            run.emplace_back(point(projection_.toScreen(s.from)),
                             point(projection_.toScreen(s.to)));
        }
        QColor colour = toolColour(first.tool);
        if (dim) {
            colour = dimmed(colour, ground);
        }
        QPen pen(colour, first.kind == MoveKind::Rapid || !fine ? 1.0 : 1.6);
        if (first.kind == MoveKind::Rapid) {
            pen.setStyle(Qt::DashLine);
        }
        painter.setPen(pen);
        painter.drawLines(run.data(), static_cast<int>(run.size()));
        i = j;
    }
}

void ToolpathView::drawRestartMark(QPainter& painter) const {
    if (!path_ || restart_ <= 0) {
        return;
    }
    const size_t at = SegmentsOfBlock(*path_, restart_).first;
    if (at >= path_->segments.size()) {
        return;
    }
    const QPointF p = point(projection_.toScreen(path_->segments[at].from));
    painter.setPen(QPen(palette().color(QPalette::Text), 1.5));
    painter.setBrush(palette().color(QPalette::Text));
    QPainterPath flag;
    flag.moveTo(p);
    flag.lineTo(p + QPointF(-6, -12));
    flag.lineTo(p + QPointF(6, -12));
    flag.closeSubpath();
    painter.drawPath(flag);
    painter.drawText(p + QPointF(9, -6), QStringLiteral("restart here"));
}

void ToolpathView::drawHighlight(QPainter& painter) const {
    if (!path_ || highlighted_ <= 0) {
        return;
    }
    const QColor mark = palette().color(QPalette::Highlight);
    const auto [first, last] = SegmentsOfBlock(*path_, highlighted_);
    painter.setPen(QPen(mark, 3.5, Qt::SolidLine, Qt::RoundCap));
    for (size_t i = first; i < last; ++i) {
        const PathSegment& s = path_->segments[i];
        painter.drawLine(point(projection_.toScreen(s.from)), point(projection_.toScreen(s.to)));
    }
    const size_t at = LastSegmentUpTo(*path_, highlighted_);
    if (at >= path_->segments.size() ||
        (path_->unknownFrom != 0 && highlighted_ >= path_->unknownFrom)) {
        return;
    }
    // The tool marker: a ring with a cross where the block leaves the tool.
    const QPointF p = point(projection_.toScreen(path_->segments[at].to));
    painter.setPen(QPen(mark, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(p, 7, 7);
    painter.drawLine(p + QPointF(-11, 0), p + QPointF(11, 0));
    painter.drawLine(p + QPointF(0, -11), p + QPointF(0, 11));
}

// A round length in the program's units, at most a quarter of the width.
void ToolpathView::drawScaleBar(QPainter& painter) const {
    if (!path_ || !path_->extents.any) {
        return;
    }
    const double unit = path_->inch ? kInch : 1.0;
    const double pixelsPerUnit = projection_.scale() * unit;
    const double length = RoundLength(width() / 4.0 / pixelsPerUnit);
    const double pixels = length * pixelsPerUnit;
    if (!(pixels > 2)) {
        return;
    }
    const QPointF left(10, height() - 12);
    const QPointF right = left + QPointF(pixels, 0);
    painter.setPen(QPen(palette().color(QPalette::Text), 1.5));
    painter.drawLine(left, right);
    painter.drawLine(left, left + QPointF(0, -5));
    painter.drawLine(right, right + QPointF(0, -5));
    painter.drawText(left + QPointF(0, -8), number(length) + (path_->inch ? QStringLiteral(" in")
                                                                          : QStringLiteral(" mm")));
}

void ToolpathView::paintEvent(QPaintEvent*) {
    drawPicture();
    QPainter painter(this);
    painter.drawImage(0, 0, picture_);
    painter.setRenderHint(QPainter::Antialiasing);
    drawRestartMark(painter);
    drawHighlight(painter);
    drawScaleBar(painter);
}

void ToolpathView::wheelEvent(QWheelEvent* event) {
    const double factor = std::pow(1.0015, event->angleDelta().y());
    projection_.zoom(factor, event->position().x(), event->position().y());
    moved();
    event->accept();
}

void ToolpathView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressedAt_ = lastDrag_ = event->position().toPoint();
        dragging_ = false;
    }
    QWidget::mousePressEvent(event);
}

void ToolpathView::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) == 0) {
        return;
    }
    const QPoint at = event->position().toPoint();
    if (!dragging_ && (at - pressedAt_).manhattanLength() >= kDragStart) {
        dragging_ = true;
    }
    if (dragging_) {
        projection_.pan(at.x() - lastDrag_.x(), at.y() - lastDrag_.y());
        lastDrag_ = at;
        moved();
    }
}

void ToolpathView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || dragging_ || !path_) {
        dragging_ = false;
        return;
    }
    const int block =
        PickBlock(*path_, projection_, event->position().x(), event->position().y(), kPickPixels);
    if (block > 0) {
        Q_EMIT blockClicked(block);
    }
}

void ToolpathView::keyPressEvent(QKeyEvent* event) {
    const double cx = width() / 2.0;
    const double cy = height() / 2.0;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        projection_.zoom(kKeyZoom, cx, cy);
        break;
    case Qt::Key_Minus:
        projection_.zoom(1 / kKeyZoom, cx, cy);
        break;
    case Qt::Key_Left:
        projection_.pan(kKeyPan, 0);
        break;
    case Qt::Key_Right:
        projection_.pan(-kKeyPan, 0);
        break;
    case Qt::Key_Up:
        projection_.pan(0, kKeyPan);
        break;
    case Qt::Key_Down:
        projection_.pan(0, -kKeyPan);
        break;
    case Qt::Key_Home:
        fitPath();
        return;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    moved();
}

} // namespace vorl
