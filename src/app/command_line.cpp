#include "app/command_line.h"

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
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string option = lower(args[i]);
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

} // namespace vorl
