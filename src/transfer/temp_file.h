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
// `deleteTempFile` (the system lets go of the lock when the process ends, in
// whatever way). `removeAbandonedTempFiles`, run at start-up, deletes the
// files whose lock nobody holds: those of runs that have ended.
#pragma once

#include <string>
#include <string_view>

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

// Deletes the files of the temporary directory that runs of this program
// (any prefix, this user only) created and left behind: no process holds
// their lock. A file whose creator still runs is never touched, nor is any
// file named otherwise. Returns how many were deleted.
int removeAbandonedTempFiles();

} // namespace vorl
