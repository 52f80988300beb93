// What a service run that was killed or stopped left behind, cleared up when
// the next run starts: the temporary files of its transfers (a received
// program not yet saved is kept, not deleted), the hidden files it was
// writing in the received folders, and the spool files that held a received
// program before it took its name. Files of a run that still goes on are
// never touched. Everything done is logged.
#pragma once

#include "dnc/service_config.h"
#include "machines/machine_config.h"

#include <string>
#include <utility>
#include <vector>

namespace vorl::dnc {

class ServiceLog;

// The spool a served line of this process receives into: hidden, in the
// machine's upload folder `dir`, named after the process and the line.
std::string SpoolPath(const std::string& dir, int tag);

// Clears up after earlier runs, for the lines `served` (machine slot and its
// settings) of `machines`.
void ClearUpLeftovers(const MachineList& machines,
                      const std::vector<std::pair<int, LineService>>& served, ServiceLog& log);

} // namespace vorl::dnc
