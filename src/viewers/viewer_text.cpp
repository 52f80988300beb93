#include "viewers/viewer_text.h"

#include "text/language_table.h"

#include <QStringDecoder>

namespace vorl {

QString toQString(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (utf8.hasError()) {
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
    }
    return text;
}

QString uiText(int id, std::string_view builtin) {
    return toQString(TextOr(id, builtin));
}

QString captionText(bool languageLoaded, int id, const QString& current) {
    if (languageLoaded && Language().HasText(id)) {
        return toQString(Language().GetText(id));
    }
    return current;
}

} // namespace vorl
