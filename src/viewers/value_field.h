// A value field: a label that shows a value (a status, a count, a file name,
// a block number) beside the label that captions it.
//
// Assistive technology reads the value itself as the field's name, the
// caption as its description and as the label it is labelled by (the caption
// is the value's buddy), and hears of every change of the value. Values are
// plain text: a file name or a status with "<" in it is shown as it is.
#pragma once

#include <QString>

class QLabel;

namespace vorl {

// Makes `value` the value field of `caption`. Called again after the
// caption's text changed (a language file), so the description follows it.
void bindValueField(QLabel* value, QLabel* caption);

// Shows `text` in a value field and announces the change.
void showValue(QLabel* value, const QString& text);

// A caption as a description: without its colon and the "&" of a key.
QString captionDescription(const QString& caption);

} // namespace vorl
