#include "viewers/viewer_text.h"

#include "text/language_table.h"

#include <QStringDecoder>

namespace vorl {

QString viewerString(std::string_view bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (utf8.hasError()) {
        return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
    }
    return text;
}

QString viewerText(TextId id) {
    return viewerString(Text(id));
}

QString viewerCaption(bool languageLoaded, TextId id, const QString& current) {
    if (languageLoaded && Language().HasText(id)) {
        return viewerString(Language().GetText(id));
    }
    return current;
}

} // namespace vorl
