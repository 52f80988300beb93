// The numbers of a toolpath as people and programs read them: the text of
// "vorl-dnc info" and of the view's accessible description, and the same as
// JSON. Lengths and extents are in the program's units.
#pragma once

#include "restart/toolpath.h"

#include <string>

namespace vorl {

// "1,204"
std::string GroupedNumber(long long value);
// "1:02:05" (hours:minutes:seconds, rounded up to the second), "0:00:07"
std::string RunTimeText(double seconds);
// "path unknown from block 1,204: macro variable"; empty when the path is
// known to the end.
std::string UnknownPathText(const Toolpath& path);
// "X -10 to 50, Y 0 to 30, Z -5 to 2 mm"
std::string ExtentsText(const Toolpath& path);
// "about 0:12:40" or "not known: feed move without F at block 12"
std::string RunTimeSummary(const Toolpath& path);

// The lines of "vorl-dnc info": program, extents, moves, lengths, tools, run
// time, where the path stops being known, notes.
std::string ToolpathInfoText(const Toolpath& path, const std::string& name);
// One JSON object with the same numbers (lengths in the program's units, the
// run time in seconds or null with the reason).
std::string ToolpathInfoJson(const Toolpath& path, const std::string& name);
// One paragraph: extents, move counts and run time.
std::string ToolpathDescription(const Toolpath& path);

} // namespace vorl
