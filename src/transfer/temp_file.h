// Temporary files of the transfer engine: the prepared download and the
// received upload.
//
// Every file is created new with a unique name ("vor" and six random
// characters) in the temporary directory, exclusively and readable only by
// the user, so another user cannot plant a link under a name we are about to
// write, and two running copies never share a file. An upload may keep its
// own file for the rest of the run: it exists and is ours, so opening it again
// by name is safe; never delete it and create the name again.
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

// Creates a new empty file "<temporary directory>/<prefix>XXXXXX".
TempFile createTempFile(std::string_view prefix = "vor");

// The same, closed again: for a file another component opens by name.
// Returns the path, empty on failure.
std::string createTempFileName(std::string_view prefix = "vor");

// Deletes `path` when it is not empty; a file that is already gone is fine.
void deleteTempFile(const std::string& path);

} // namespace vorl
