// The command line of vorl-dnc: a command (send, receive) and its options.
#pragma once

#include <string>
#include <vector>

namespace vorl::dnc {

struct DncCommandLine {
    enum class Command { None, Send, Receive, Serve, Status, Diff, History, Info };
    Command command = Command::None;
    std::string machine;   // -m: a prefix of the machine's name
    std::string config;    // -c: the machine file
    std::string file;      // the program to send, or the target to receive into
    std::string otherFile; // diff: the program compared with `file`
    // diff: what the compare does not count
    bool ignoreNumbers = false;
    bool ignoreBlanks = false;
    bool ignoreComments = false;
    bool json = false;    // info: the numbers as JSON
    int block = 0;        // --block: start the program at this block (0: at its start)
    int silenceSecs = 0;  // --silence: end a receive after this much silence (0: only End)
    int timeoutSecs = 60; // --timeout: longest wait for the machine tool (0: no limit)
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::string error; // why the command line is wrong; empty when it is not
};

// `args` includes the program name as its first element.
DncCommandLine ParseDncCommandLine(const std::vector<std::string>& args);

std::string DncUsageText();
std::string DncVersionText();

} // namespace vorl::dnc
