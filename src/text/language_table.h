// Language text table: every text the program shows has a numeric id; an
// optional language file replaces the built-in English text of any id.
//
// Use rule everywhere: show Language().GetText(id) when Language().HasText(id),
// otherwise the built-in text; `TextOr` does exactly that. Window captions are
// replaced by their window when it is shown, only when a language file was
// loaded and only for ids that have a text.
#pragma once

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

    void setText(int id, std::string text);
    void clear();

private:
    std::array<std::string, kSize> entries_{};
};

// The process-wide table, created empty on first use.
LanguageTable& Language();

// The text of `id` from the language table when it has one, else `builtin`.
std::string TextOr(int id, std::string_view builtin);

// The built-in English text of `id` (empty for ids without one, such as the
// about window's contact lines 375-378).
std::string_view BuiltinText(int id);

// The text to show for `id`: the language file's when it has one, else the
// built-in English text.
std::string Text(int id);

// Ids of texts shown from more than one place: the Go button's captions.
constexpr int kTextConnect = 13;
constexpr int kTextTransmit = 16;
constexpr int kTextReceive = 17;

} // namespace vorl
