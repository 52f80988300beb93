#include "dnc/dnc_command_line.h"

#include <charconv>

namespace vorl::dnc {
namespace {

bool toNumber(const std::string& text, int& out) {
    int n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (text.empty() || ec != std::errc() || ptr != end || n < 0) {
        return false;
    }
    out = n;
    return true;
}

// diff A B, history PROGRAM: they read files and the history only.
void ParseHistoryCommand(DncCommandLine& line, const std::vector<std::string>& operands) {
    const bool diff = operands.front() == "diff";
    line.command = diff ? DncCommandLine::Command::Diff : DncCommandLine::Command::History;
    const size_t wanted = diff ? 3 : 2;
    if (operands.size() < wanted) {
        line.error = diff ? "diff needs two programs" : "missing PROGRAM";
    } else if (operands.size() > wanted) {
        line.error = "extra operand '" + operands[wanted] + "'";
    } else if (!line.machine.empty() || line.block > 0 || line.silenceSecs > 0) {
        line.error = operands.front() + " takes no -m, --block or --silence";
    } else {
        line.file = operands[1];
        line.otherFile = diff ? operands[2] : std::string();
    }
}

} // namespace

DncCommandLine ParseDncCommandLine(const std::vector<std::string>& args) {
    DncCommandLine line;
    std::vector<std::string> operands;
    bool optionsEnd = false;
    for (size_t i = 1; i < args.size() && line.error.empty(); ++i) {
        std::string arg = args[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            line.help = true;
            continue;
        }
        if (arg == "--version") {
            line.version = true;
            continue;
        }
        if (arg == "--json") {
            line.json = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet") {
            line.quiet = true;
            continue;
        }
        if (bool* flag = arg == "--ignore-numbers"    ? &line.ignoreNumbers
                         : arg == "--ignore-blanks"   ? &line.ignoreBlanks
                         : arg == "--ignore-comments" ? &line.ignoreComments
                                                      : nullptr) {
            *flag = true;
            continue;
        }
        // An option with a value: "-m NAME", "-mNAME", "--machine NAME",
        // "--machine=NAME".
        std::string name = arg;
        std::string value;
        bool haveValue = false;
        if (arg.rfind("--", 0) == 0) {
            if (const size_t eq = arg.find('='); eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                haveValue = true;
            }
        } else if (arg.size() > 2) {
            name = arg.substr(0, 2);
            value = arg.substr(2);
            haveValue = true;
        }
        std::string* target = nullptr;
        int* number = nullptr;
        if (name == "-m" || name == "--machine") {
            target = &line.machine;
        } else if (name == "-c" || name == "--config") {
            target = &line.config;
        } else if (name == "--block") {
            number = &line.block;
        } else if (name == "--silence") {
            number = &line.silenceSecs;
        } else if (name == "--timeout") {
            number = &line.timeoutSecs;
        } else {
            line.error = "unrecognized option '" + arg + "'";
            break;
        }
        if (!haveValue) {
            if (i + 1 >= args.size()) {
                line.error = "option '" + name + "' requires an argument";
                break;
            }
            value = args[++i];
        }
        if (target != nullptr) {
            *target = value;
        } else if (!toNumber(value, *number)) {
            line.error = "invalid number for '" + name + "': '" + value + "'";
        }
    }
    if (!line.error.empty() || line.help || line.version) {
        return line;
    }
    if (operands.empty()) {
        line.error = "missing command (send, receive, serve, status, diff, history or info)";
        return line;
    }
    const std::string& command = operands.front();
    if ((line.ignoreNumbers || line.ignoreBlanks || line.ignoreComments) && command != "diff") {
        line.error = "--ignore-numbers, --ignore-blanks and --ignore-comments are for diff";
        return line;
    }
    if (line.json && command != "info") {
        line.error = "--json is for info";
        return line;
    }
    if (command == "info") {
        line.command = DncCommandLine::Command::Info;
        if (operands.size() < 2) {
            line.error = "missing PROGRAM";
        } else if (operands.size() > 2) {
            line.error = "extra operand '" + operands[2] + "'";
        } else if (!line.machine.empty() || line.block > 0 || line.silenceSecs > 0) {
            line.error = "info takes only --json";
        } else {
            line.file = operands[1];
        }
        return line;
    }
    if (command == "diff" || command == "history") {
        ParseHistoryCommand(line, operands);
        return line;
    }
    if (command == "send") {
        line.command = DncCommandLine::Command::Send;
    } else if (command == "receive") {
        line.command = DncCommandLine::Command::Receive;
    } else if (command == "serve" || command == "status") {
        line.command =
            command == "serve" ? DncCommandLine::Command::Serve : DncCommandLine::Command::Status;
        if (operands.size() > 1) {
            line.error = "extra operand '" + operands[1] + "'";
        } else if (!line.machine.empty() || line.block > 0 || line.silenceSecs > 0) {
            line.error = command + " takes only -c and --quiet";
        }
        return line;
    } else {
        line.error = "unknown command '" + command + "'";
        return line;
    }
    const char* what = line.command == DncCommandLine::Command::Send ? "PROGRAM" : "TARGET";
    if (operands.size() < 2) {
        line.error = std::string("missing ") + what;
    } else if (operands.size() > 2) {
        line.error = "extra operand '" + operands[2] + "'";
    } else if (line.machine.empty()) {
        line.error = "missing -m MACHINE";
    } else if (line.block > 0 && line.command != DncCommandLine::Command::Send) {
        line.error = "--block is for send";
    } else if (line.silenceSecs > 0 && line.command != DncCommandLine::Command::Receive) {
        line.error = "--silence is for receive";
    }
    if (line.error.empty()) {
        line.file = operands[1];
    }
    return line;
}

std::string DncUsageText() {
    return R"(Usage: vorl-dnc send -m MACHINE [-c CONFIG-FILE] [--block N] PROGRAM
  or:  vorl-dnc receive -m MACHINE [-c CONFIG-FILE] [--silence SECONDS] TARGET
  or:  vorl-dnc serve [-c CONFIG-FILE]
  or:  vorl-dnc status [-c CONFIG-FILE]
  or:  vorl-dnc diff [--ignore-numbers] [--ignore-blanks] [--ignore-comments] A B
  or:  vorl-dnc history [-c CONFIG-FILE] PROGRAM
  or:  vorl-dnc info [--json] PROGRAM
Moves one NC part program to or from a machine tool without the window, with
the machine's settings from the same machine file as vorl: port, line,
trigger strings, protocol, filters and tape code.

  send          send PROGRAM to the machine tool
  receive       receive a program from the machine tool into TARGET (replaced
                whole once the program is complete; never left half written)
  serve         serve the machines of the service file CONFIG.dnc beside the
                machine file, unattended: remote requests and auto receive
  status        show the state of each line a running serve keeps
  diff          compare the programs A and B block by block and print the
                changed blocks as a unified diff (exit 0 same, 1 different,
                2 trouble)
  history       list the versions and transfers of PROGRAM (its file name)
                kept in the history beside the machine file
  info          read PROGRAM and show what it will do: extents, feed and
                rapid moves and their lengths, holes, tools and an estimated
                run time (rapids at 10,000 mm/min), and the block from which
                its path cannot be followed

  -m, --machine=MACHINE   the one machine whose name starts with MACHINE
                          (letter case ignored); none or several is an error
  -c, --config=FILE       the machine file instead of vorl.vorlcfg
      --block=N           send: start the program at block N
      --silence=SECONDS   receive: end and save after SECONDS without data;
                          without it a machine tool that stops sending without
                          its End string fails the receive (nothing saved)
      --timeout=SECONDS   longest wait for the machine tool to answer
                          (default 60; 0 waits for ever)
      --json              info: the numbers as one JSON object
      --ignore-numbers    diff: sequence numbers (N words) do not count
      --ignore-blanks     diff: spaces and tabs do not count
      --ignore-comments   diff: comments, (...) and ; to the end of the block,
                          do not count
  -q, --quiet             show errors only
  -h, --help              display this help and exit
      --version           output version information and exit

Progress goes to standard error: on a terminal one line, rewritten; otherwise
a line for each change of status. Ctrl-C or SIGTERM stop the transfer as
Reset does (the port is closed and the machine tool let go); a second Ctrl-C
ends at once.

The machine file is found as vorl finds it (beside the program, else
~/.config/vorl/vorl.vorlcfg). A machine's COM n is the device named by
$VORL_COM<n>, else by a line COM<n>=PATH in the machine file's .ports file,
else /dev/ttyS<n-1>.

Exit status:
  0    done
  2    bad command line, or no one machine fits MACHINE
  3    the program or target cannot be read or written
  4    port error (missing, in use, no permission)
  5    the machine tool did not answer in time
  6    the transfer failed or was stopped
  130  interrupted
)";
}

std::string DncVersionText() {
    return "vorl-dnc (VORL II) " VORL_VERSION "\n"
           "Sends and receives NC part programs without the window.\n";
}

} // namespace vorl::dnc
