// Replacing a file whole or not at all: a received program, the machine file.
//
// The new content is written into a hidden file beside the old one and renamed
// over it once it is on the disk, so the name holds the old or the new content
// whatever happens. The new file keeps the old one's group (and its owner, as
// far as the system lets us) and permissions. Where a rename would change what
// others see, or cannot be had, the file is rewritten in place instead: when
// the folder is closed to us, when the file has other names (hard links, which
// a rename would leave on the old content), and when the new file could not
// keep the old one's group. Then the new content is first written whole into
// an unnamed file in the staging folder, the old content copied aside the same
// way, room on the disk taken for the new size, and only then is the file
// overwritten; should that fail, the old content is written back. Only a crash
// of the machine or process during that last copy can leave a mixed file.
//
// The hidden file beside the target is named ".vorl<pid>-XXXXXX.part" (short
// enough for a target name of the longest length the system allows) and is
// locked by its writer, so that a later start can tell one left by a killed
// run (see RemoveAbandonedPartFiles) from one still being written.
#pragma once

#include <string>
#include <sys/stat.h>

namespace vorl {

// TMPDIR when it names a folder, otherwise /tmp.
std::string TemporaryDirectory();

// The file `path` stands for: symbolic links are followed to the end of their
// chain, also when the last names a file that is not there yet.
std::string FollowLinks(std::string path);

// Why a program may not be saved under `path` (after FollowLinks): a folder,
// anything but a regular file (a pipe or device would block or swallow the
// writer), a read-only file (no write permission at all, or none for us), or,
// for a new file, a folder that is missing or closed to us. Empty when it may.
// Never opens the file.
std::string RefuseReplacing(const std::string& path);

class ReplacedFile {
public:
    // `readOnlyRefused`: a file without any write permission is refused even
    // where we could still replace it (as the superuser can).
    explicit ReplacedFile(const std::string& path, bool readOnlyRefused = true,
                          std::string stagingDir = TemporaryDirectory());
    // Without commit: the file stays as it was and nothing is left beside it.
    ~ReplacedFile();
    ReplacedFile(const ReplacedFile&) = delete;
    ReplacedFile& operator=(const ReplacedFile&) = delete;

    // Checks the target and opens the file the new content goes to. Empty, or
    // the text of the failure ("<path>: <reason>").
    std::string open();
    // Where to write the new content, from its start.
    int fd() const { return fd_; }
    // Puts the new content in place; empty, or the text of the failure (the
    // old content is then still there).
    std::string commit();

    const std::string& path() const { return target_; }
    bool inPlace() const { return targetFd_ >= 0; }

private:
    std::string openInPlace();
    std::string commitInPlace();
    std::string failed(const std::string& path, int error) const;

    std::string target_;
    bool readOnlyRefused_;
    std::string stagingDir_;
    struct stat old_ {};
    bool exists_ = false;
    std::string besidePath_; // the file beside the target, until renamed
    int fd_ = -1;            // the file beside it, or the staged content
    int targetFd_ = -1;      // the target itself, when rewritten in place
};

// Copies the first `size` bytes of `from` over the start of `to`; 0 or the
// errno of the failure.
int CopyContent(int from, int to, off_t size);

// Deletes the hidden files that killed runs left beside files in `dir` while
// writing them (this user's, unlocked, their creator gone). Returns how many.
int RemoveAbandonedPartFiles(const std::string& dir);

} // namespace vorl
