// Texts between the machine table and the dialogs' widgets: language texts for
// captions, and the raw bytes of machine strings shown in edit boxes.
#pragma once

#include "text/text_ids.h"

#include <QString>
#include <QValidator>

#include <string>
#include <string_view>

namespace vorl {

// The language file's text of `id` when it has one, else its built-in text.
QString uiText(TextId id);

// Bytes of a name, directory or extension as the user sees them: UTF-8 when
// they are valid UTF-8, otherwise one character per byte (older files).
QString shownText(const std::string& bytes);

// The bytes to store for an edit box showing `shown` that was filled from
// `original`: an untouched box keeps the original bytes exactly, whatever
// their encoding; an edited one is stored as UTF-8.
std::string storedText(const QString& shown, const std::string& original);

// Caret notation is kept one character per byte, so every byte value survives
// being shown and stored again.
QString caretText(const std::string& encoded);
std::string caretBytes(const QString& shown);

// For boxes whose text goes into the configuration file as it is (names,
// directories, extensions): control characters, such as the line break at the
// end of a pasted path, are left out, since a line break would split the
// file's line. With `maxBytes` > 0 a text longer than that in UTF-8 is refused:
// the file's lines are counted in bytes, and a letter outside ASCII takes two
// or more of them.
class PlainLineValidator : public QValidator {
public:
    explicit PlainLineValidator(QObject* parent, int maxBytes = 0)
        : QValidator(parent), maxBytes_(maxBytes) {}
    State validate(QString& input, int& pos) const override;

private:
    int maxBytes_ = 0;
};

} // namespace vorl
