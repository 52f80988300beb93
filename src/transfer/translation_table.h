// Tape code: the ASCII-to-EIA table used to punch a program in EIA code, the
// optional translation file that overrides entries of it, and the inverse table
// that reads an EIA upload back into ASCII.
//
// Translation file: one entry per line, "key,value". Lines that are empty or
// begin with "**" are skipped. The value (at most five characters after the
// first comma, trimmed) is a decimal number, 0 when it is not a number. A key
// of more than one character beginning with "D" gives the character by its
// decimal code ("D36,128" punches "$" as 128); any other key gives it by its
// first character ("A,97"). Only the first 80 characters of a line count; the
// rest of a longer line is ignored. Lines without a comma or key, codes outside
// 0-255 and values outside 0-255 are ignored, so a bad line can never change an
// entry other than the one it names.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorl {

// 256 entries indexed by the unsigned character; 0xFF where a character has no
// EIA code.
using TranslationTable = std::array<uint8_t, 256>;

constexpr uint8_t kNoEiaCode = 0xFF;
// What the built-in table punches for CR and LF: the EIA end of block.
constexpr uint8_t kEiaEndOfBlock = 0x80;

// The built-in table alone.
TranslationTable BuiltInTranslationTable();

// Applies the lines of a translation file held in `text` to `table`.
void ReadTranslationFile(std::string_view text, TranslationTable& table);

// The built-in table with the translation file at `path` applied when it can
// be read; a missing or unreadable file is not an error.
TranslationTable BuildTranslationTable(const std::string& path);

// The translation file that belongs to a configuration file: the same path with
// the extension ".xlt".
std::string TranslationFilePath(const std::string& configPath);

// Reading an EIA upload back into ASCII.
//
// Bytes that end a block are the codes the table gives CR and LF (0x80 with the
// built-in table) and, as for ASCII data, raw CR and LF. Every other code maps
// back to the character the table punches as that code. Where several
// characters share a code, a character the translation file moved away from
// its built-in code wins (it was named on purpose), otherwise the lowest
// character code. Code 0 is blank tape (leader, trailer, feed), not a
// character: it is skipped, so a trailer never becomes a block of its own. A
// code no character is punched as (0xFF among
// them: what a download sends for characters without a code) reads as
// kUnreadableEia, so an unreadable character stays visible in the program
// instead of vanishing or turning into a plausible address letter.
constexpr uint8_t kUnreadableEia = '?';

struct EiaReader {
    TranslationTable toAscii{};
    std::array<bool, 256> endsBlock{};
    std::array<bool, 256> skipped{};
};

EiaReader InverseTranslation(const TranslationTable& table);

} // namespace vorl
