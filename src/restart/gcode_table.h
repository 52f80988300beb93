// The table from G code to modal group, one column per control dialect: what
// a G word does to the modal state on a mill and on a lathe (G-code system A).
// A dialect is a column of this table, not a branch of the reader.
#pragma once

#include "restart/gcode_reader.h"

#include <cstdint>

namespace vorl {

enum class GCodeGroup : uint8_t {
    None,
    Motion,        // G00 G01 G02 G03, lathe G32
    TurningCycle,  // lathe G90 G92 G94: a pass that ends where it began, modal
    Dwell,         // G04: X is a time
    Reference,     // G28 G30
    MachineCoords, // G53
    ExactStop,     // G09, this block only
    PolarOff,
    Polar,
    Plane,
    Units,
    CutterComp,
    LengthComp,
    ScalingOff,    // mill G50
    Scaling,       // G51
    ClampOrOrigin, // lathe G50: S the speed clamp, X Z a new origin
    WorkOffset,
    ExtendedOffset, // G54.1 P<n>
    Call,
    CallCancel,
    Rotation,    // G68
    RotationOff, // G69
    LatheCycle,  // lathe G70 .. G76
    DrillCycle,  // G73 G74 G76 G81 .. G89
    CycleCancel, // G80
    Distance,
    FeedMode,
    SpeedMode,
    ReturnLevel,
};

// What code `code10` (the code times ten: G54.1 is 541) does in `dialect`;
// None where that dialect does not know it. Unknown reads as a mill.
GCodeGroup GroupOf(int code10, ControlDialect dialect);

// Both dialects know the code and read it differently (G90: a mode on a
// mill, a turning cycle on a lathe).
bool DialectsDisagree(int code10);

} // namespace vorl
