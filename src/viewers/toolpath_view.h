// The painted toolpath: rapids thin and dashed, feeds solid, a colour per
// tool, drilled holes marked, the block at the caret highlighted with a tool
// marker where it ends, the restart block marked "restart here" with the path
// before it dimmed, and a scale bar in the program's units. Zoom with the
// wheel or + and -, pan by dragging or with the arrow keys, Home fits the
// path; a click selects the block drawn nearest to it. Where things lie on
// the screen comes from PathProjection; this widget only paints.
#pragma once

#include "restart/toolpath.h"
#include "restart/toolpath_projection.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <memory>

namespace vorl {

class ToolpathView : public QWidget {
    Q_OBJECT
public:
    explicit ToolpathView(QWidget* parent = nullptr);

    void setPath(std::shared_ptr<const Toolpath> path, bool lathe);
    const Toolpath* path() const { return path_.get(); }
    // The path has grown at its end (it is read while shown): what is new is
    // drawn, and the whole refitted until the operator zooms or pans.
    // `merged` segments were merged away into their neighbours (no more than
    // a pixel at Fit): the picture stays, the last ones are drawn again.
    void pathGrew(size_t merged = 0);

    void setView(PathView view);
    // The whole path in the window (Home).
    void fitPath();
    // Fits the path when it is read, unless the operator has zoomed or panned
    // or the picture already fits it closely (drawing it again would only
    // keep the window busy).
    void fitIfLoose();

    void setHighlightedBlock(int block);
    int highlightedBlock() const { return highlighted_; }
    // Where the caret's block leaves the tool, as text ("block 12 ends at X 30
    // Y 0 Z -1 mm"; "block 3 moves nothing: the tool is at ...").
    QString highlightText() const;
    void setRestartBlock(int block);
    int restartBlock() const { return restart_; }
    // Every segment of the path is in the picture (it is drawn a slice per
    // paint).
    bool drawnWhole() const {
        return path_ && pictureValid_ && drawnSegments_ == path_->segments.size();
    }

    const PathProjection& projection() const { return projection_; }
    // The colour the segments of tool `index` (Toolpath::tools) are drawn in.
    static QColor toolColour(int index);

Q_SIGNALS:
    void blockClicked(int block);
    void highlightChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void drawPicture();
    void drawSegments(class QPainter& painter, size_t from, size_t to);
    void drawHighlight(QPainter& painter) const;
    void drawRestartMark(QPainter& painter) const;
    void drawScaleBar(QPainter& painter) const;
    void changed(); // the picture must be drawn again
    void moved();   // the operator zoomed or panned: no more fitting as it grows
    bool shows(const PathExtents& extents) const; // all of it within the window

    std::shared_ptr<const Toolpath> path_;
    bool lathe_ = false;
    PathProjection projection_;
    bool fitted_ = false;
    bool moved_ = false;
    int highlighted_ = 0;
    int restart_ = 0;
    QImage picture_; // the path without the highlight, drawn once per change of view
    bool pictureValid_ = false;
    PathProjection pictured_;  // the projection picture_ was drawn with
    size_t drawnSegments_ = 0; // segments and holes already in picture_
    size_t drawnHoles_ = 0;
    QPoint pressedAt_;
    QPoint lastDrag_;
    bool dragging_ = false;
};

} // namespace vorl
