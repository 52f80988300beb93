// How a toolpath lies on the screen: the view (top, front, side, isometric),
// the scale and the pan, fitting the path into a window with its aspect
// kept, and finding the block drawn nearest to a point. The window that paints
// the path only asks this module where things are.
#pragma once

#include "restart/toolpath.h"

#include <cstddef>
#include <utility>

namespace vorl {

enum class PathView {
    Top,       // X across, Y up
    Front,     // X across, Z up; on a lathe Z across, X up
    Side,      // Y across, Z up
    Isometric, // X and Y at 30 degrees, Z up
};

struct ScreenPoint {
    double x = 0;
    double y = 0;
};

class PathProjection {
public:
    void setView(PathView view, bool lathe);
    PathView view() const { return view_; }

    // The whole of `extents` in a `width` x `height` window with a margin,
    // centred, the same scale across and up.
    void fit(const PathExtents& extents, double width, double height);
    // Scales by `factor` about the screen point (x, y), which stays put.
    void zoom(double factor, double x, double y);
    // Moves the picture by (dx, dy) pixels.
    void pan(double dx, double dy);

    ScreenPoint toScreen(double x, double y, double z) const;
    ScreenPoint toScreen(const float p[3]) const { return toScreen(p[0], p[1], p[2]); }
    // Pixels per millimetre.
    double scale() const { return scale_; }

    bool operator==(const PathProjection&) const = default;

private:
    void project(double x, double y, double z, double& u, double& v) const;

    PathView view_ = PathView::Top;
    bool lathe_ = false;
    double scale_ = 1;
    double uc_ = 0; // the model point at the screen point (cx_, cy_)
    double vc_ = 0;
    double cx_ = 0;
    double cy_ = 0;
};

// A round length (1, 2 or 5 times a power of ten) of at most `most`, for a
// scale bar.
double RoundLength(double most);

// The segments [first, last) drawn by `block` (segments are in block order).
std::pair<size_t, size_t> SegmentsOfBlock(const Toolpath& path, int block);
// The last segment drawn up to and including `block`, or path.segments.size()
// when none is: where the tool is after that block.
size_t LastSegmentUpTo(const Toolpath& path, int block);

// The block whose segment passes nearest the screen point (x, y), no farther
// than `within` pixels; 0 when none does.
int PickBlock(const Toolpath& path, const PathProjection& projection, double x, double y,
              double within);

} // namespace vorl
