#include "viewers/review.h"

#include "text/language_table.h"
#include "viewers/review_form.h"

namespace vorl {

std::string OperationText(int startBlock, const std::string& prefixText) {
    if (startBlock != 0 && !prefixText.empty()) {
        return Text(TextId::DownloadWithPrefixAtBlock) + std::to_string(startBlock);
    }
    if (startBlock != 0) {
        return Text(TextId::DownloadAtBlock) + std::to_string(startBlock);
    }
    if (!prefixText.empty()) {
        return Text(TextId::DownloadWithPrefix);
    }
    return Text(TextId::Download);
}

std::string mnuFileReviewClick(QWidget* parent, const ReviewFields& fields, bool languageLoaded) {
    {
        TReviewForm form(fields, languageLoaded, parent);
        form.exec();
        fields.startBlock = form.chosenBlock();
    }
    return OperationText(fields.startBlock, fields.prefixText);
}

} // namespace vorl
