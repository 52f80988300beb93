// Where the history is kept: a small file beside the machine file, named
// after it with ".history" (shop.vorlcfg -> shop.history), INI style; the
// machine file itself stays as it is. Without the file the history lives
// beside the machine file in shop.history.git and is not pushed anywhere.
//
//   repository = /srv/vorl/history.git   a relative path is taken from this file's
//                                        directory
//   remote = ssh://git@server/shop.git   pushed to after each record (optional)
//   remote_branch = cell-a               the branch there (default: the host's name)
//   enabled = yes                        no: nothing is recorded
//
// Lines starting with # or ; are comments.
#pragma once

#include <string>

namespace vorl::history {

struct HistorySettings {
    std::string path;         // the settings file (it may not exist)
    std::string repository;   // the history's repository
    std::string remote;       // where each record is pushed; empty: nowhere
    std::string remoteBranch; // the branch there: this host's (its name by default)
    bool enabled = true;
};

// The settings file of the machine file `configPath`.
std::string HistorySettingsPath(const std::string& configPath);

// The settings of the machine file `configPath`: the defaults when its
// settings file does not exist. False, with the reasons (one a line) in
// `errors`, when the file cannot be read or says something wrong; `out` then
// holds the defaults.
bool ReadHistorySettings(const std::string& configPath, HistorySettings& out, std::string& errors);

} // namespace vorl::history
