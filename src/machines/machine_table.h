// Rules of the machine table that the menus and dialogs share: which slots go
// into which machine submenu and with what caption, where a long submenu breaks
// into a second column, the defaults of a new machine, and the choice of a
// machine named on the command line.
#pragma once

#include "machines/config_file.h"
#include "machines/machine_config.h"

#include <string>
#include <string_view>
#include <vector>

namespace vorl {

// The settings of a machine just added to the list: download only, ".ncc"
// extensions, COM 2 at 4800 bit/s, 8 data bits, 1 stop bit, everything else off.
MachineConfig NewMachineDefaults();

// For a submenu of `items` entries: the 0-based position of the entry that
// starts the second column, or -1 for a single column (fewer than 26 entries).
int ColumnBreakIndex(int items);

// One machine submenu item: its caption and its tag (the slot index).
struct MachineMenuEntry {
    std::string caption;
    int tag = 0;

    bool operator==(const MachineMenuEntry&) const = default;
};

// Every slot but the terminal entry and deleted ones, captioned with the name.
std::vector<MachineMenuEntry> EditMachineEntries(const MachineList& list);
// Download-capable slots ('D', 'B'), captioned `prefix` + name.
std::vector<MachineMenuEntry> DownloadMachineEntries(const MachineList& list,
                                                     std::string_view prefix);
// Upload-capable slots ('U', 'B'), captioned `prefix` + name.
std::vector<MachineMenuEntry> UploadMachineEntries(const MachineList& list,
                                                   std::string_view prefix);

// The download-capable slot whose name starts with `prefix` (ignoring case),
// or 0 when none or more than one does.
int ChooseCommandLineMachine(const MachineList& list, std::string_view prefix);
// Every slot that could do the transfer (download-capable, or upload-capable
// when `upload`) whose name starts with `prefix` ignoring case: the machine is
// chosen when there is exactly one.
std::vector<int> CommandLineMachineCandidates(const MachineList& list, std::string_view prefix,
                                              bool upload = false);

// Removes the deleted slots (capability '?'), moving the later ones up, so the
// table lists its machines in the order the writer puts them into the file.
// `selected` follows its machine; it becomes 0 when that machine was deleted.
void CompactMachineList(MachineList& list);

// What saving the table and reading it back did.
struct SaveAndReloadResult {
    bool written = false;  // the file now holds the table
    int sections = 0;      // sections read back; 0: the table was left as it was
    int stoppedAtLine = 0; // where the reading back ended before the file's end, or 0
};

// Every edit of the machines ends here: deleted slots leave the table, the
// file is written, and the table is read back from it. The reading starts
// from an empty table, so that no machine keeps a setting of the slot it lands
// on: after a failed write the file still holds the old list, in its old
// order. Then `selected` follows its machine by name (0 when no one machine
// has that name). A read that yields no section leaves the table as it was
// before the save, so that the menus built from it still fit it.
SaveAndReloadResult SaveAndReloadMachines(const std::string& path, MachineList& list,
                                          const ConfigDamageReport& onDamaged = {});

} // namespace vorl
