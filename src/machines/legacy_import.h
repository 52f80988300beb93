// Import of the older binary configuration file: a little-endian dump of the
// machine table, read once when no text configuration file yields a machine.
//
// Layout: one byte of no meaning, then records of: capability (1 byte); name,
// upload extension, download extension, upload directory, download directory
// (each a 16-bit signed length 0-60 and that many bytes); port (16), baud rate
// (32), data bits, stop bits, parity, handshake, protocol (16 each), block delay
// (32), EOB mode, char code, three download and three upload filter flags,
// punch leader, punch trailer, leader length (16 each); download and upload
// filter characters and the eight trigger strings (strings as above, raw bytes).
#pragma once

#include "machines/machine_config.h"

#include <string>

namespace vorl {

enum class LegacyImportStatus {
    Ok,
    CannotOpen, // the file could not be opened; nothing read
    Damaged,    // a record cut short by the end of the file, or more than 50
                // records: the complete records (at most 50) were taken
    Fatal,      // a string length outside 0-60: the program cannot proceed
};

struct LegacyImportResult {
    int count = 0; // records taken, -1 when the file could not be opened
    LegacyImportStatus status = LegacyImportStatus::Ok;
};

// Fills slots 0 ... n-1 and sets `count` = n for Ok and Damaged; leaves the
// table alone for CannotOpen and Fatal. Never reads beyond the end of the file.
LegacyImportResult ImportLegacyConfiguration(const std::string& path, MachineList& list);

} // namespace vorl
