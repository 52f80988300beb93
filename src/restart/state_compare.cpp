#include "restart/state_compare.h"

namespace vorl {
namespace {

std::string shown(const Setting& s) {
    return s.set() ? s.word : "NONE";
}

// The way a setting is compared: only when the program set it, or always
// (for what is on or off: spindle, coolant, compensation, cycles).
enum class When { ProgramSet, Always };

struct Field {
    const char* name;
    const Setting ModalState::*setting;
    When when;
};

constexpr Field kFields[] = {
    {"UNITS", &ModalState::units, When::ProgramSet},
    {"PLANE", &ModalState::plane, When::ProgramSet},
    {"DISTANCE MODE", &ModalState::distance, When::ProgramSet},
    {"FEED MODE", &ModalState::feedMode, When::ProgramSet},
    {"WORK OFFSET", &ModalState::workOffset, When::ProgramSet},
    {"CUTTER COMPENSATION", &ModalState::cutterComp, When::ProgramSet},
    {"LENGTH COMPENSATION", &ModalState::lengthComp, When::ProgramSet},
    {"MOTION", &ModalState::motion, When::ProgramSet},
    {"CYCLE", &ModalState::cycle, When::Always},
    {"FEED", &ModalState::feed, When::ProgramSet},
    {"SPEED MODE", &ModalState::speedMode, When::ProgramSet},
    {"SPINDLE SPEED", &ModalState::speed, When::ProgramSet},
    {"SPEED CLAMP", &ModalState::speedClamp, When::ProgramSet},
    {"SPINDLE", &ModalState::spindle, When::ProgramSet},
    {"COOLANT", &ModalState::mist, When::Always},
    {"COOLANT", &ModalState::flood, When::Always},
    {"COOLANT", &ModalState::coolantOff, When::ProgramSet},
    {"TOOL", &ModalState::toolWord, When::ProgramSet},
};

} // namespace

bool SameDecimal(const Decimal& a, const Decimal& b) {
    Decimal negated = b;
    negated.units = -b.units;
    Decimal difference;
    return AddDecimal(a, negated, difference) && difference.units == 0;
}

std::vector<StateDifference> CompareStates(const ModalState& program, const ModalState& other) {
    std::vector<StateDifference> out;
    auto differ = [&](const std::string& field, const std::string& p, const std::string& o) {
        out.push_back({field, p, o});
    };
    for (const Field& f : kFields) {
        const Setting& p = program.*f.setting;
        const Setting& o = other.*f.setting;
        if ((f.when == When::Always || p.set()) && p.word != o.word) {
            differ(f.name, shown(p), shown(o));
        }
    }
    const bool compOn = program.cutterComp.word == "G41" || program.cutterComp.word == "G42";
    if (compOn && program.cutterD.word != other.cutterD.word) {
        differ("CUTTER COMPENSATION", shown(program.cutterD), shown(other.cutterD));
    }
    const bool lengthOn = program.lengthComp.word == "G43" || program.lengthComp.word == "G44";
    if (lengthOn && program.lengthH.word != other.lengthH.word) {
        differ("LENGTH COMPENSATION", shown(program.lengthH), shown(other.lengthH));
    }
    if (program.toolChange.set() && program.toolInSpindle.word != other.toolInSpindle.word &&
        program.toolChange.word == "M06") {
        differ("TOOL", shown(program.toolInSpindle), shown(other.toolInSpindle));
    }
    for (const auto& [name, frame] : {std::pair{"ROTATION", &ModalState::rotation},
                                      std::pair{"SCALING", &ModalState::scaling}}) {
        const Frame& p = program.*frame;
        const Frame& o = other.*frame;
        if (p.active() != o.active() || p.words.word != o.words.word) {
            differ(name, p.active() ? (p.exact() ? p.words.word : p.why) : "NONE",
                   o.active() ? (o.exact() ? o.words.word : o.why) : "NONE");
        }
    }
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const Axis& p = program.axes[axis];
        const Axis& o = other.axes[axis];
        if (p.state != AxisState::Known) {
            continue;
        }
        if (o.state != AxisState::Known || !SameDecimal(p.value, o.value)) {
            differ(std::string(1, kAxisLetters[axis]), p.text,
                   o.state == AxisState::Known ? o.text : "NOT MOVED");
        }
    }
    return out;
}

} // namespace vorl
