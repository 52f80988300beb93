// Files named after the process that makes them, for the clean-up of a run
// that was killed before it could delete them.
//
// The name is "<letters><pid>-XXXXXX<suffix>" (hidden files put a dot before
// the letters), the file is made new and exclusively, and its maker holds a
// lock on it from the moment it is there until it deletes it or renames it
// away: the system lets go of the lock when the process ends, in whatever way.
// A file nobody holds the lock of, whose maker is gone, was left behind.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vorl {

struct OwnedFile {
    std::string path; // empty when the file could not be made
    int fd = -1;      // open for reading and writing, locked; the caller closes it
    int error = 0;    // errno of the failure
};

// Makes "<dir>/<prefix><pid>-XXXXXX<suffix>" with `mode` (less the umask) and
// waits for its lock: another start's clean-up may hold it for a moment while
// it looks at the file.
OwnedFile CreateOwnedFile(const std::string& dir, std::string_view prefix, std::string_view suffix,
                          mode_t mode);

// The maker's process id in such a name; 0 for any other name.
pid_t CreatorOf(std::string_view name, std::string_view suffix);

// Calls `take` for every file of `dir` whose name ends in `suffix` that a run
// of this user left behind: a regular file of ours, named as above, whose lock
// nobody holds and whose maker is gone (or, should its process id have come
// back to another process, untouched for a minute). `take` gets the folder,
// the name and the file, open and locked, and says whether it took the file
// away (deleted or moved it). Returns how many it took.
int ForEachAbandoned(const std::string& dir, std::string_view suffix,
                     const std::function<bool(int dirFd, const std::string& name, int fd)>& take);

} // namespace vorl
