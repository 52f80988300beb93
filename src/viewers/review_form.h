// TReviewForm, the review and restart window: shows the program to download,
// the line of the caret as a block number, and lets the operator search it,
// mark the line to restart at ("Set Block", the line shown bold; line 1 means
// no restart) and type a prefix to send before the first block, or have it
// built from the program ("Build Prefix": the state the blocks before the
// start block leave the control in, read from the file on disk).
//
// The start block is handed back through chosenBlock() when the window closes
// (mnuFileReviewClick applies it); the prefix and refilterNeeded are changed in
// the bound fields at once, by "Accept Prefix" and "Remove Prefix".
#pragma once

#include "viewers/review.h"
#include "viewers/viewer_window.h"

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSplitter;

namespace vorl {

class TextFileView;
class ToolpathPanel;

class TReviewForm : public ViewerWindow {
    Q_OBJECT
public:
    static constexpr int kDesignWidth = 574;
    static constexpr int kDesignHeight = 333;

    TReviewForm(const ReviewFields& fields, bool languageLoaded, QWidget* parent = nullptr);

    // The alternate start block chosen in this window, 0 = none.
    int chosenBlock() const { return chosenBlock_; }

private:
    void FormShow() override;
    void FormResize() override;
    void txtReviewSelectionChange();
    void cmdSetBlockClick();
    void cmdAddPrefixClick();
    void cmdAcceptClick();
    void cmdRemoveClick();
    void cmdBuildPrefixClick();
    void toolpathBlockClicked(int block);

    void applyLanguage();
    void setPrefixEditorVisible(bool visible);
    void showChosenBlockCaption();
    void scrollToChosenBlock();
    int prefixHeightFor(int height) const;
    void fitPrefix();

    ReviewFields fields_;
    bool languageLoaded_;
    int chosenBlock_ = 0;

    TextFileView* txtReview;
    QSplitter* splReview; // the text beside its toolpath
    ToolpathPanel* pnlToolpath;
    QPlainTextEdit* txtPrefix;
    QPushButton* cmdAccept;
    QPushButton* cmdRemove;
    QGroupBox* GroupBox2;
    QPushButton* cmdSetBlock;
    QPushButton* cmdAddPrefix;
    QPushButton* cmdBuildPrefix;
    QLabel* lblBlockWord;
    QLabel* lblBlockNumber;
    QPushButton* cmdClose;
};

} // namespace vorl
