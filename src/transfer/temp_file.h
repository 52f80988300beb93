// Temporary files of the transfer engine: the prepared download and the
// received upload.
//
// Every file is created new with a unique name in the temporary directory,
// exclusively and readable only by the user, so another user cannot plant a
// link under a name we are about to write, and two running copies never share
// a file. An upload may keep its own file for the rest of the run: it exists
// and is ours, so opening it again by name is safe; never delete it and create
// the name again.
//
// A run that is killed cannot delete its files, so each file says whose it
// is: its name holds the creating process's id ("vor4711-k3Jd9a.vorltmp"),
// and the process holds a lock on it from its creation until
// `deleteTempFile` (see platform/owned_files.h). `removeAbandonedTempFiles`,
// run at start-up, deletes the files whose lock nobody holds: those of runs
// that have ended. An upload's file that holds a program the run received but
// did not save is kept instead, under a name of its own (see below).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorl {

// TMPDIR when it names a directory, otherwise /tmp.
std::string temporaryDirectory();

struct TempFile {
    std::string path; // empty when the file could not be created
    int fd = -1;      // open for reading and writing; the caller closes it
    int error = 0;    // errno of the failure
};

// Creates a new empty file "<temporary directory>/<prefix><pid>-XXXXXX.vorltmp",
// locked by this process until deleteTempFile.
TempFile createTempFile(std::string_view prefix = "vor");

// The same, closed again: for a file another component opens by name.
// Returns the path, empty on failure.
std::string createTempFileName(std::string_view prefix = "vor");

// Deletes `path` when it is not empty, and lets go of its lock; a file that
// is already gone is fine.
void deleteTempFile(const std::string& path);

// The prefix of an upload's own file: what it holds is a received program
// until the program is saved (the engine then empties it).
inline constexpr std::string_view kUploadTempPrefix = "upl";

struct LeftoverFiles {
    int removed = 0;
    // Programs received by runs that ended before saving them, where they
    // are kept now: "received-<date>-<time>" in $STATE_DIRECTORY/recovered
    // (a service's), else $XDG_DATA_HOME/vorl/recovered or
    // ~/.local/share/vorl/recovered, else the temporary directory.
    std::vector<std::string> recovered;
};

// Clears up the files of the temporary directory that runs of this program
// (any prefix, this user only) created and left behind: no process holds
// their lock. A file whose creator still runs is never touched, nor is any
// file named otherwise. Those of uploads that hold data are kept as received
// programs; the others are deleted.
LeftoverFiles removeAbandonedTempFiles();

// The sentence that tells the user where the kept programs are; empty when
// there are none.
std::string recoveredMessage(const LeftoverFiles& leftovers);

} // namespace vorl
