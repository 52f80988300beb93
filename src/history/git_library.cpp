#include "history/git_library.h"

#include <git2.h>

#include <mutex>

namespace vorl::history {

void EnsureGitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        git_libgit2_init();
        // A record is whole once it is on the disk: objects and the branch
        // are synced before the branch moves, so a crash or power cut leaves
        // the history as it was or with the record, never damaged.
        git_libgit2_opts(GIT_OPT_ENABLE_FSYNC_GITDIR, 1);
    });
}

std::string LastGitError(const std::string& what) {
    const git_error* e = git_error_last();
    return e != nullptr && e->message != nullptr ? what + ": " + e->message : what;
}

} // namespace vorl::history
