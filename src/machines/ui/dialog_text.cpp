#include "machines/ui/dialog_text.h"

#include "text/language_table.h"

#include <QStringDecoder>

namespace vorl {

QString uiText(TextId id) {
    return shownText(Text(id));
}

QString shownText(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) {
        return text;
    }
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string storedText(const QString& shown, const std::string& original) {
    if (shown == shownText(original)) {
        return original;
    }
    return shown.toStdString();
}

QString caretText(const std::string& encoded) {
    return QString::fromLatin1(encoded.data(), static_cast<qsizetype>(encoded.size()));
}

std::string caretBytes(const QString& shown) {
    const QByteArray bytes = shown.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QValidator::State PlainLineValidator::validate(QString& input, int& pos) const {
    for (qsizetype i = input.size() - 1; i >= 0; --i) {
        const char16_t c = input[i].unicode();
        if (c < 0x20 || c == 0x7F) {
            input.remove(i, 1);
            if (i < pos) {
                --pos;
            }
        }
    }
    if (maxBytes_ > 0 && input.toUtf8().size() > maxBytes_) {
        return Invalid;
    }
    return Acceptable;
}

} // namespace vorl
