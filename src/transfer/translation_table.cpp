#include "transfer/translation_table.h"

#include <fstream>
#include <iterator>

namespace vorl {
namespace {

constexpr size_t kMaxLine = 80;
constexpr size_t kMaxValueText = 5;

std::string_view trim(std::string_view s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') {
        s.remove_prefix(1);
    }
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') {
        s.remove_suffix(1);
    }
    return s;
}

// A decimal number with an optional sign; 0 when the text is not a number.
// Large magnitudes saturate, which is enough to reject them as codes.
long parseDecimal(std::string_view s) {
    s = trim(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) {
        return 0;
    }
    long value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return 0;
        }
        if (value < 1000000) {
            value = value * 10 + (c - '0');
        }
    }
    return negative ? -value : value;
}

void applyLine(std::string_view line, TranslationTable& table) {
    if (line.empty() || line.substr(0, 2) == "**") {
        return;
    }
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) {
        return;
    }
    const long value = parseDecimal(line.substr(comma + 1, kMaxValueText));
    const std::string_view key = trim(line.substr(0, comma));
    if (key.empty() || value < 0 || value > 255) {
        return;
    }
    long code = static_cast<unsigned char>(key.front());
    if (key.size() > 1 && key.front() == 'D') {
        code = parseDecimal(key.substr(1));
    }
    if (code < 0 || code > 255) {
        return;
    }
    table[static_cast<size_t>(code)] = static_cast<uint8_t>(value);
}

} // namespace

TranslationTable BuiltInTranslationTable() {
    TranslationTable table;
    table.fill(kNoEiaCode);
    static constexpr struct {
        char c;
        uint8_t eia;
    } kCodes[] = {
        {'\r', 0x80}, {'\n', 0x80}, {'\t', 0x3E}, {' ', 0x10}, {'#', 0x5B}, {'$', 0x80},
        {'%', 0x0B},  {'+', 0x70},  {'-', 0x40},  {'.', 0x6B}, {'/', 0x31}, {'0', 0x20},
        {'1', 0x01},  {'2', 0x02},  {'3', 0x13},  {'4', 0x04}, {'5', 0x15}, {'6', 0x16},
        {'7', 0x07},  {'8', 0x08},  {'9', 0x19},  {'A', 0x61}, {'B', 0x62}, {'C', 0x73},
        {'D', 0x64},  {'E', 0x75},  {'F', 0x76},  {'G', 0x67}, {'H', 0x68}, {'I', 0x79},
        {'J', 0x51},  {'K', 0x52},  {'L', 0x43},  {'M', 0x54}, {'N', 0x45}, {'O', 0x46},
        {'P', 0x57},  {'Q', 0x58},  {'R', 0x49},  {'S', 0x32}, {'T', 0x23}, {'U', 0x34},
        {'V', 0x25},  {'W', 0x26},  {'X', 0x37},  {'Y', 0x38}, {'Z', 0x29},
    };
    for (const auto& entry : kCodes) {
        table[static_cast<unsigned char>(entry.c)] = entry.eia;
    }
    return table;
}

void ReadTranslationFile(std::string_view text, TranslationTable& table) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
            ++end;
        }
        applyLine(text.substr(pos, std::min(end - pos, kMaxLine)), table);
        pos = end;
        if (pos < text.size() && text[pos] == '\r') {
            ++pos;
        }
        if (pos < text.size() && text[pos] == '\n') {
            ++pos;
        }
    }
}

TranslationTable BuildTranslationTable(const std::string& path) {
    TranslationTable table = BuiltInTranslationTable();
    if (path.empty()) {
        return table;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return table;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ReadTranslationFile(text, table);
    return table;
}

std::string TranslationFilePath(const std::string& configPath) {
    const size_t slash = configPath.find_last_of('/');
    const size_t dot = configPath.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1)) {
        return configPath + ".xlt";
    }
    return configPath.substr(0, dot) + ".xlt";
}

EiaReader InverseTranslation(const TranslationTable& table) {
    const TranslationTable builtIn = BuiltInTranslationTable();
    EiaReader reader;
    reader.toAscii.fill(kUnreadableEia);
    std::array<bool, 256> named{};
    // Highest character first, so the lowest one of a shared code stays.
    for (int c = 255; c >= 0; --c) {
        const uint8_t code = table[static_cast<size_t>(c)];
        if (code == kNoEiaCode) {
            continue;
        }
        const bool moved = code != builtIn[static_cast<size_t>(c)];
        if (named[code] && !moved) {
            continue;
        }
        reader.toAscii[code] = static_cast<uint8_t>(c);
        named[code] = named[code] || moved;
    }
    reader.toAscii[0] = 0;
    reader.skipped[0] = true;
    reader.toAscii[kNoEiaCode] = kUnreadableEia;
    for (uint8_t code : {table['\r'], table['\n'], uint8_t('\r'), uint8_t('\n')}) {
        if (code != 0 && code != kNoEiaCode) {
            reader.endsBlock[code] = true;
        }
    }
    return reader;
}

} // namespace vorl
