// Language text table: every text the program shows has a numeric id; an
// optional language file replaces the built-in English text of any id.
//
// Use rule everywhere: show Language().GetText(id) when Language().HasText(id),
// otherwise the built-in text; `Text` does exactly that. Window captions are
// replaced by their window when it is shown, only when a language file was
// loaded and only for ids that have a text. Places name their texts by
// `TextId` (text_ids.h); the table itself is read by number.
#pragma once

#include "text/text_ids.h"

#include <array>
#include <string>
#include <string_view>

namespace vorl {

class LanguageTable {
public:
    static constexpr int kSize = 500;
    static constexpr int kPrimaryFontId = 499;

    // Reads the language file at `path`. Returns "OK" when the file exists (and
    // was read), "NO" when it does not. Entries read stay; a later line for the
    // same id replaces an earlier one. The texts are kept in UTF-8: a line that
    // is not UTF-8 is read in the Windows code page of Western Europe, as the
    // older program's language files were written. A line longer than 399
    // characters (not bytes) is cut after its 399th character, handled, and
    // ends the reading.
    std::string LoadLanguageFile(const std::string& path);

    // Handles one line of a language file (UTF-8, at most 399 characters).
    void handleLine(std::string_view line);

    const std::string& GetText(int id) const;
    bool HasText(int id) const;
    const std::string& GetText(TextId id) const { return GetText(static_cast<int>(id)); }
    bool HasText(TextId id) const { return HasText(static_cast<int>(id)); }

    void setText(int id, std::string text);
    void clear();

private:
    std::array<std::string, kSize> entries_{};
};

// The process-wide table, created empty on first use.
LanguageTable& Language();

// The built-in English text of `id` (empty for ids without one, such as the
// about window's contact lines).
std::string_view BuiltinText(TextId id);

// The text to show for `id`: the language file's when it has one, else the
// built-in English text.
std::string Text(TextId id);

// For code that still names a text by its number: the text of that id, as
// Text gives it; the English text beside the number is shown only for an id
// the table has no text for. So a number and its text cannot say different
// things; new code names the id.
std::string TextOr(int id, std::string_view englishText);

} // namespace vorl
