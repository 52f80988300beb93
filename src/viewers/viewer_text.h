// Texts of the language table as Qt strings for the viewer windows.
//
// Language files are byte files: one written in UTF-8 is read as UTF-8, any
// other (an older 8-bit file) as Latin-1, so no text is ever lost to invalid
// sequences. The terminal's log and the lines of the viewers are read the
// same way.
#pragma once

#include "text/text_ids.h"

#include <QString>

#include <string>
#include <string_view>

namespace vorl {

// `bytes` as UTF-8 when they are valid UTF-8, else one Latin-1 character per
// byte. Every byte shows: a byte order mark stays a character.
QString viewerString(std::string_view bytes);

// The text of `id` when the language table has one, else its built-in text.
QString viewerText(TextId id);

// Only when a language file is loaded and it has a text for `id`: that text.
// Otherwise `current` (the design caption stays).
QString viewerCaption(bool languageLoaded, TextId id, const QString& current);

} // namespace vorl
