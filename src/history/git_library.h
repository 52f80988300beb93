// The git library's start-up and its error texts, shared by the history's
// repository and the compare.
#pragma once

#include <string>

namespace vorl::history {

// Starts the library once per process (and asks it to make what it writes
// durable); safe from any thread.
void EnsureGitLibrary();

// `what`, with the library's last error on this thread when it has one.
std::string LastGitError(const std::string& what);

} // namespace vorl::history
