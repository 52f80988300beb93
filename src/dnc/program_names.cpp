#include "dnc/program_names.h"

#include <QRegularExpression>
#include <QString>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl::dnc {
namespace {

namespace fs = std::filesystem;

// The first `lines` lines of `program`.
std::string_view head(std::string_view program, int lines) {
    size_t end = 0;
    for (int i = 0; i < lines && end < program.size(); ++i) {
        const size_t eol = program.find_first_of("\r\n", end);
        if (eol == std::string_view::npos) {
            return program;
        }
        end = program.find_first_not_of("\r\n", eol);
        if (end == std::string_view::npos) {
            return program;
        }
    }
    return program.substr(0, end);
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

} // namespace

std::optional<std::string> FindRequest(std::string_view program, const std::string& pattern,
                                       int lines) {
    const QRegularExpression re(QString::fromStdString(pattern));
    if (!re.isValid() || re.captureCount() < 1) {
        return std::nullopt;
    }
    const std::string_view text = head(program, lines);
    const QRegularExpressionMatch match =
        re.match(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    if (!match.hasMatch() || match.capturedLength(1) == 0) {
        return std::nullopt;
    }
    return match.captured(1).toLatin1().toStdString();
}

std::optional<std::string> ProgramNumber(std::string_view program, int lines) {
    const std::string_view text = head(program, lines);
    size_t at = 0;
    while (at < text.size()) {
        // The start of a block: skip blanks and a leading % line's rest.
        size_t i = text.find_first_not_of(" \t", at);
        if (i != std::string_view::npos && (text[i] == 'O' || text[i] == 'o' || text[i] == ':')) {
            size_t j = i + 1;
            while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
                ++j;
            }
            if (j > i + 1 && j - i - 1 <= 8) {
                return "O" + std::string(text.substr(i + 1, j - i - 1));
            }
        }
        const size_t eol = text.find_first_of("\r\n", at);
        if (eol == std::string_view::npos) {
            break;
        }
        at = eol + 1;
    }
    return std::nullopt;
}

std::string RefuseName(std::string_view name, size_t limit) {
    if (name.empty()) {
        return "an empty name";
    }
    if (name.size() > limit) {
        return "a name longer than " + std::to_string(limit) + " characters";
    }
    if (name.front() == '.') {
        return "a name starting with a dot";
    }
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\') {
            return "a name with a path separator";
        }
        if (u < 0x20 || u == 0x7F) {
            return "a name with a control character";
        }
        // The name goes back to the control in a comment, "(NOT FOUND name)":
        // a parenthesis would end or open a comment there, a percent sign
        // end the program, and a control shows no character beyond ASCII.
        if (c == '(' || c == ')' || c == '%') {
            return std::string("a name with '") + c + "'";
        }
        if (u >= 0x80) {
            return "a name with a character outside ASCII";
        }
    }
    return {};
}

std::string ApplyTemplate(std::string_view nameTemplate, std::string_view name,
                          std::string_view extension) {
    std::string out;
    for (size_t i = 0; i < nameTemplate.size();) {
        if (nameTemplate.substr(i, 6) == "{name}") {
            out += name;
            i += 6;
        } else if (nameTemplate.substr(i, 5) == "{ext}") {
            out += extension;
            i += 5;
        } else {
            out += nameTemplate[i++];
        }
    }
    return out;
}

std::optional<std::string> FileInside(const std::string& directory, const std::string& fileName,
                                      std::string* why) {
    auto refuse = [why](const std::string& text) {
        if (why != nullptr) {
            *why = text;
        }
        return std::nullopt;
    };
    if (const std::string reason = RefuseName(fileName, NAME_MAX); !reason.empty()) {
        return refuse(reason);
    }
    const std::string dir = realPath(directory);
    if (dir.empty()) {
        return refuse(directory + ": " + std::strerror(errno));
    }
    const std::string path = dir + "/" + fileName;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            // A link is followed only as far as the directory reaches.
            const std::string target = realPath(path);
            if (target.empty() || target.rfind(dir + "/", 0) != 0) {
                return refuse(path + ": a link leading outside " + dir);
            }
            if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                return refuse(path + ": not a plain file");
            }
        } else if (!S_ISREG(st.st_mode)) {
            return refuse(path + ": not a plain file");
        }
    }
    return path;
}

std::optional<std::string> FindIgnoringCase(const std::string& directory,
                                            const std::string& fileName) {
    auto folded = [](std::string text) {
        for (char& c : text) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return text;
    };
    const std::string wanted = folded(fileName);
    std::optional<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (folded(name) == wanted) {
            if (found) {
                return std::nullopt; // several: which one is meant is not ours to guess
            }
            found = name;
        }
    }
    return found;
}

std::optional<std::string> SaveWithoutOverwrite(const std::string& from,
                                                const std::string& directory,
                                                const std::string& fileName, std::string* why) {
    const fs::path name(fileName);
    const std::string stem = name.stem().string();
    const std::string ext = name.extension().string();
    auto refuse = [why](const std::string& text) {
        if (why != nullptr) {
            *why = text;
        }
        return std::nullopt;
    };
    if (const std::string reason = RefuseName(fileName); !reason.empty()) {
        return refuse(reason);
    }
    const std::string dir = realPath(directory);
    if (dir.empty()) {
        return refuse(directory + ": " + std::strerror(errno));
    }
    for (int n = 0; n < 10000; ++n) {
        const std::string path =
            dir + "/" + (n == 0 ? fileName : stem + "_" + std::to_string(n) + ext);
        // Fails with EEXIST rather than replace anything, whatever else
        // appears there meanwhile: a program, a folder or a link (also one
        // leading nowhere) keeps the name, and the program takes the next.
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
            return path;
        }
        if (errno != EEXIST) {
            return refuse(path + ": " + std::strerror(errno));
        }
    }
    if (why != nullptr) {
        *why = directory + ": no free name for " + fileName;
    }
    return std::nullopt;
}

} // namespace vorl::dnc
