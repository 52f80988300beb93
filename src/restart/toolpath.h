// The toolpath of a part program: the moves a control makes, block by block,
// as straight segments (arcs cut into short chords), the holes of drilling
// cycles, and the numbers of it (extents, lengths, tools, an estimated run
// time). Built from the same modal-state reader as the restart prefix: after
// each block the reader's positions say where the tool went, its last block's
// words say how (arc centre or radius, dwell, a cycle's depth).
//
// The path is drawn only where the reader follows the program. At the first
// block it cannot follow (a macro, a subprogram, rotation or scaling, a rotary
// axis, a lathe turning or roughing cycle, an arc without a centre), the path
// stops and says so; it never draws a guess. A move from a position not yet
// known (before the first move of every axis, after a return to the reference
// point, into another work offset) is not drawn and not counted: each work
// offset's moves are drawn in its own coordinates.
//
// Everything is kept in millimetres; `inch` says the program is written in
// inches (its first G20 or G21) and the numbers are shown in its units. On a
// lathe X is written as a diameter and drawn as the radius the tool is at.
#pragma once

#include "restart/gcode_reader.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace vorl {

enum class MoveKind : uint8_t {
    Rapid, // G00: drawn thin and dashed
    Feed,  // G01, G02, G03, threading: drawn solid
    Drill, // the feed of a drilling cycle into its hole
};

// One straight piece of the path in millimetres, with the block (line of the
// program, the first is 1) that moved it and the tool (index into
// Toolpath::tools) cutting.
struct PathSegment {
    float from[3];
    float to[3];
    int32_t block;
    uint16_t tool;
    MoveKind kind;
    bool arc; // a chord of an arc
};

struct PathHole {
    float x, y;
    float top;    // the R level the drill feeds from
    float bottom; // the hole's depth (Z)
    int32_t block;
    uint16_t tool;
};

struct PathTool {
    std::string word;      // "T3", "T0303"; empty: moves before any tool
    int firstBlock = 0;    // the block that put it in (0: none)
    double feedLength = 0; // mm
};

struct PathExtents {
    bool any = false;
    double min[3] = {0, 0, 0};
    double max[3] = {0, 0, 0};
    void add(const double p[3]);
};

// What a machine adds to reading a program: its control dialect and its
// rapid rate (mm/min, the same for every axis).
struct ToolpathOptions {
    static constexpr double kDefaultRapidRate = 10000.0;
    ControlDialect dialect = ControlDialect::Unknown;
    double rapidRate = kDefaultRapidRate;
    // False: only the numbers are kept, not the segments and holes (nothing
    // is drawn, and a program of any size takes no more memory).
    bool keepSegments = true;
};

struct Toolpath {
    // In pieces, not one block of memory: a path that grows never needs its
    // old and new copies at once.
    std::deque<PathSegment> segments;
    std::deque<PathHole> holes;
    std::vector<PathTool> tools;
    PathExtents extents; // of the drawn path and the holes, mm
    bool inch = false;   // the program's units
    int blocks = 0;
    int rapidMoves = 0;
    int feedMoves = 0; // straight feeds and arcs
    int arcMoves = 0;
    int holeCount = 0;
    double rapidLength = 0; // mm
    double feedLength = 0;  // mm, arcs along the arc, drilling into the holes
    // The run time: known when every feed move had a rate the estimate can
    // use; otherwise `timeWhy` says the first move it could not.
    bool timeKnown = true;
    std::string timeWhy;
    double feedSeconds = 0;
    double rapidSeconds = 0;
    double dwellSeconds = 0;
    double rapidRate = ToolpathOptions::kDefaultRapidRate;
    // Where the path stops being known (0: it is known to the end) and why
    // ("macro variable").
    int unknownFrom = 0;
    std::string unknownWhy;
    std::vector<std::string> notes; // what else the reader of the numbers should know

    double seconds() const { return feedSeconds + rapidSeconds + dwellSeconds; }
};

// Follows a program block by block: hand it the reader after each block it
// read (ProgramScanner::onBlockRead), then finish().
class ToolpathBuilder {
public:
    explicit ToolpathBuilder(const ToolpathOptions& options = {});

    void addBlock(const ModalReader& reader);
    void finish();

    const Toolpath& path() const { return path_; }
    Toolpath& path() { return path_; }

private:
    struct Place {
        double p[3] = {0, 0, 0};
        bool known[3] = {false, false, false};
        bool all() const { return known[0] && known[1] && known[2]; }
    };

    bool stops(const ModalReader& reader);
    void stop(int block, const std::string& why);
    void useTool(const ModalState& state);
    Place placeAfter(const ModalReader& reader) const;
    void straight(const Place& to, MoveKind kind, const ModalReader& reader);
    bool arc(const Place& to, bool clockwise, const ModalReader& reader);
    void hole(const Place& to, const ModalReader& reader);
    void dwell(const ModalReader& reader);
    void segment(const double a[3], const double b[3], MoveKind kind, int block, bool arc);
    void rapidTime(const double a[3], const double b[3]);
    // Adds the time of a feed along the points (mm); false (with the reason
    // given) when there is no rate for it.
    void feedTime(const std::vector<double>& points, int block, const ModalState& state);
    void cannotTime(int block, const std::string& why);
    double mm(const Decimal& value) const;

    ToolpathOptions options_;
    Toolpath path_;
    Place at_;
    std::string offset_; // the work offset of at_
    bool unitsSeen_ = false;
    bool inchNow_ = false;
    uint16_t tool_ = 0;
    std::string toolWord_;
    double cycleDepth_ = 0;
    bool cycleDepthKnown_ = false;
    bool peckNoted_ = false;
    bool wholeNumberNoted_ = false;
    std::vector<double> points_; // scratch: the points of one move
};

// Reads the program file at `path` in pieces and builds its toolpath.
// `progress` (when given) gets the bytes read so far and the path so far after
// each piece; it may take the path's segments and holes away (the builder
// needs none of them again). A set `cancel` stops the reading (the path then
// holds what was read). False, with `error`, when the file cannot be read.
bool BuildToolpath(const std::string& path, const ToolpathOptions& options, Toolpath& out,
                   std::string& error,
                   const std::function<void(uint64_t, Toolpath&)>& progress = {},
                   const std::atomic<bool>* cancel = nullptr);

// The same from a program held in memory.
Toolpath ToolpathOf(std::string_view program, const ToolpathOptions& options = {});

// Joins runs of joined segments of one tool and kind, each and together
// shorter than `shortest` (mm), into one segment that keeps the first one's
// block: detail the screen cannot show at this size goes, every block is
// still found at or after the segment that holds it (LastSegmentUpTo). Returns
// how many segments are left.
size_t MergeShortSegments(std::deque<PathSegment>& segments, double shortest);

} // namespace vorl
