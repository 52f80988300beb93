// One send or receive from the command line: the machine file found as the
// window finds it, the machine chosen by the window's rule, and the window's
// transfer engine driven through Connect and Transmit or Receive. Returns the
// exit status (exit_codes.h).
#pragma once

#include "dnc/dnc_command_line.h"
#include "history/history_recorder.h"
#include "machines/machine_config.h"

#include <memory>

#include <string>

namespace vorl::dnc {

// `programPath`: the executable's path without extension's directory, for
// finding the machine file beside it.
int RunTransfer(const DncCommandLine& line, const std::string& programDir);

// The machine file as the window finds it (or -c), read into `machines`; the
// language file loaded, the port map pointed beside it. False and why.
struct ShopFiles {
    std::string configPath;
    std::string translationPath;
};
bool LoadShop(const std::string& config, const std::string& programDir, MachineList& machines,
              ShopFiles& files, std::string& why, std::string& warning);

// The history of the machine file `configPath` (null when its settings switch
// it off); its failures, and settings it cannot read, are said on standard
// error.
std::shared_ptr<history::HistoryRecorder>
OpenHistoryReportingOnStderr(const std::string& configPath);

} // namespace vorl::dnc
