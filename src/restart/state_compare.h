// Comparing two modal states as a control would find them: the modes, the
// tool, the spindle, coolant, rotation and scaling, and every position the
// first state knows. The restart prefix uses it to check itself against the
// program it was built from.
#pragma once

#include "restart/gcode_reader.h"

#include <string>
#include <vector>

namespace vorl {

struct StateDifference {
    std::string field;   // "SPINDLE", "X", "WORK OFFSET"
    std::string program; // the value in the first state ("NONE" when not set)
    std::string prefix;  // the value in the second
};

// Where `other` differs from `program`. A mode the program never set, a
// compensation's D or H word while it is off, and a position the program does
// not know (never programmed, at the reference point, lost) do not count.
std::vector<StateDifference> CompareStates(const ModalState& program, const ModalState& other);

// Two numbers are the same when a control reads them alike: the same value,
// both with or both without a decimal point.
bool SameDecimal(const Decimal& a, const Decimal& b);

} // namespace vorl
