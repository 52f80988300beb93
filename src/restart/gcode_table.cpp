#include "restart/gcode_table.h"

#include <array>
#include <cstddef>

namespace vorl {
namespace {

struct GCodeEntry {
    int code10;
    GCodeGroup mill;
    GCodeGroup lathe;
};

using G = GCodeGroup;
constexpr GCodeEntry kGCodes[] = {
    {0, G::Motion, G::Motion},
    {10, G::Motion, G::Motion},
    {20, G::Motion, G::Motion},
    {30, G::Motion, G::Motion},
    {40, G::Dwell, G::Dwell},
    {90, G::ExactStop, G::ExactStop},
    {150, G::PolarOff, G::None},
    {160, G::Polar, G::None},
    {170, G::Plane, G::Plane},
    {180, G::Plane, G::Plane},
    {190, G::Plane, G::Plane},
    {200, G::Units, G::Units},
    {210, G::Units, G::Units},
    {280, G::Reference, G::Reference},
    {300, G::Reference, G::Reference},
    {320, G::None, G::Motion},
    {400, G::CutterComp, G::CutterComp},
    {410, G::CutterComp, G::CutterComp},
    {420, G::CutterComp, G::CutterComp},
    {430, G::LengthComp, G::None},
    {440, G::LengthComp, G::None},
    {490, G::LengthComp, G::None},
    {500, G::ScalingOff, G::ClampOrOrigin},
    {510, G::Scaling, G::None},
    {530, G::MachineCoords, G::MachineCoords},
    {540, G::WorkOffset, G::WorkOffset},
    {541, G::ExtendedOffset, G::None},
    {550, G::WorkOffset, G::WorkOffset},
    {560, G::WorkOffset, G::WorkOffset},
    {570, G::WorkOffset, G::WorkOffset},
    {580, G::WorkOffset, G::WorkOffset},
    {590, G::WorkOffset, G::WorkOffset},
    {650, G::Call, G::Call},
    {660, G::Call, G::Call},
    {670, G::CallCancel, G::CallCancel},
    {680, G::Rotation, G::None},
    {690, G::RotationOff, G::None},
    {700, G::None, G::LatheCycle},
    {710, G::None, G::LatheCycle},
    {720, G::None, G::LatheCycle},
    {730, G::DrillCycle, G::LatheCycle},
    {740, G::DrillCycle, G::LatheCycle},
    {750, G::None, G::LatheCycle},
    {760, G::DrillCycle, G::LatheCycle},
    {800, G::CycleCancel, G::CycleCancel},
    {810, G::DrillCycle, G::None},
    {820, G::DrillCycle, G::None},
    {830, G::DrillCycle, G::None},
    {840, G::DrillCycle, G::None},
    {850, G::DrillCycle, G::None},
    {860, G::DrillCycle, G::None},
    {870, G::DrillCycle, G::None},
    {880, G::DrillCycle, G::None},
    {890, G::DrillCycle, G::None},
    {900, G::Distance, G::TurningCycle},
    {910, G::Distance, G::None},
    {920, G::None, G::TurningCycle},
    {930, G::FeedMode, G::None},
    {940, G::FeedMode, G::TurningCycle},
    {950, G::FeedMode, G::None},
    {960, G::SpeedMode, G::SpeedMode},
    {970, G::SpeedMode, G::SpeedMode},
    {980, G::ReturnLevel, G::FeedMode},
    {990, G::ReturnLevel, G::FeedMode},
};

// The table by code, for a look-up per G word of a large program.
constexpr int kTableCodes = 1000;
constexpr std::array<GCodeEntry, kTableCodes> kGCodeTable = [] {
    std::array<GCodeEntry, kTableCodes> table{};
    for (int i = 0; i < kTableCodes; ++i) {
        table[static_cast<size_t>(i)] = {i, G::None, G::None};
    }
    for (const GCodeEntry& e : kGCodes) {
        table[static_cast<size_t>(e.code10)] = e;
    }
    return table;
}();

GCodeEntry lookUp(int code10) {
    if (code10 < 0 || code10 >= kTableCodes) {
        return {code10, G::None, G::None};
    }
    return kGCodeTable[static_cast<size_t>(code10)];
}

} // namespace

GCodeGroup GroupOf(int code10, ControlDialect dialect) {
    const GCodeEntry entry = lookUp(code10);
    return dialect == ControlDialect::Lathe ? entry.lathe : entry.mill;
}

bool DialectsDisagree(int code10) {
    const GCodeEntry entry = lookUp(code10);
    return entry.mill != entry.lathe && entry.mill != GCodeGroup::None &&
           entry.lathe != GCodeGroup::None;
}

} // namespace vorl
