// Each machine's restart settings: which control dialect its programs are
// written for and the line that takes its tool clear before a restart's
// approach. They lie beside the machine file, named after it with ".restart"
// (shop.vorlcfg -> shop.restart), INI style, one section per machine by
// name; the machine file itself keeps its format.
//
//   [Lathe 2]
//   control = lathe                (lathe or mill; missing: not known)
//   safe_retract = G28 U0 W0       (missing: the dialect's default; empty: none)
//
// Lines starting with # or ; are comments. Sections of machines the file does
// not know are kept as they are when one machine's settings are written.
#pragma once

#include "restart/restart_prefix.h"

#include <string>

namespace vorl {

// The restart file of the machine file `configPath`.
std::string RestartFilePath(const std::string& configPath);

// The settings of `machine` in the restart file at `path`; the defaults (no
// dialect, its default retract) when the file or the machine's section is
// missing or a value is not known.
RestartOptions ReadMachineRestart(const std::string& path, const std::string& machine);

// Writes the settings of `machine` into the restart file at `path` (created
// when missing), replacing the file whole: false, and the file as it was,
// when it cannot be written.
bool WriteMachineRestart(const std::string& path, const std::string& machine,
                         const RestartOptions& options);

// "lathe", "mill" or "" as the file writes a dialect.
std::string DialectName(ControlDialect dialect);

} // namespace vorl
