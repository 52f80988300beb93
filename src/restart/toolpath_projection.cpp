#include "restart/toolpath_projection.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vorl {
namespace {

constexpr double kCos30 = 0.86602540378443865;
constexpr double kMargin = 0.05; // of the window on each side when fitting

double distanceToSegment(double px, double py, const ScreenPoint& a, const ScreenPoint& b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((px - a.x) * dx + (py - a.y) * dy) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(px - (a.x + t * dx), py - (a.y + t * dy));
}

} // namespace

void PathProjection::setView(PathView view, bool lathe) {
    view_ = view;
    lathe_ = lathe;
}

void PathProjection::project(double x, double y, double z, double& u, double& v) const {
    switch (view_) {
    case PathView::Top:
        u = x;
        v = y;
        break;
    case PathView::Front:
        u = lathe_ ? z : x;
        v = lathe_ ? x : z;
        break;
    case PathView::Side:
        u = y;
        v = z;
        break;
    case PathView::Isometric:
        u = (x - y) * kCos30;
        v = (x + y) / 2 + z;
        break;
    }
}

void PathProjection::fit(const PathExtents& extents, double width, double height) {
    cx_ = width / 2;
    cy_ = height / 2;
    if (!extents.any) {
        uc_ = vc_ = 0;
        scale_ = 1;
        return;
    }
    double umin = std::numeric_limits<double>::max();
    double vmin = umin;
    double umax = -umin;
    double vmax = -umin;
    for (int corner = 0; corner < 8; ++corner) {
        double u = 0;
        double v = 0;
        project(corner & 1 ? extents.max[0] : extents.min[0],
                corner & 2 ? extents.max[1] : extents.min[1],
                corner & 4 ? extents.max[2] : extents.min[2], u, v);
        umin = std::min(umin, u);
        umax = std::max(umax, u);
        vmin = std::min(vmin, v);
        vmax = std::max(vmax, v);
    }
    uc_ = (umin + umax) / 2;
    vc_ = (vmin + vmax) / 2;
    const double usable = 1 - 2 * kMargin;
    const double du = umax - umin;
    const double dv = vmax - vmin;
    // A path that is a line or a point in this view: scale by what it has.
    double s = std::numeric_limits<double>::max();
    if (du > 1e-9) {
        s = std::min(s, width * usable / du);
    }
    if (dv > 1e-9) {
        s = std::min(s, height * usable / dv);
    }
    scale_ = s == std::numeric_limits<double>::max() ? 1 : s;
}

void PathProjection::zoom(double factor, double x, double y) {
    if (!(factor > 0)) {
        return;
    }
    // The model point under (x, y) stays under it.
    const double u = uc_ + (x - cx_) / scale_;
    const double v = vc_ - (y - cy_) / scale_;
    scale_ = std::clamp(scale_ * factor, 1e-6, 1e7);
    uc_ = u - (x - cx_) / scale_;
    vc_ = v + (y - cy_) / scale_;
}

void PathProjection::pan(double dx, double dy) {
    uc_ -= dx / scale_;
    vc_ += dy / scale_;
}

ScreenPoint PathProjection::toScreen(double x, double y, double z) const {
    double u = 0;
    double v = 0;
    project(x, y, z, u, v);
    return {cx_ + (u - uc_) * scale_, cy_ - (v - vc_) * scale_};
}

double RoundLength(double most) {
    if (!(most > 0)) {
        return 0;
    }
    const double power = std::pow(10.0, std::floor(std::log10(most)));
    for (const double step : {5.0, 2.0, 1.0}) {
        if (step * power <= most) {
            return step * power;
        }
    }
    return power;
}

std::pair<size_t, size_t> SegmentsOfBlock(const Toolpath& path, int block) {
    const auto& s = path.segments;
    const auto first = std::lower_bound(s.begin(), s.end(), block,
                                        [](const PathSegment& x, int b) { return x.block < b; });
    const auto last = std::upper_bound(first, s.end(), block,
                                       [](int b, const PathSegment& x) { return b < x.block; });
    return {static_cast<size_t>(first - s.begin()), static_cast<size_t>(last - s.begin())};
}

size_t LastSegmentUpTo(const Toolpath& path, int block) {
    const size_t after = SegmentsOfBlock(path, block).second;
    return after == 0 ? path.segments.size() : after - 1;
}

int PickBlock(const Toolpath& path, const PathProjection& projection, double x, double y,
              double within) {
    int best = 0;
    double nearest = within;
    for (const PathSegment& s : path.segments) {
        const double d =
            distanceToSegment(x, y, projection.toScreen(s.from), projection.toScreen(s.to));
        if (d <= nearest) {
            nearest = d;
            best = s.block;
        }
    }
    return best;
}

} // namespace vorl
