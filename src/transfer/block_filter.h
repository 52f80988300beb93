// The rules a program goes through block by block on its way to or from a
// machine tool: the end-of-block convention, the character filter of each
// direction, the empty-block test and the conversion of a restart prefix.
//
// A block is a line of the program without its line end; the data is split so
// that a CR LF pair, a lone CR and a lone LF each end one block (LF CR ends
// two). Each block gets the machine's end of block (EOB) appended before it is
// filtered.
#pragma once

#include "machines/machine_config.h"
#include "transfer/translation_table.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vorl {

constexpr char kCR = '\r';
constexpr char kLF = '\n';

// One direction's filter settings.
struct FilterSettings {
    bool stripNulls = false;
    bool stripSpaces = false;
    bool stripComments = false;
    std::string filterChars; // characters removed wherever they occur

    // The filter runs only when something is set.
    bool active() const {
        return stripNulls || stripSpaces || stripComments || !filterChars.empty();
    }
};

FilterSettings downloadFilter(const MachineConfig& machine);
FilterSettings uploadFilter(const MachineConfig& machine);

// What ends a block in ASCII: "\r\n", "\r" or "\n" by the machine's eobMode.
std::string_view asciiEob(const MachineConfig& machine);

// What ends a block of a prepared download before translation: a single CR
// with EIA (punched as the EIA end of block), otherwise asciiEob().
std::string_view downloadEob(const MachineConfig& machine);

// The byte that ends each block of a prepared download: LF for eobMode CR LF
// and LF, CR for eobMode CR; with EIA the code the table punches for CR, which
// is the byte every EIA block of the prepared file ends with.
uint8_t downloadEolChar(const MachineConfig& machine, const TranslationTable& table);

// The per-character filter over one block including its EOB.
//
// A comment runs from "(" through the next ")" or the end of the block. Blanks
// inside a comment survive the spaces filter; with the comments filter the
// whole comment goes, both brackets included, and an unclosed "(" removes the
// rest of the block but not its EOB. NULs go with the nulls filter; every
// character of `filterChars` (NUL excepted) goes wherever it occurs.
std::string FilterBlock(std::string_view block, const FilterSettings& filter);

// One character of FilterBlock: whether it is kept; `inComment` carries the
// comment state from one character of a block to the next (false at its start).
bool filterCharacter(const FilterSettings& filter, bool& inComment, uint8_t c);

// True when a block says nothing to the machine: it holds only digits, ")",
// "N", "n", blanks, CR, LF and NULs (a sequence number left from a comment
// line, or nothing at all).
bool IsEmptyBlock(std::string_view block);

// The restart prefix made ready to write before the first block. Each of its
// lines is a block as the program's are: it gets the machine's end of block,
// goes through the download filter and is dropped when it is then empty and
// comments are removed; with EIA every byte is translated. Its lines are not
// counted as blocks.
//
// With EIA no character without a tape code is sent: a comment goes whole
// (brackets have no code, and its text would reach the control as words), a
// lower-case letter goes as its capital, and a prefix with any other
// character without a code is refused: false, and `error` names it.
bool ConvertPrefix(std::string_view prefix, const MachineConfig& machine,
                   const TranslationTable& table, std::string& out, std::string& error);

} // namespace vorl
