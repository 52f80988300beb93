#include "viewers/viewer_window.h"

#include "viewers/text_search.h"
#include "viewers/viewer_text.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

namespace vorl {

void ViewerWindow::makeSearchGroup(TextFileView* view) {
    searched_ = view;
    GroupBox1 = named(new QGroupBox(QStringLiteral("Search for..."), this), "GroupBox1");
    txtSearchArg = named(new QLineEdit(GroupBox1), "txtSearchArg");
    cmdSearch = named(new QPushButton(QStringLiteral("Search"), GroupBox1), "cmdSearch");
    auto* searchRow = new QHBoxLayout(GroupBox1);
    searchRow->addWidget(txtSearchArg, 1);
    searchRow->addWidget(cmdSearch);
    connect(cmdSearch, &QPushButton::clicked, this, &ViewerWindow::cmdSearchClick);
    searchOnReturn(txtSearchArg, [this] { cmdSearchClick(); });
}

void ViewerWindow::applySearchCaptions(bool languageLoaded) {
    cmdSearch->setText(viewerCaption(languageLoaded, TextId::Search, cmdSearch->text()));
    GroupBox1->setTitle(viewerCaption(languageLoaded, TextId::SearchFor, GroupBox1->title()));
    txtSearchArg->setAccessibleName(GroupBox1->title());
}

void ViewerWindow::cmdSearchClick() {
    searchClick(searched_, txtSearchArg->text(), this);
}

void ViewerWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void ViewerWindow::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FormResize();
}

} // namespace vorl
