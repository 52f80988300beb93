// The Search button of the review window and of the log viewer.
//
// A search runs without case distinction from one character after the start of
// the selection to the end of the text and selects the match, so repeated
// clicks walk through the matches in turn.
#pragma once

#include <QString>

class QWidget;

namespace vorl {

class TextFileView;

// Selects the next match of `text` and returns true; returns false and leaves
// the selection as it was when there is none.
bool findNext(TextFileView* view, const QString& text);

// What the operator is told when the search finds nothing.
QString notFoundText(const QString& text);

// cmdSearchClick of both windows: nothing for an empty search text; otherwise
// the text gets the focus, and when nothing is found a message box (owned by
// `parent`) says so.
void searchClick(TextFileView* view, const QString& text, QWidget* parent);

} // namespace vorl
