// The trigger strings that tests of a whole transfer give both sides: the
// simulated machine tool's arguments and the machine record's strings, one
// set, so that the two sides always agree.
#pragma once

#include "machines/machine_config.h"

#include <string>
#include <vector>

namespace vorl::test {

// The simulated machine tool's trigger arguments (its control characters).
inline const std::vector<std::string> kSimTriggerArgs = {
    "--download-start", "^R", "--download-ready", "^Q", "--download-stop", "^T",
    "--download-end",   "^F", "--upload-start",   "^E", "--upload-ready",  "^B",
    "--upload-stop",    "^F"};

// The same strings in the machine record; the upload's End string comes
// with the data and is filtered out of it.
inline void UseSimTriggers(MachineConfig& m) {
    m.triggers[DownloadStart] = "\x12";
    m.triggers[DownloadReady] = "\x11";
    m.triggers[DownloadStop] = "\x14";
    m.triggers[DownloadEnd] = "\x06";
    m.triggers[UploadStart] = "\x05";
    m.triggers[UploadReady] = "\x02";
    m.triggers[UploadStop] = "\x06";
    m.triggers[UploadEnd] = "\x03";
    m.uploadFilterChars = "\x03";
}

} // namespace vorl::test
