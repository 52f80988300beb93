// The program's command line: "-c" file, "-m" machine name prefix, "-d" (show
// the command line), and a program file to download; "--help" and "--version"
// answer on standard output before any window opens.
#pragma once

#include <string>
#include <vector>

namespace vorl {

struct CommandLine {
    std::string file;    // the program file, after the long-name lookup
    std::string machine; // "-m"
    std::string config;  // "-c"
    // One entry per "-d": the text to show, the whole command line with every
    // argument (the program name included) followed by one blank.
    std::vector<std::string> shows;
    bool help = false;    // "--help"
    bool version = false; // "--version"
    // An argument that looks like an option but is none (e.g. "--bogus", "-h"):
    // the program says so and ends with exit status 2 instead of taking it for
    // a file. A file whose name starts with "-" follows "--".
    std::string unknownOption;
};

// `args` includes the program name as its first element. Arguments are read
// left to right; option names are compared ignoring case; an option and its
// value are both consumed; a later argument of the same kind overrides an
// earlier one; an option given last takes an empty value.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// What the window program says when it cannot open its window: no display.
// Empty when the environment names a display for the platform Qt will use.
std::string NoDisplayText(const std::string& program);

// The name under which a command-line file is found. Unchanged when empty, when
// it exists as given, or when nothing fits. Otherwise its directory is searched
// for an entry whose name equals the given one ignoring case; when exactly one
// entry does, the directory part as given followed by that entry's real name.
// (File names on this system are case-sensitive: a program named on the
// command line as written in a DOS-era batch file is still found, but an entry
// that matches exactly always wins and an ambiguous match picks nothing.)
std::string LongFileName(const std::string& arg);

// What "--help" and "--version" print.
std::string UsageText();
std::string VersionText();

} // namespace vorl
