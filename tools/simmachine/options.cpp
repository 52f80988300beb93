#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>

#include "machines/caret_notation.h"

namespace vorl::sim {

namespace {

// One setting: `flag` settings take no value on the command line.
struct Setting {
    bool flag = false;
    std::function<std::string(SimOptions&, const std::string&)> apply; // error or ""
};

std::optional<int64_t> toInt(const std::string& s) {
    if (s.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return std::nullopt;
    return v;
}

std::optional<double> toDouble(const std::string& s) {
    if (s.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<bool> toBool(const std::string& s) {
    if (s.empty() || s == "1" || s == "yes" || s == "on" || s == "true")
        return true;
    if (s == "0" || s == "no" || s == "off" || s == "false")
        return false;
    return std::nullopt;
}

Setting text(std::string SimOptions::*field) {
    return {false, [field](SimOptions& o, const std::string& v) {
                o.*field = v;
                return std::string();
            }};
}

Setting integer(int64_t SimOptions::*field, int64_t min) {
    return {false, [field, min](SimOptions& o, const std::string& v) {
                auto n = toInt(v);
                if (!n || *n < min)
                    return "needs a whole number of at least " + std::to_string(min);
                o.*field = *n;
                return std::string();
            }};
}

Setting decimal(double SimOptions::*field) {
    return {false, [field](SimOptions& o, const std::string& v) {
                auto n = toDouble(v);
                if (!n || *n < 0)
                    return std::string("needs a number of 0 or more");
                o.*field = *n;
                return std::string();
            }};
}

Setting flag(bool SimOptions::*field, bool value) {
    return {true, [field, value](SimOptions& o, const std::string& v) {
                auto b = toBool(v);
                if (!b)
                    return std::string("takes yes or no");
                o.*field = *b ? value : !value;
                return std::string();
            }};
}

// `strict`: refuse a caret at the end. The ACTIONn keys read like the
// machine's configuration file instead, where it stands for the byte C0 hex.
Setting trigger(int index, bool strict) {
    return {false, [index, strict](SimOptions& o, const std::string& v) {
                auto bytes = strict ? decodeCaret(v) : std::optional(DecodeControlText(v));
                if (!bytes)
                    return std::string("ends with a caret that has no character after it");
                o.triggers[static_cast<size_t>(index)] = *bytes;
                return std::string();
            }};
}

const std::map<std::string, Setting>& settings() {
    static const std::map<std::string, Setting> table = [] {
        std::map<std::string, Setting> t;
        t["tty"] = text(&SimOptions::ttyPath);
        t["link"] = text(&SimOptions::linkPath);
        t["pty-file"] = text(&SimOptions::ptyFile);
        t["baud"] = {false, [](SimOptions& o, const std::string& v) {
                         auto n = toInt(v);
                         if (!n || *n < 50 || *n > 4000000)
                             return std::string("needs a line speed in bits per second");
                         o.baud = static_cast<int>(*n);
                         return std::string();
                     }};
        t["no-hold"] = flag(&SimOptions::holdSlave, false);
        const char* names[kTriggerCount] = {"download-start", "download-ready", "download-stop",
                                            "download-end",   "upload-start",   "upload-ready",
                                            "upload-stop",    "upload-end"};
        for (int i = 0; i < kTriggerCount; ++i) {
            t[names[i]] = trigger(i, true);
            t["ACTION" + std::to_string(i)] = trigger(i, false);
        }
        t["received"] = text(&SimOptions::receivedPath);
        t["program"] = text(&SimOptions::programPath);
        t["report"] = text(&SimOptions::reportPath);
        t["capture"] = text(&SimOptions::capturePath);
        t["buffer"] = integer(&SimOptions::bufferSize, 1);
        t["xoff-at"] = integer(&SimOptions::xoffAt, 1);
        t["xon-at"] = integer(&SimOptions::xonAt, 0);
        t["rate"] = decimal(&SimOptions::rate);
        t["no-xoff"] = flag(&SimOptions::sendXoff, false);
        t["honour-xoff"] = flag(&SimOptions::honourXoff, true);
        t["send-rate"] = decimal(&SimOptions::sendRate);
        t["ready-gap"] = integer(&SimOptions::readyGapMs, 0);
        t["manual-answers"] = flag(&SimOptions::manualAnswers, true);
        t["request-program"] = {false, [](SimOptions& o, const std::string& v) {
                                    auto bytes = decodeCaret(v);
                                    if (!bytes || bytes->empty())
                                        return std::string("needs a program in caret notation");
                                    o.requestProgram = *bytes;
                                    return std::string();
                                }};
        t["read-timeout"] = decimal(&SimOptions::readTimeout);
        t["quiet"] = {true, [](SimOptions& o, const std::string& v) {
                          auto b = toBool(v);
                          if (!b)
                              return std::string("takes yes or no");
                          o.verbosity = *b ? 0 : 1;
                          return std::string();
                      }};
        t["verbose"] = {true, [](SimOptions& o, const std::string& v) {
                            auto b = toBool(v);
                            if (!b)
                                return std::string("takes yes or no");
                            o.verbosity = *b ? 2 : 1;
                            return std::string();
                        }};
        return t;
    }();
    return table;
}

std::string trim(const std::string& s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return {};
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

std::string applySetting(SimOptions& o, const std::string& key, const std::string& value,
                         const std::string& where) {
    auto it = settings().find(key);
    if (it == settings().end())
        return where + "unknown setting '" + key + "'";
    std::string err = it->second.apply(o, value);
    return err.empty() ? err : where + "'" + key + "' " + err;
}

std::string readConfigFile(SimOptions& o, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot read the settings file '" + path + "'";
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        std::string key = trim(line.substr(0, eq));
        std::string value = eq == std::string::npos ? std::string() : trim(line.substr(eq + 1));
        std::string where = path + ":" + std::to_string(number) + ": ";
        if (key == "config")
            return where + "a settings file cannot name another one";
        auto it = settings().find(key);
        if (it != settings().end() && !it->second.flag && eq == std::string::npos)
            return where + "'" + key + "' needs '=' and a value";
        std::string err = applySetting(o, key, value, where);
        if (!err.empty())
            return err;
    }
    return {};
}

std::string validate(SimOptions& o) {
    if (o.xoffAt < 0)
        o.xoffAt = std::max<int64_t>(1, o.bufferSize * 3 / 4);
    if (o.xonAt < 0)
        o.xonAt = std::min(o.bufferSize / 4, o.xoffAt - 1);
    if (o.sendXoff) {
        if (o.xoffAt > o.bufferSize)
            return "--xoff-at (" + std::to_string(o.xoffAt) + ") is beyond the buffer size (" +
                   std::to_string(o.bufferSize) + ")";
        if (o.xonAt >= o.xoffAt)
            return "--xon-at (" + std::to_string(o.xonAt) + ") must be below --xoff-at (" +
                   std::to_string(o.xoffAt) + ")";
    }
    if (!o.ttyPath.empty() && (!o.linkPath.empty() || !o.ptyFile.empty()))
        return "--link and --pty-file apply to a pty; they cannot be used with --tty";
    if (o.sendRate < 0)
        o.sendRate = o.baud / 10.0;
    return {};
}

} // namespace

std::optional<std::string> decodeCaret(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '^' && ++i == text.size())
            return std::nullopt;
    }
    return DecodeControlText(text);
}

std::string printable(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 26) {
            out.push_back('^');
            out.push_back(static_cast<char>(c + 64));
        } else if (c < 32 || c > 126) {
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    SimOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            result.help = true;
            return result;
        }
        if (arg == "--version") {
            result.version = true;
            return result;
        }
        if (arg.rfind("--", 0) != 0) {
            result.error = "unexpected argument '" + arg + "' (options start with --)";
            return result;
        }
        std::string key = arg.substr(2);
        std::optional<std::string> value;
        if (size_t eq = key.find('='); eq != std::string::npos) {
            value = key.substr(eq + 1);
            key.resize(eq);
        }
        if (key == "config") {
            if (!value) {
                if (i + 1 == args.size()) {
                    result.error = "--config needs a file";
                    return result;
                }
                value = args[++i];
            }
            result.error = readConfigFile(o, *value);
            if (!result.error.empty())
                return result;
            continue;
        }
        auto it = settings().find(key);
        if (it == settings().end() || key.rfind("ACTION", 0) == 0) {
            result.error = "unknown option '" + arg + "'";
            return result;
        }
        if (it->second.flag) {
            if (value) {
                result.error = "--" + key + " takes no value";
                return result;
            }
            value = "";
        } else if (!value) {
            if (i + 1 == args.size()) {
                result.error = "--" + key + " needs a value";
                return result;
            }
            value = args[++i];
        }
        if (std::string err = it->second.apply(o, *value); !err.empty()) {
            result.error = "--" + key + " " + err + " (got '" + *value + "')";
            return result;
        }
    }
    result.error = validate(o);
    if (result.error.empty())
        result.options = o;
    return result;
}

std::string usageText() {
    return R"(Usage: vorl-simmachine [OPTION]...
Plays the controller of a machine tool on a serial line: answers the trigger
strings of a download and an upload, stores the program it receives, and paces
the computer with XOFF/XON from a receive buffer drained at a set rate.

Line:
  --tty PATH           use this tty (a real serial port) instead of a new pty
  --baud N             line speed of a real tty (default 9600)
  --link PATH          make PATH a symlink to the new pty (removed on exit)
  --pty-file PATH      write the new pty's path to PATH
  --no-hold            do not keep the pty open between the computer's opens
Trigger strings (caret notation, ^M = CR; empty or absent: step skipped):
  --download-start S   from the computer: begin a download
  --download-ready S   answered to the download start
  --download-stop S    from the computer: the program is complete
  --download-end S     answered to the download stop
  --upload-start S     from the computer: send the stored program
  --upload-ready S     sent before the program
  --upload-stop S      expected from the computer after the upload
  --upload-end S       sent after the program
Files:
  --received PATH      program data of each download (rewritten per download)
  --program PATH       the program sent on an upload
  --report PATH        key=value report, kept up to date
  --capture PATH       every byte received from the line
  --config FILE        settings as key=value lines, keys as the options above
                       without "--" (ACTION0= ... ACTION7= also accepted)
Receive buffer:
  --buffer N           size in characters (default 256)
  --xoff-at N          XOFF when the buffer holds N (default 3/4 of it)
  --xon-at N           XON when it has drained to N (default 1/4 of it)
  --rate CPS           characters consumed per second (default 0: at once)
  --no-xoff            never send XOFF/XON
Upload:
  --honour-xoff        stop sending on XOFF from the computer until XON
  --send-rate CPS      pace of the program (default baud/10; 0: unpaced)
  --ready-gap MS       pause between the upload's start and the program (500)
  --request-program S  the program `request NAME` punches out, caret notation,
                       {name} replaced (default %^JO9999 (REQ={name})^JM30^J%^J)
  --read-timeout SECS  a control waiting to read (after a request, or within
                       a download) gives up after SECS without a byte (0: never)
  --manual-answers     answer the download Start and Stop strings and start an
                       upload asked for only on the command `answer`
Messages:
  --quiet              only errors;  --verbose  also every XOFF and XON
  -h, --help           display this help and exit
      --version        output version information and exit
Commands on stdin: upload, download (send the download Ready string),
  answer (see --manual-answers), request NAME (punch out a request program,
  then wait to read), punch FILE (punch out FILE), reset, report, quit. SIGUSR1 rewrites the report; SIGTERM/SIGINT end.
Exit status: 0, 2 on bad options, 1 on a line or file error, 3 after overflow.
)";
}

std::string versionText() {
    return "vorl-simmachine (VORL II) " VORL_VERSION "\n"
           "A simulated machine tool controller for trying and testing VORL II.\n";
}

} // namespace vorl::sim
