// The toolpath: arcs in the three planes by centre and by radius, helices,
// incremental and inch programs, drilling cycles, lathe diameters, the block
// the path stops at, and the run time of a small program worked out by hand.
#include "restart/toolpath.h"
#include "restart/toolpath_info.h"
#include "restart/toolpath_projection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

namespace vorl {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Some segment of the drawn path passes within `within` of the point.
bool passesNear(const Toolpath& path, double x, double y, double z, double within = 0.05) {
    const double p[3] = {x, y, z};
    for (const PathSegment& s : path.segments) {
        double along = 0;
        double length2 = 0;
        for (int i = 0; i < 3; ++i) {
            along += (p[i] - s.from[i]) * (s.to[i] - s.from[i]);
            length2 += (s.to[i] - s.from[i]) * (s.to[i] - s.from[i]);
        }
        const double t = length2 > 0 ? std::clamp(along / length2, 0.0, 1.0) : 0;
        double d2 = 0;
        for (int i = 0; i < 3; ++i) {
            const double q = s.from[i] + t * (s.to[i] - s.from[i]) - p[i];
            d2 += q * q;
        }
        if (std::sqrt(d2) < within) {
            return true;
        }
    }
    return false;
}

const char* kMill = "G21 G17 G90 G94 G54\nT1 M06\nS1000 M03\nG00 X10. Y0 Z0\n";

TEST(Toolpath, QuarterHalfAndFullCirclesByCentre) {
    // Counter-clockwise a quarter, clockwise the other three quarters.
    Toolpath ccw = ToolpathOf(std::string(kMill) + "G03 X0 Y10. I-10. J0 F100.\n");
    ASSERT_EQ(ccw.arcMoves, 1);
    EXPECT_NEAR(ccw.feedLength, kPi * 10 / 2, 1e-6);
    EXPECT_TRUE(passesNear(ccw, 10 * std::cos(kPi / 4), 10 * std::sin(kPi / 4), 0));
    EXPECT_NEAR(ccw.extents.min[0], 0, 1e-4);
    EXPECT_NEAR(ccw.extents.min[1], 0, 1e-4);
    Toolpath cw = ToolpathOf(std::string(kMill) + "G02 X0 Y10. I-10. F100.\n");
    EXPECT_NEAR(cw.feedLength, kPi * 10 * 1.5, 1e-6);
    EXPECT_NEAR(cw.extents.min[0], -10, 1e-3);
    EXPECT_NEAR(cw.extents.min[1], -10, 1e-3);
    // Start and end the same: a whole circle.
    Toolpath full = ToolpathOf(std::string(kMill) + "G02 X10. Y0 I-10. J0 F100.\n");
    EXPECT_NEAR(full.feedLength, 2 * kPi * 10, 1e-6);
    EXPECT_NEAR(full.extents.max[1], 10, 1e-3);
    EXPECT_NEAR(full.extents.min[0], -10, 1e-3);
    EXPECT_EQ(full.unknownFrom, 0);
}

TEST(Toolpath, RadiusArcsTakeTheShortWayAndRBelowZeroTheLong) {
    Toolpath half = ToolpathOf(std::string(kMill) + "G02 X-10. Y0 R10. F100.\n");
    EXPECT_NEAR(half.feedLength, kPi * 10, 1e-3);
    EXPECT_NEAR(half.extents.min[1], -10, 1e-3) << "clockwise from +X passes below";
    Toolpath shortWay = ToolpathOf(std::string(kMill) + "G03 X0 Y10. R10. F100.\n");
    EXPECT_NEAR(shortWay.feedLength, kPi * 10 / 2, 1e-6);
    EXPECT_TRUE(passesNear(shortWay, 10 * std::cos(kPi / 4), 10 * std::sin(kPi / 4), 0));
    // R < 0: three quarters about (10, 10).
    Toolpath longWay = ToolpathOf(std::string(kMill) + "G03 X0 Y10. R-10. F100.\n");
    EXPECT_NEAR(longWay.feedLength, kPi * 10 * 1.5, 1e-6);
    EXPECT_NEAR(longWay.extents.max[0], 20, 1e-3);
    EXPECT_NEAR(longWay.extents.max[1], 20, 1e-3);
    // A radius too short for the chord is refused, as the control refuses it.
    Toolpath tooShort = ToolpathOf(std::string(kMill) + "G03 X0 Y10. R5. F100.\nG01 X50.\n");
    EXPECT_EQ(tooShort.unknownFrom, 5);
    EXPECT_EQ(tooShort.feedMoves, 0);
}

TEST(Toolpath, ArcsInTheOtherPlanesAndHelices) {
    // G18 seen from +Y with Z across and X up: clockwise from X+ to Z+ is the
    // quarter between them.
    Toolpath g18 = ToolpathOf(std::string(kMill) + "G18 G02 X0 Z10. I-10. K0 F100.\n");
    EXPECT_NEAR(g18.feedLength, kPi * 10 / 2, 1e-6);
    EXPECT_NEAR(g18.extents.min[0], 0, 1e-3);
    EXPECT_TRUE(passesNear(g18, 10 * std::cos(kPi / 4), 0, 10 * std::sin(kPi / 4)));
    Toolpath g18ccw = ToolpathOf(std::string(kMill) + "G18 G03 X0 Z10. I-10. K0 F100.\n");
    EXPECT_NEAR(g18ccw.extents.min[0], -10, 1e-3);
    EXPECT_NEAR(g18ccw.extents.min[2], -10, 1e-3);
    // G19 seen from +X with Y across and Z up.
    Toolpath g19 = ToolpathOf("G21 G90 G94 G54\nG00 X0 Y10. Z0\nG19 G03 Y0 Z10. J-10. K0 F100.\n");
    EXPECT_NEAR(g19.feedLength, kPi * 10 / 2, 1e-6);
    EXPECT_TRUE(passesNear(g19, 0, 10 * std::cos(kPi / 4), 10 * std::sin(kPi / 4)));
    // A full circle while Z goes down 3: a helix.
    Toolpath helix = ToolpathOf(std::string(kMill) + "G03 X10. Y0 Z-3. I-10. F100.\n");
    EXPECT_NEAR(helix.feedLength, std::hypot(2 * kPi * 10, 3.0), 1e-6);
    EXPECT_NEAR(helix.extents.min[2], -3, 1e-6);
    EXPECT_TRUE(passesNear(helix, -10, 0, -1.5)) << "half way round, half way down";
}

TEST(Toolpath, IncrementalInchAndWorkOffsets) {
    Toolpath inc =
        ToolpathOf("G21 G90 G54\nG00 X0. Y0. Z0.\nG91 G01 X10. F100.\nX10. Y5.\nG90 X0.\n");
    EXPECT_NEAR(inc.extents.max[0], 20, 1e-6);
    EXPECT_NEAR(inc.extents.max[1], 5, 1e-6);
    EXPECT_NEAR(inc.feedLength, 10 + std::hypot(10.0, 5.0) + 20, 1e-4);
    Toolpath inch = ToolpathOf("G20 G90 G94 G54\nG00 X0 Y0 Z0\nG01 X1. F10.\nY2.\n");
    EXPECT_TRUE(inch.inch);
    EXPECT_NEAR(inch.extents.max[0], 25.4, 1e-4) << "kept in millimetres";
    EXPECT_NEAR(inch.feedLength, 3 * 25.4, 1e-4);
    EXPECT_NEAR(inch.feedSeconds, 18, 1e-6) << "3 inches at 10 inches a minute";
    EXPECT_NE(ToolpathInfoText(inch, "p").find("X 0 to 1, Y 0 to 2, Z 0 to 0 in"),
              std::string::npos)
        << ToolpathInfoText(inch, "p");
    // Each offset's moves in its own coordinates: the move between them is
    // not drawn.
    Toolpath two = ToolpathOf("G21 G90 G54\nG00 X0 Y0 Z0\nG01 X10. F100.\n"
                              "G55 G00 X0 Y0\nG01 X5.\n");
    EXPECT_EQ(two.rapidMoves, 0);
    EXPECT_EQ(two.feedMoves, 1) << "G55's Z is not known until it is given";
}

TEST(Toolpath, DrillingCycleHolesAndTheirDepth) {
    const Toolpath p =
        ToolpathOf(std::string(kMill) + "G00 Z10.\nG99 G81 X10. Y10. Z-5. R2. F100.\nX20.\n"
                                        "G98 G82 X30. P500\nG80\nG00 Z50.\n");
    ASSERT_EQ(p.holes.size(), 3u);
    EXPECT_EQ(p.holeCount, 3);
    EXPECT_FLOAT_EQ(p.holes[0].x, 10);
    EXPECT_FLOAT_EQ(p.holes[0].y, 10);
    EXPECT_FLOAT_EQ(p.holes[0].top, 2);
    EXPECT_FLOAT_EQ(p.holes[0].bottom, -5);
    EXPECT_FLOAT_EQ(p.holes[1].x, 20);
    EXPECT_FLOAT_EQ(p.holes[2].bottom, -5) << "the depth stays for the next holes";
    EXPECT_EQ(p.holes[2].block, 8);
    EXPECT_NEAR(p.feedLength, 3 * 7, 1e-6);
    EXPECT_NEAR(p.dwellSeconds, 0.5, 1e-9);
    // G99 returns to R, G98 to the level the cycle began at.
    std::map<int, float> left; // where each block leaves the tool in Z
    for (const PathSegment& s : p.segments) {
        left[s.block] = s.to[2];
    }
    EXPECT_FLOAT_EQ(left[7], 2);
    EXPECT_FLOAT_EQ(left[8], 10);
    EXPECT_TRUE(p.timeKnown);
}

TEST(Toolpath, LatheDiametersAndFeedPerRevolution) {
    ToolpathOptions lathe{ControlDialect::Lathe, 6000};
    const Toolpath p = ToolpathOf("G21 G99 G97\nT0101\nS1000 M03\nG00 X50. Z2.\n"
                                  "G01 Z-20. F0.2\nU10. W-5.\nG02 X80. Z-40. R15.\n",
                                  lathe);
    EXPECT_EQ(p.unknownFrom, 0) << p.unknownWhy;
    EXPECT_NEAR(p.extents.max[0], 40, 1e-3) << "X80 is a radius of 40";
    EXPECT_NEAR(p.extents.min[0], 25, 1e-3);
    EXPECT_NEAR(p.extents.min[2], -40, 1e-3);
    ASSERT_EQ(p.tools.size(), 1u);
    EXPECT_EQ(p.tools[0].word, "T0101");
    // 22 mm at 0.2 mm/rev and 1000 rpm is 6.6 s.
    const double second = std::hypot(5.0, 5.0) / 200 * 60;
    ASSERT_TRUE(p.timeKnown) << p.timeWhy;
    EXPECT_GT(p.feedSeconds, 6.6 + second);
    // Per revolution without a speed: said, not guessed.
    const Toolpath noSpeed = ToolpathOf("G21 G99\nT0101\nG00 X50. Z2.\nG01 Z-20. F0.2\n", lathe);
    EXPECT_FALSE(noSpeed.timeKnown);
    EXPECT_EQ(noSpeed.timeWhy, "feed per revolution without a spindle speed at block 4");
    EXPECT_NE(RunTimeSummary(noSpeed).find("not known"), std::string::npos);
    // Constant surface speed: faster near the centre, up to the clamp.
    const Toolpath css =
        ToolpathOf("G21 G99\nT0101\nG50 S2000\nG96 S200 M03\nG00 X50. Z0\nG01 X0 F0.1\n", lathe);
    ASSERT_TRUE(css.timeKnown) << css.timeWhy;
    EXPECT_GT(css.feedSeconds, 25 / (0.1 * 2000) * 60);
    EXPECT_LT(css.feedSeconds, 25 / (0.1 * 200 * 1000 / (kPi * 50)) * 60);
    const Toolpath noClamp =
        ToolpathOf("G21 G99\nT0101\nG96 S200 M03\nG00 X50. Z0\nG01 X0 F0.1\n", lathe);
    EXPECT_EQ(noClamp.timeWhy, "constant surface speed G96 without a speed clamp G50 S at block 5");
}

TEST(Toolpath, ThePathStopsWhereTheReaderCannotFollow) {
    const Toolpath macro = ToolpathOf(std::string(kMill) + "G01 X20. F100.\n#1=5.\n"
                                                           "G01 X#1\nX40.\n");
    EXPECT_EQ(macro.unknownFrom, 6);
    EXPECT_EQ(UnknownPathText(macro), "path unknown from block 6: macro variable");
    EXPECT_EQ(macro.feedMoves, 1);
    EXPECT_EQ(macro.blocks, 8) << "the blocks are still counted";
    const Toolpath call = ToolpathOf(std::string(kMill) + "M98 P1000\nG01 X40. F100.\n");
    EXPECT_EQ(call.unknownFrom, 5);
    EXPECT_EQ(call.unknownWhy, "subprogram call");
    EXPECT_EQ(call.feedMoves, 0);
    const Toolpath rotated = ToolpathOf(std::string(kMill) + "G68 X0 Y0 R30.\nG01 X40. F100.\n");
    EXPECT_EQ(rotated.unknownFrom, 5);
    const Toolpath arcWithout = ToolpathOf(std::string(kMill) + "G02 X0 Y10. F100.\n");
    EXPECT_EQ(arcWithout.unknownWhy, "arc without a centre");
    std::string big;
    for (int i = 0; i < 1210; ++i) {
        big += "G01 X" + std::to_string(i % 7) + ". F100.\n";
    }
    const Toolpath late = ToolpathOf(std::string(kMill) + big + "G01 X[#1+2.]\n");
    EXPECT_EQ(UnknownPathText(late), "path unknown from block 1,215: macro variable");
    // A return to the reference point is no stop: the moves resume drawn once
    // every axis is known again.
    const Toolpath home = ToolpathOf(std::string(kMill) + "G91 G28 Z0\nG90 G00 X20.\nZ5.\nX30.\n");
    EXPECT_EQ(home.unknownFrom, 0);
    EXPECT_EQ(home.rapidMoves, 1);
}

// Worked by hand at a rapid rate of 5000 mm/min:
//   G01 Z-1.  6 mm at 100 mm/min           3.6 s
//   X30.     30 mm                        18   s
//   Y40.     40 mm                        24   s
//   G04 P2000                              2   s
//   G00 Z5.   6 mm at 5000 mm/min          0.072 s
//   X60. Y0  30 in X, 40 in Y: the longer axis, 40 mm, 0.48 s (50 mm drawn)
// The first rapid starts from an unknown place: not counted.
TEST(Toolpath, RunTimeOfASmallProgramWorkedByHand) {
    const Toolpath p = ToolpathOf("G21 G17 G90 G94 G54\nT1 M06\nS1000 M03\nG00 X0 Y0 Z5.\n"
                                  "G01 Z-1. F100.\nX30.\nY40.\nG04 P2000\nG00 Z5.\nX60. Y0\nM30\n",
                                  {ControlDialect::Mill, 5000});
    ASSERT_TRUE(p.timeKnown) << p.timeWhy;
    EXPECT_NEAR(p.feedSeconds, 45.6, 1e-9);
    EXPECT_NEAR(p.dwellSeconds, 2.0, 1e-9);
    EXPECT_NEAR(p.rapidSeconds, 0.552, 1e-9);
    EXPECT_NEAR(p.seconds(), 48.152, 1e-9);
    EXPECT_EQ(RunTimeText(p.seconds()), "0:00:49");
    EXPECT_NEAR(p.feedLength, 76, 1e-9);
    EXPECT_NEAR(p.rapidLength, 56, 1e-9);
    EXPECT_EQ(p.feedMoves, 3);
    EXPECT_EQ(p.rapidMoves, 2);
    const std::string json = ToolpathInfoJson(p, "a \"b\".nc");
    EXPECT_NE(json.find("\"program\":\"a \\\"b\\\".nc\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"runTimeSeconds\":48.2"), std::string::npos) << json;
    EXPECT_NE(json.find("\"x\":[0,60]"), std::string::npos) << json;
    const Toolpath inverse = ToolpathOf("G21 G90 G93 G54\nG00 X0 Y0 Z0\nG01 X10. F2.\n");
    EXPECT_EQ(inverse.timeWhy, "inverse time feed G93 at block 3");
    EXPECT_NE(ToolpathInfoJson(inverse, "p").find("\"runTimeSeconds\":null"), std::string::npos);
}

// The views lay the path out as a machinist looks at it, fitted with the
// aspect kept; a zoom keeps the point under the mouse, and picking finds the
// nearest block's segment.
TEST(Toolpath, ViewsFitZoomAndPick) {
    const Toolpath p = ToolpathOf(std::string(kMill) + "G01 X40. Y0 Z-5. F100.\nY20.\n");
    PathProjection top;
    top.fit(p.extents, 300, 200);
    // 30 mm across (10 to 40) and 20 up fit 270 by 180 pixels: 9 per mm.
    EXPECT_NEAR(top.scale(), 9, 1e-9);
    EXPECT_NEAR(top.toScreen(10, 0, 0).x, 15, 1e-9);
    EXPECT_NEAR(top.toScreen(10, 0, 0).y, 190, 1e-9);
    EXPECT_NEAR(top.toScreen(40, 20, 0).y, 10, 1e-9) << "Y up";
    const ScreenPoint before = top.toScreen(25, 5, 0);
    top.zoom(2, before.x, before.y);
    EXPECT_NEAR(top.toScreen(25, 5, 0).x, before.x, 1e-9);
    EXPECT_NEAR(top.toScreen(30, 5, 0).x - before.x, 5 * 18, 1e-9);
    top.fit(p.extents, 300, 200);
    const ScreenPoint onY = top.toScreen(40, 10, 0);
    EXPECT_EQ(PickBlock(p, top, onY.x + 3, onY.y, 6), 6);
    EXPECT_EQ(PickBlock(p, top, onY.x - 60, onY.y, 6), 0);
    PathProjection front;
    front.setView(PathView::Front, false);
    front.fit(p.extents, 300, 200);
    EXPECT_LT(front.toScreen(10, 0, 0).y, front.toScreen(10, 0, -5).y) << "Z up";
    PathProjection lathe;
    lathe.setView(PathView::Front, true);
    lathe.fit(p.extents, 300, 200);
    EXPECT_GT(lathe.toScreen(0, 0, 10).x, lathe.toScreen(0, 0, 0).x) << "Z across";
    EXPECT_LT(lathe.toScreen(10, 0, 0).y, lathe.toScreen(0, 0, 0).y) << "X up";
    EXPECT_EQ(SegmentsOfBlock(p, 5).second - SegmentsOfBlock(p, 5).first, 1u);
    EXPECT_EQ(p.segments[LastSegmentUpTo(p, 7)].block, 6);
    EXPECT_DOUBLE_EQ(RoundLength(73), 50);
    EXPECT_DOUBLE_EQ(RoundLength(0.3), 0.2);
}

// Past its budget the window merges what a pixel cannot show: the ends stay,
// long moves stay, and every block is still found on the segment that holds
// its end.
TEST(Toolpath, MergingShortSegmentsKeepsTheEndsAndFindsEveryBlock) {
    std::string program = "G21 G90 G54\nG00 X0. Y0. Z0.\n";
    for (int i = 1; i <= 100; ++i) {
        program += "G01 X" + std::to_string(i) + ".0 F100.\n"; // block i + 2 ends at X i
    }
    program += "G01 Y50.\n";
    Toolpath p = ToolpathOf(program);
    ASSERT_EQ(p.segments.size(), 101u);
    EXPECT_EQ(MergeShortSegments(p.segments, 10.5), 11u);
    EXPECT_FLOAT_EQ(p.segments.front().from[0], 0);
    EXPECT_FLOAT_EQ(p.segments[9].to[0], 100);
    EXPECT_FLOAT_EQ(p.segments.back().to[1], 50);
    EXPECT_EQ(p.segments.back().block, 103);
    for (int block = 3; block <= 102; ++block) {
        const PathSegment& s = p.segments[LastSegmentUpTo(p, block)];
        EXPECT_LE(s.block, block);
        EXPECT_LE(s.from[0], block - 2);
        EXPECT_GE(s.to[0], block - 2) << block;
    }
    PathProjection top;
    top.fit(p.extents, 1000, 500);
    const ScreenPoint at = top.toScreen(55, 0, 0);
    EXPECT_EQ(PickBlock(p, top, at.x, at.y, 3), 53) << "the merged run from X50 to X60";
}

} // namespace
} // namespace vorl
