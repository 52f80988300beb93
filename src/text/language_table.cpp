#include "text/language_table.h"

#include <filesystem>
#include <fstream>

namespace vorl {
namespace {

constexpr size_t kMaxLine = 399;

bool isBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlankOrControl(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlankOrControl(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && isBlankOrControl(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

// A decimal integer; anything that is not a number counts as 0.
long parseId(std::string_view s) {
    s = trim(s);
    if (s.empty() || s.size() > 18) {
        return 0;
    }
    size_t i = 0;
    bool negative = false;
    if (s[0] == '-' || s[0] == '+') {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) {
        return 0;
    }
    long value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return 0;
        }
        value = value * 10 + (s[i] - '0');
    }
    return negative ? -value : value;
}

} // namespace

void LanguageTable::handleLine(std::string_view line) {
    line = trim(line);
    if (line.empty() || line.front() == '*') {
        return;
    }
    if (line.substr(0, 11) == "PRIMARYFONT") {
        std::string_view font = trimLeft(line.substr(11));
        if (!font.empty() && font.front() == '"') {
            font.remove_prefix(1);
        }
        if (!font.empty() && font.back() == '"') {
            font.remove_suffix(1);
        }
        entries_[kPrimaryFontId] = std::string(font);
        return;
    }
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) {
        // Not an entry line: without a comma there is no id, which counts as 0.
        return;
    }
    const long id = parseId(line.substr(0, comma));
    if (id <= 0 || id >= kPrimaryFontId) {
        // 0 and 499 have no effect through the id rule; other ids lie outside the table.
        return;
    }
    std::string_view text = trimLeft(line.substr(comma + 1));
    if (!text.empty() && text.front() == '"') {
        text.remove_prefix(1);
    }
    const size_t quote = text.find('"');
    if (quote != std::string_view::npos) {
        text = text.substr(0, quote);
    }
    entries_[static_cast<size_t>(id)] = std::string(text);
}

std::string LanguageTable::LoadLanguageFile(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return "NO";
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return "NO";
    }
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.size() > kMaxLine) {
            // An over-long line is handled cut short and ends the reading.
            handleLine(std::string_view(line).substr(0, kMaxLine));
            break;
        }
        handleLine(line);
    }
    return "OK";
}

const std::string& LanguageTable::GetText(int id) const {
    static const std::string empty;
    if (id < 0 || id >= kSize) {
        return empty;
    }
    return entries_[static_cast<size_t>(id)];
}

bool LanguageTable::HasText(int id) const {
    return !GetText(id).empty();
}

void LanguageTable::setText(int id, std::string text) {
    if (id >= 0 && id < kSize) {
        entries_[static_cast<size_t>(id)] = std::move(text);
    }
}

void LanguageTable::clear() {
    for (auto& e : entries_) {
        e.clear();
    }
}

LanguageTable& Language() {
    static LanguageTable table;
    return table;
}

std::string TextOr(int id, std::string_view builtin) {
    const LanguageTable& table = Language();
    return table.HasText(id) ? table.GetText(id) : std::string(builtin);
}

} // namespace vorl
