#include "viewers/value_field.h"

#include <QAccessible>
#include <QLabel>

namespace vorl {

QString captionDescription(const QString& caption) {
    // "&&" stands for one "&"; a single "&" marks the caption's key and is
    // not read.
    QString text;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        const QChar c = caption.at(i);
        if (c == QLatin1Char('&') && i + 1 < caption.size() && caption.at(i + 1) == c) {
            text += c;
            ++i;
        } else if (c != QLatin1Char('&') && c != QLatin1Char(':')) {
            text += c;
        }
    }
    return text.trimmed();
}

void bindValueField(QLabel* value, QLabel* caption) {
    value->setTextFormat(Qt::PlainText);
    // An accessible name of its own would hide the value.
    value->setAccessibleName(QString());
    value->setAccessibleDescription(captionDescription(caption->text()));
    caption->setBuddy(value);
}

void showValue(QLabel* value, const QString& text) {
    if (value->text() == text) {
        return;
    }
    value->setText(text);
    // The label's own text is its accessible name.
    QAccessibleEvent event(value, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

} // namespace vorl
