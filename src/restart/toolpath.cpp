#include "restart/toolpath.h"

#include "restart/restart_prefix.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vorl {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kInch = 25.4;
// Arcs are cut into chords that stray from the arc by at most kChordError,
// and of at most kChordAngle: a small arc takes a few chords, a full circle
// at most 64.
constexpr double kChordAngle = kPi / 32;
constexpr double kChordError = 0.02; // mm
// A control refuses an arc whose end is off its circle by more than a small
// tolerance; so does the path (it would otherwise draw a circle of its own).
constexpr double kArcTolerance = 0.01; // mm, plus a thousandth of the radius

double valueOf(const Decimal& d) {
    double v = static_cast<double>(d.units);
    for (int i = 0; i < d.decimals; ++i) {
        v /= 10;
    }
    return v;
}

bool numberAfter(const std::string& word, size_t at, double& out) {
    Decimal d;
    if (word.size() <= at || !ParseDecimal(std::string_view(word).substr(at), d)) {
        return false;
    }
    out = valueOf(d);
    return true;
}

bool blockHas(const ModalReader& reader, const char* letters) {
    Decimal d;
    for (const char* c = letters; *c != 0; ++c) {
        if (reader.blockWord(*c, d)) {
            return true;
        }
    }
    return false;
}

} // namespace

void PathExtents::add(const double p[3]) {
    for (int i = 0; i < 3; ++i) {
        if (!any || p[i] < min[i]) {
            min[i] = p[i];
        }
        if (!any || p[i] > max[i]) {
            max[i] = p[i];
        }
    }
    any = true;
}

ToolpathBuilder::ToolpathBuilder(const ToolpathOptions& options) : options_(options) {
    if (!(options_.rapidRate > 0)) {
        options_.rapidRate = ToolpathOptions::kDefaultRapidRate;
    }
    path_.rapidRate = options_.rapidRate;
    if (options_.dialect == ControlDialect::Lathe) {
        // A lathe's tool moves in X and Z only.
        at_.known[1] = true;
    }
}

double ToolpathBuilder::mm(const Decimal& value) const {
    return valueOf(value) * (inchNow_ ? kInch : 1.0);
}

void ToolpathBuilder::stop(int block, const std::string& why) {
    path_.unknownFrom = block;
    path_.unknownWhy = why;
}

// The blocks the path cannot follow: the reader's doubts that change where
// the tool goes, axes it lost, and frames the path does not apply.
bool ToolpathBuilder::stops(const ModalReader& reader) {
    const ModalState& st = reader.state();
    const int b = reader.blocksRead();
    for (const Doubt& d : st.doubts) {
        if (d.lastBlock != b) {
            continue;
        }
        switch (d.kind) {
        case DoubtKind::Macro:
            stop(b, "macro variable");
            return true;
        case DoubtKind::Subprogram:
            stop(b, d.what == "M99" ? "subprogram end" : "subprogram call");
            return true;
        case DoubtKind::Polar:
            stop(b, "polar coordinates");
            return true;
        case DoubtKind::LatheCycle:
            stop(b, "lathe cycle " + d.what);
            return true;
        default:
            break;
        }
    }
    for (int i = 0; i < kAxisCount; ++i) {
        const Axis& a = st.axes[i];
        if (a.block != b || a.state == AxisState::Never) {
            continue;
        }
        if (i >= 3) {
            stop(b, std::string("rotary axis ") + kAxisLetters[i]);
            return true;
        }
        // G53 moves in machine coordinates: the position is not known in the
        // program's, as after a return to the reference point.
        if (a.state == AxisState::Lost && a.why != "machine coordinates G53") {
            stop(b, a.why);
            return true;
        }
    }
    if (st.rotation.active()) {
        stop(b, "rotation G68");
        return true;
    }
    if (st.scaling.active()) {
        stop(b, "scaling G51");
        return true;
    }
    if (options_.dialect == ControlDialect::Lathe && reader.blockNonModal() == 0 &&
        (st.motion.word == "G90" || st.motion.word == "G92" || st.motion.word == "G94") &&
        blockHas(reader, "XZUW")) {
        stop(b, "turning cycle " + st.motion.word);
        return true;
    }
    return false;
}

// The tool cutting now, entered in the tool list when it first moves.
void ToolpathBuilder::useTool(const ModalState& st) {
    const Setting& tool =
        options_.dialect == ControlDialect::Lathe ? st.toolChange : st.toolInSpindle;
    if (!path_.tools.empty() && tool.word == toolWord_) {
        return;
    }
    toolWord_ = tool.word;
    const auto found = std::find_if(path_.tools.begin(), path_.tools.end(),
                                    [&](const PathTool& t) { return t.word == tool.word; });
    if (found != path_.tools.end()) {
        tool_ = static_cast<uint16_t>(found - path_.tools.begin());
        return;
    }
    if (path_.tools.size() >= 0xFFFF) {
        tool_ = 0;
        return;
    }
    tool_ = static_cast<uint16_t>(path_.tools.size());
    path_.tools.push_back({tool.word, tool.set() ? tool.block : 0, 0});
}

ToolpathBuilder::Place ToolpathBuilder::placeAfter(const ModalReader& reader) const {
    const ModalState& st = reader.state();
    const bool lathe = options_.dialect == ControlDialect::Lathe;
    Place q;
    for (int i = 0; i < 3; ++i) {
        const Axis& a = st.axes[i];
        if (a.state == AxisState::Known && a.offset == st.workOffset.word) {
            q.p[i] = mm(a.value) / (lathe && i == 0 ? 2.0 : 1.0);
            q.known[i] = true;
        }
    }
    if (lathe) {
        q.known[1] = true;
    }
    return q;
}

void ToolpathBuilder::addBlock(const ModalReader& reader) {
    const int b = reader.blocksRead();
    path_.blocks = b;
    if (path_.unknownFrom != 0) {
        return;
    }
    const ModalState& st = reader.state();
    if (st.units.set()) {
        inchNow_ = st.units.word == "G20";
        if (!unitsSeen_) {
            path_.inch = inchNow_;
            unitsSeen_ = true;
        }
    }
    if (stops(reader)) {
        return;
    }
    const int nonModal = reader.blockNonModal();
    if (nonModal == 40) {
        dwell(reader);
        return;
    }
    if (!wholeNumberNoted_) {
        for (int i = 0; i < 3; ++i) {
            const Axis& a = st.axes[i];
            if (a.block == b && a.state == AxisState::Known && !a.value.point &&
                a.value.units != 0) {
                path_.notes.push_back("Numbers without a decimal point are read as whole " +
                                      std::string(inchNow_ ? "inches" : "millimetres") +
                                      " (first at block " + std::to_string(b) + ").");
                wholeNumberNoted_ = true;
                break;
            }
        }
    }
    const Place to = placeAfter(reader);
    const bool sameOffset = st.workOffset.word == offset_;
    const bool lathe = options_.dialect == ControlDialect::Lathe;
    if (nonModal == 0 && st.cycle.set() && blockHas(reader, lathe ? "XYZRUW" : "XYZR")) {
        hole(to, reader);
    } else if (nonModal == 0 && at_.all() && to.all() && sameOffset) {
        const std::string& motion = st.motion.word;
        const bool moved = to.p[0] != at_.p[0] || to.p[1] != at_.p[1] || to.p[2] != at_.p[2];
        if (motion == "G02" || motion == "G03") {
            if (blockHas(reader, lathe ? "XYZUWIJKR" : "XYZIJKR") &&
                !arc(to, motion == "G02", reader)) {
                return;
            }
        } else if (moved && motion == "G00") {
            straight(to, MoveKind::Rapid, reader);
        } else if (moved && (motion == "G01" || motion == "G32")) {
            straight(to, MoveKind::Feed, reader);
        }
    }
    at_ = to;
    offset_ = st.workOffset.word;
}

void ToolpathBuilder::segment(const double a[3], const double b[3], MoveKind kind, int block,
                              bool isArc) {
    PathSegment s{};
    for (int i = 0; i < 3; ++i) {
        s.from[i] = static_cast<float>(a[i]);
        s.to[i] = static_cast<float>(b[i]);
    }
    s.block = block;
    s.tool = tool_;
    s.kind = kind;
    s.arc = isArc;
    if (options_.keepSegments) {
        path_.segments.push_back(s);
    }
    path_.extents.add(a);
    path_.extents.add(b);
}

void ToolpathBuilder::rapidTime(const double a[3], const double b[3]) {
    // Each axis runs at the rapid rate on its own: the move takes as long as
    // its longest axis.
    double longest = 0;
    for (int i = 0; i < 3; ++i) {
        longest = std::max(longest, std::fabs(b[i] - a[i]));
    }
    path_.rapidSeconds += longest / path_.rapidRate * 60.0;
}

void ToolpathBuilder::straight(const Place& to, MoveKind kind, const ModalReader& reader) {
    const int b = reader.blocksRead();
    useTool(reader.state());
    segment(at_.p, to.p, kind, b, false);
    const double length = std::hypot(to.p[0] - at_.p[0], to.p[1] - at_.p[1], to.p[2] - at_.p[2]);
    if (kind == MoveKind::Rapid) {
        ++path_.rapidMoves;
        path_.rapidLength += length;
        rapidTime(at_.p, to.p);
        return;
    }
    ++path_.feedMoves;
    path_.feedLength += length;
    path_.tools[tool_].feedLength += length;
    points_.assign(at_.p, at_.p + 3);
    points_.insert(points_.end(), to.p, to.p + 3);
    feedTime(points_, b, reader.state());
}

// G02 (clockwise) or G03 seen from the plane's third axis: G17 from +Z, G18
// from +Y with Z across and X up, G19 from +X. A third axis moving along the
// arc makes it a helix.
bool ToolpathBuilder::arc(const Place& to, bool clockwise, const ModalReader& reader) {
    const ModalState& st = reader.state();
    const int b = reader.blocksRead();
    const bool lathe = options_.dialect == ControlDialect::Lathe;
    const std::string& plane = st.plane.set() ? st.plane.word : lathe ? "G18" : "G17";
    const int ax = plane == "G18" ? 2 : plane == "G19" ? 1 : 0;
    const int bx = plane == "G18" ? 0 : plane == "G19" ? 2 : 1;
    const int lx = 3 - ax - bx;
    useTool(st);
    const double* s = at_.p;
    const double* e = to.p;
    const double da = e[ax] - s[ax];
    const double db = e[bx] - s[bx];
    const double chord = std::hypot(da, db);
    static constexpr char kCentre[3] = {'I', 'J', 'K'};
    Decimal oa;
    Decimal ob;
    Decimal r;
    const bool hasA = reader.blockWord(kCentre[ax], oa);
    const bool hasB = reader.blockWord(kCentre[bx], ob);
    double ca = 0;
    double cb = 0;
    if (hasA || hasB) {
        ca = s[ax] + (hasA ? mm(oa) : 0.0);
        cb = s[bx] + (hasB ? mm(ob) : 0.0);
    } else if (reader.blockWord('R', r)) {
        const double radius = mm(r);
        if (chord < 1e-9) {
            // R cannot give a full circle: the control does not move.
            path_.notes.push_back("Arc with R and no move at block " + std::to_string(b) +
                                  ": not drawn.");
            return true;
        }
        if (chord > 2 * std::fabs(radius) + kArcTolerance) {
            stop(b, "arc radius shorter than half its chord");
            return false;
        }
        const double h = std::sqrt(std::max(0.0, radius * radius - chord * chord / 4));
        // The centre left of the chord for a counter-clockwise arc of at most
        // half a turn; R < 0 asks for the longer arc, on the other side.
        const double side = (clockwise ? -1.0 : 1.0) * (radius < 0 ? -1.0 : 1.0);
        ca = (s[ax] + e[ax]) / 2 - side * h * db / chord;
        cb = (s[bx] + e[bx]) / 2 + side * h * da / chord;
    } else {
        stop(b, "arc without a centre");
        return false;
    }
    const double r0 = std::hypot(s[ax] - ca, s[bx] - cb);
    const double r1 = std::hypot(e[ax] - ca, e[bx] - cb);
    if (std::fabs(r0 - r1) > kArcTolerance + r0 / 1000) {
        stop(b, "arc end not on its circle");
        return false;
    }
    const double a0 = std::atan2(s[bx] - cb, s[ax] - ca);
    const double a1 = std::atan2(e[bx] - cb, e[ax] - ca);
    double sweep = clockwise ? a0 - a1 : a1 - a0;
    if (chord < 1e-6) {
        sweep = 2 * kPi; // start and end the same: a full circle
    } else {
        sweep = std::fmod(sweep, 2 * kPi);
        if (sweep <= 0) {
            sweep += 2 * kPi;
        }
    }
    // Finer than a twentieth of a millimetre is lost on a large part: the
    // error allowed grows with the path.
    const PathExtents& x = path_.extents;
    const double size =
        x.any ? std::hypot(x.max[0] - x.min[0], x.max[1] - x.min[1], x.max[2] - x.min[2]) : 0.0;
    const double error = std::max(kChordError, size / 4000);
    const double step = r0 > error ? std::max(kChordAngle, 2 * std::acos(1 - error / r0)) : 2 * kPi;
    const int pieces = std::max(1, static_cast<int>(std::ceil(sweep / step - 1e-9)));
    points_.clear();
    double p[3];
    for (int k = 0; k <= pieces; ++k) {
        const double t = static_cast<double>(k) / pieces;
        const double angle = a0 + (clockwise ? -sweep : sweep) * t;
        if (k == pieces) {
            std::copy(e, e + 3, p);
        } else {
            p[ax] = ca + r0 * std::cos(angle);
            p[bx] = cb + r0 * std::sin(angle);
            p[lx] = s[lx] + (e[lx] - s[lx]) * t;
        }
        points_.insert(points_.end(), p, p + 3);
        if (k > 0) {
            segment(&points_[points_.size() - 6], p, MoveKind::Feed, b, true);
        }
    }
    // The extents reach where the arc turns, between its chords' ends.
    const double turn = clockwise ? -sweep : sweep;
    const double lowest = std::min(a0, a0 + turn);
    const double highest = std::max(a0, a0 + turn);
    for (double q = std::ceil(lowest / (kPi / 2)) * (kPi / 2); q <= highest; q += kPi / 2) {
        const double t = (q - a0) / turn;
        p[ax] = ca + r0 * std::cos(q);
        p[bx] = cb + r0 * std::sin(q);
        p[lx] = s[lx] + (e[lx] - s[lx]) * t;
        path_.extents.add(p);
    }
    const double length = std::hypot(r0 * sweep, e[lx] - s[lx]);
    ++path_.feedMoves;
    ++path_.arcMoves;
    path_.feedLength += length;
    path_.tools[tool_].feedLength += length;
    feedTime(points_, b, st);
    return true;
}

// A drilling cycle's hole at the block's X Y: rapid across at the level the
// tool is at, rapid down to R, feed to the depth, back out to the return level
// (the reader's Z after the block).
void ToolpathBuilder::hole(const Place& to, const ModalReader& reader) {
    const ModalState& st = reader.state();
    const int b = reader.blocksRead();
    Decimal z;
    if (reader.blockWord('Z', z)) {
        cycleDepth_ = mm(z);
        cycleDepthKnown_ = true;
    }
    double top = 0;
    const bool topKnown = numberAfter(st.cycleR.word, 1, top);
    top *= inchNow_ ? kInch : 1.0;
    if (!at_.all() || !to.all() || st.workOffset.word != offset_) {
        return;
    }
    const std::string& cycle = st.cycle.word;
    if (!peckNoted_ && (cycle == "G73" || cycle == "G83")) {
        path_.notes.push_back("Pecking (" + cycle +
                              ") is drawn and timed as one feed to the depth.");
        peckNoted_ = true;
    }
    useTool(st);
    const double above[3] = {to.p[0], to.p[1], at_.p[2]};
    if (above[0] != at_.p[0] || above[1] != at_.p[1]) {
        segment(at_.p, above, MoveKind::Rapid, b, false);
        ++path_.rapidMoves;
        path_.rapidLength += std::hypot(above[0] - at_.p[0], above[1] - at_.p[1]);
        rapidTime(at_.p, above);
    }
    if (!topKnown || !cycleDepthKnown_) {
        cannotTime(b, "drilling cycle without its R level or depth");
        return;
    }
    const double rLevel[3] = {to.p[0], to.p[1], top};
    const double bottom[3] = {to.p[0], to.p[1], cycleDepth_};
    ++path_.holeCount;
    if (options_.keepSegments) {
        path_.holes.push_back({static_cast<float>(to.p[0]), static_cast<float>(to.p[1]),
                               static_cast<float>(top), static_cast<float>(cycleDepth_), b, tool_});
    }
    if (top != above[2]) {
        segment(above, rLevel, MoveKind::Rapid, b, false);
        ++path_.rapidMoves;
        path_.rapidLength += std::fabs(top - above[2]);
        rapidTime(above, rLevel);
    }
    segment(rLevel, bottom, MoveKind::Drill, b, false);
    const double depth = std::fabs(top - cycleDepth_);
    ++path_.feedMoves;
    path_.feedLength += depth;
    path_.tools[tool_].feedLength += depth;
    points_.assign(rLevel, rLevel + 3);
    points_.insert(points_.end(), bottom, bottom + 3);
    feedTime(points_, b, st);
    // Boring cycles that feed back out; the others leave at rapid.
    const bool feedOut = cycle == "G85" || cycle == "G89";
    Decimal p;
    if ((cycle == "G82" || cycle == "G89") && reader.blockWord('P', p)) {
        path_.dwellSeconds += p.point ? valueOf(p) : valueOf(p) / 1000;
    }
    segment(bottom, to.p, feedOut ? MoveKind::Feed : MoveKind::Rapid, b, false);
    if (feedOut) {
        points_.assign(bottom, bottom + 3);
        points_.insert(points_.end(), to.p, to.p + 3);
        path_.feedLength += std::fabs(to.p[2] - cycleDepth_);
        feedTime(points_, b, st);
    } else {
        ++path_.rapidMoves;
        path_.rapidLength += std::fabs(to.p[2] - cycleDepth_);
        rapidTime(bottom, to.p);
    }
}

// G04: P in milliseconds (in seconds when written with a point), X or a
// lathe's U in seconds.
void ToolpathBuilder::dwell(const ModalReader& reader) {
    Decimal d;
    if (reader.blockWord('P', d)) {
        path_.dwellSeconds += d.point ? valueOf(d) : valueOf(d) / 1000;
    } else if (reader.blockWord('X', d) ||
               (options_.dialect == ControlDialect::Lathe && reader.blockWord('U', d))) {
        path_.dwellSeconds += valueOf(d);
    }
}

void ToolpathBuilder::cannotTime(int block, const std::string& why) {
    if (path_.timeKnown) {
        path_.timeKnown = false;
        path_.timeWhy = why + " at block " + std::to_string(block);
    }
}

// Minutes of a feed along `points` (x y z triples, mm): at F per minute, or
// per revolution at S; with constant surface speed on a lathe the spindle
// turns faster as the tool nears the centre, up to the G50 clamp.
void ToolpathBuilder::feedTime(const std::vector<double>& points, int block, const ModalState& st) {
    const bool lathe = options_.dialect == ControlDialect::Lathe;
    const std::string& mode = st.feedMode.set() ? st.feedMode.word : lathe ? "G99" : "G94";
    if (!path_.timeKnown) {
        return;
    }
    if (mode == "G93") {
        cannotTime(block, "inverse time feed G93");
        return;
    }
    double feed = 0;
    if (!numberAfter(st.feed.word, 1, feed) || feed <= 0) {
        cannotTime(block, st.feed.set() ? "feed F0" : "feed move without F");
        return;
    }
    feed *= inchNow_ ? kInch : 1.0;
    const bool perRev = mode == "G95" || (lathe && mode == "G99");
    const bool css = perRev && st.speedMode.word == "G96";
    double surface = 0; // m/min, ft/min in inches
    double clamp = 0;
    double rpm = 0;
    if (css) {
        if (!lathe) {
            cannotTime(block, "constant surface speed G96 without a diameter");
            return;
        }
        // Without a clamp the spindle runs up to what the machine allows
        // near the centre, which the program does not say.
        if (!numberAfter(st.speedClamp.word, 5, clamp) || clamp <= 0) {
            cannotTime(block, "constant surface speed G96 without a speed clamp G50 S");
            return;
        }
        if (!numberAfter(st.speed.word, 1, surface) || surface <= 0) {
            cannotTime(block, "feed per revolution without a spindle speed");
            return;
        }
        surface *= inchNow_ ? 0.3048 : 1.0;
    } else if (perRev && (!numberAfter(st.speed.word, 1, rpm) || rpm <= 0)) {
        cannotTime(block, "feed per revolution without a spindle speed");
        return;
    }
    // With constant surface speed the spindle speed changes along the move:
    // each piece is timed in short steps at the diameter in their middle.
    const int steps = css ? 16 : 1;
    double seconds = 0;
    for (size_t i = 3; i < points.size(); i += 3) {
        const double* a = &points[i - 3];
        const double* b = &points[i];
        const double length = std::hypot(b[0] - a[0], b[1] - a[1], b[2] - a[2]) / steps;
        for (int k = 0; k < steps; ++k) {
            double rate = perRev ? feed * rpm : feed; // mm/min
            if (css) {
                const double t = (k + 0.5) / steps;
                const double diameter = 2 * std::fabs(a[0] + (b[0] - a[0]) * t);
                const double turning = diameter > 1e-9 ? surface * 1000 / (kPi * diameter) : clamp;
                rate = feed * std::min(turning, clamp);
            }
            seconds += length / rate * 60.0;
        }
    }
    path_.feedSeconds += seconds;
}

void ToolpathBuilder::finish() {
    if (!unitsSeen_) {
        path_.notes.push_back("No G20 or G21: read as millimetres.");
    }
}

size_t MergeShortSegments(std::deque<PathSegment>& segments, double shortest) {
    auto length = [](const float a[3], const float b[3]) {
        return std::hypot(b[0] - a[0], b[1] - a[1], b[2] - a[2]);
    };
    size_t kept = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        const PathSegment& s = segments[i];
        if (kept > 0) {
            PathSegment& last = segments[kept - 1];
            if (last.tool == s.tool && last.kind == s.kind && last.to[0] == s.from[0] &&
                last.to[1] == s.from[1] && last.to[2] == s.from[2] &&
                length(s.from, s.to) < shortest && length(last.from, s.to) < shortest) {
                std::copy(s.to, s.to + 3, last.to);
                continue;
            }
        }
        segments[kept++] = s;
    }
    segments.resize(kept);
    return kept;
}

Toolpath ToolpathOf(std::string_view program, const ToolpathOptions& options) {
    ToolpathBuilder builder(options);
    ProgramScanner scanner(0, options.dialect);
    scanner.onBlockRead([&](const ModalReader& reader) { builder.addBlock(reader); });
    scanner.feed(program.data(), program.size());
    scanner.finish();
    builder.finish();
    return std::move(builder.path());
}

bool BuildToolpath(const std::string& path, const ToolpathOptions& options, Toolpath& out,
                   std::string& error, const std::function<void(uint64_t, Toolpath&)>& progress,
                   const std::atomic<bool>* cancel) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    ToolpathBuilder builder(options);
    ProgramScanner scanner(0, options.dialect);
    scanner.onBlockRead([&](const ModalReader& reader) { builder.addBlock(reader); });
    std::vector<char> piece(size_t{1} << 20);
    uint64_t done = 0;
    while (cancel == nullptr || !cancel->load(std::memory_order_relaxed)) {
        const ssize_t got = ::read(fd, piece.data(), piece.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        scanner.feed(piece.data(), static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
        if (progress) {
            progress(done, builder.path());
        }
    }
    ::close(fd);
    scanner.finish();
    builder.finish();
    out = std::move(builder.path());
    return true;
}

} // namespace vorl
