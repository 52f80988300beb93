#include "app/command_line.h"

#include <cstdlib>
#include <filesystem>

namespace vorl {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine result;
    std::string whole;
    for (const std::string& a : args) {
        whole += a;
        whole += ' ';
    }
    bool options = true;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string option = lower(args[i]);
        if (!options) {
            result.file = LongFileName(args[i]);
            continue;
        }
        const std::string value = i + 1 < args.size() ? args[i + 1] : std::string();
        if (option == "-c") {
            result.config = value;
            ++i;
        } else if (option == "-m") {
            result.machine = value;
            ++i;
        } else if (option == "-d") {
            result.shows.push_back(whole);
            ++i;
        } else if (option == "--help") {
            result.help = true;
        } else if (option == "--version") {
            result.version = true;
        } else if (option == "--") {
            options = false;
        } else if (option.size() > 1 && option[0] == '-') {
            if (result.unknownOption.empty()) {
                result.unknownOption = args[i];
            }
        } else {
            result.file = LongFileName(args[i]);
        }
    }
    return result;
}

std::string LongFileName(const std::string& arg) {
    if (arg.empty()) {
        return arg;
    }
    std::error_code ec;
    if (fs::exists(fs::symlink_status(arg, ec))) {
        return arg;
    }
    const size_t slash = arg.find_last_of('/');
    const std::string dirPart =
        slash == std::string::npos ? std::string() : arg.substr(0, slash + 1);
    const std::string wanted = lower(arg.substr(dirPart.size()));
    if (wanted.empty()) {
        return arg;
    }
    std::string found;
    for (fs::directory_iterator it(dirPart.empty() ? fs::path(".") : fs::path(dirPart), ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (lower(name) != wanted) {
            continue;
        }
        if (!found.empty()) {
            return arg; // more than one entry fits: pick none
        }
        found = name;
    }
    return found.empty() ? arg : dirPart + found;
}

std::string NoDisplayText(const std::string& program) {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    std::string platform = set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    platform = platform.substr(0, platform.find(':'));
    const bool x11 = set("DISPLAY");
    const bool wayland = set("WAYLAND_DISPLAY");
    const bool missing = platform.empty()                    ? !x11 && !wayland
                         : platform == "xcb"                 ? !x11
                         : platform.rfind("wayland", 0) == 0 ? !wayland
                                                             : false;
    if (!missing) {
        return {};
    }
    return program +
           ": no display found: VORL II is a desktop program and needs one.\n"
           "Run it on a desktop, or under a virtual display:\n"
           "    xvfb-run -a " +
           program +
           " [ARGUMENTS]\n"
           "(vorl-dnc sends and receives programs without a window.)\n";
}

std::string UsageText() {
    return R"(Usage: vorl [-c CONFIG-FILE] [-m MACHINE] [-d X] [PROGRAM-FILE]
Moves NC part programs between this computer and the controllers of machine
tools over serial lines: pick a machine from the Download or Upload menu, then
Connect and Transmit or Receive.

  -c CONFIG-FILE   use this machine configuration file instead of vorl.vorlcfg
  -m MACHINE       with PROGRAM-FILE: prepare its download to the one machine
                   whose name starts with MACHINE (letter case ignored)
  -d X             show the command line in a message box (X is not used)
  PROGRAM-FILE     the part program to download (after -- when its name
                   starts with -)
      --help       display this help and exit
      --version    output version information and exit

Files: beside the program when its directory is writable; otherwise the
machine file is ~/.config/vorl/vorl.vorlcfg (under $XDG_CONFIG_HOME when set),
and the language file vorl.lan and help file vorl.hlp are looked for beside
the program, in ~/.config/vorl/, then in the installation's share/vorl/.
A machine's COM n is the device named by $VORL_COM<n>, else by a line
COM<n>=PATH in the machine file's .ports file, else /dev/ttyS<n-1>.

Exit status: 0; 1 without a display; 2 for an unknown option; 3 when the
older binary configuration file is unreadable; 4 when the window position
cannot be saved at close.
)";
}

std::string VersionText() {
    return "vorl (VORL II) " VORL_VERSION "\n"
           "A DNC program for machine shops.\n";
}

} // namespace vorl
