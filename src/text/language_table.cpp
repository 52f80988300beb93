#include "text/language_table.h"

#include "text/trim.h"

#include <filesystem>
#include <fstream>

namespace vorl {
namespace {

constexpr size_t kMaxLine = 399;

// A decimal integer; anything that is not a number counts as 0.
long parseId(std::string_view s) {
    s = Trim(s);
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

// The length of the UTF-8 character at `i`, or 0 when no valid one starts there.
size_t utf8Length(std::string_view s, size_t i) {
    const auto byte = [&s](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c < 0x80) {
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        high = c == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

void appendUtf8(std::string& out, char32_t u) {
    if (u < 0x80) {
        out += static_cast<char>(u);
    } else if (u < 0x800) {
        out += static_cast<char>(0xC0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (u >> 12));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
}

// Language files of the older program were written in the Windows code page of
// Western Europe, while the program's texts are UTF-8: a line that is not UTF-8
// is taken in that code page. (Its bytes 80-9F hex hold the euro sign, the
// typographic quotes and dashes; the rest is Latin-1.)
// A line holds at most kMaxLine characters, whichever its encoding, and is
// only ever cut between two of them; `cut` tells whether it was longer. The
// characters kept decide the encoding.
std::string lineText(std::string_view line, bool& cut) {
    size_t chars = 0;
    size_t end = 0;
    while (end < line.size() && chars < kMaxLine) {
        const size_t length = utf8Length(line, end);
        if (length == 0) {
            break;
        }
        end += length;
        ++chars;
    }
    if (end == line.size() || chars == kMaxLine) {
        cut = end < line.size();
        return std::string(line.substr(0, end));
    }
    cut = line.size() > kMaxLine;
    line = line.substr(0, kMaxLine);
    static constexpr char16_t k80to9F[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    out.reserve(line.size() * 2);
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        appendUtf8(out, c >= 0x80 && c <= 0x9F ? k80to9F[c - 0x80] : c);
    }
    return out;
}

} // namespace

void LanguageTable::handleLine(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == '*') {
        return;
    }
    if (line.substr(0, 11) == "PRIMARYFONT") {
        std::string_view font = TrimLeft(line.substr(11));
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
    std::string_view text = TrimLeft(line.substr(comma + 1));
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
        bool cut = false;
        handleLine(lineText(line, cut));
        if (cut) {
            break; // an over-long line is handled cut short and ends the reading
        }
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

} // namespace vorl
