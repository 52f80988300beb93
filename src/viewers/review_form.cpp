#include "viewers/review_form.h"

#include "restart/restart_prefix.h"
#include "viewers/text_file_view.h"
#include "viewers/toolpath_panel.h"
#include "viewers/toolpath_view.h"
#include "viewers/value_field.h"
#include "viewers/viewer_text.h"

#include <QFile>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QStringList>
#include <QTextBlock>

#include <algorithm>

namespace vorl {
namespace {

// The help topic of the review window (F1).
constexpr int kHelpContext = 280;

} // namespace

TReviewForm::TReviewForm(const ReviewFields& fields, bool languageLoaded, QWidget* parent)
    : ViewerWindow(parent), fields_(fields), languageLoaded_(languageLoaded) {
    setObjectName(QStringLiteral("TReviewForm"));
    setWindowTitle(QStringLiteral("Review: "));
    setProperty("helpContext", kHelpContext);

    txtReview = named(new TextFileView(this), "txtReview");
    splReview = named(new QSplitter(Qt::Horizontal, this), "splReview");
    pnlToolpath = named(new ToolpathPanel(splReview), "pnlToolpath");
    splReview->addWidget(txtReview);
    splReview->addWidget(pnlToolpath);
    splReview->setStretchFactor(0, 3);
    splReview->setStretchFactor(1, 2);
    txtPrefix = named(new QPlainTextEdit(this), "txtPrefix");
    txtPrefix->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtPrefix->setTabChangesFocus(true);
    txtPrefix->setAccessibleName(QStringLiteral("Prefix"));
    cmdAccept = named(new QPushButton(QStringLiteral("Accept Prefix"), this), "cmdAccept");
    cmdRemove = named(new QPushButton(QStringLiteral("Remove Prefix"), this), "cmdRemove");

    makeSearchGroup(txtReview);

    GroupBox2 =
        named(new QGroupBox(QStringLiteral("Alternate Start (Current = None)"), this), "GroupBox2");
    cmdSetBlock = named(new QPushButton(QStringLiteral("Set Block"), GroupBox2), "cmdSetBlock");
    cmdAddPrefix = named(new QPushButton(QStringLiteral("Add Prefix"), GroupBox2), "cmdAddPrefix");
    cmdBuildPrefix =
        named(new QPushButton(QStringLiteral("Build Prefix"), GroupBox2), "cmdBuildPrefix");
    // Build Prefix under Add Prefix: three in a row would not leave the block
    // number and Close their room at the window's smallest width.
    auto* blockRows = new QGridLayout(GroupBox2);
    blockRows->addWidget(cmdSetBlock, 0, 0);
    blockRows->addWidget(cmdAddPrefix, 0, 1);
    blockRows->addWidget(cmdBuildPrefix, 1, 1);

    lblBlockWord = named(new QLabel(QStringLiteral("Block:"), this), "lblBlockWord");
    lblBlockNumber = named(new QLabel(QStringLiteral("1"), this), "lblBlockNumber");
    lblBlockNumber->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblBlockWord->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    bindValueField(lblBlockNumber, lblBlockWord);
    cmdClose = named(new QPushButton(QStringLiteral("Close"), this), "cmdClose");
    cmdClose->setDefault(true);

    txtPrefix->hide();
    cmdAccept->hide();
    cmdRemove->hide();

    connect(txtReview, &TextFileView::selectionChanged, this,
            &TReviewForm::txtReviewSelectionChange);
    connect(cmdSetBlock, &QPushButton::clicked, this, &TReviewForm::cmdSetBlockClick);
    connect(cmdAddPrefix, &QPushButton::clicked, this, &TReviewForm::cmdAddPrefixClick);
    connect(cmdAccept, &QPushButton::clicked, this, &TReviewForm::cmdAcceptClick);
    connect(cmdRemove, &QPushButton::clicked, this, &TReviewForm::cmdRemoveClick);
    connect(cmdBuildPrefix, &QPushButton::clicked, this, &TReviewForm::cmdBuildPrefixClick);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(pnlToolpath, &ToolpathPanel::blockClicked, this, &TReviewForm::toolpathBlockClicked);

    setMinimumSize(kDesignWidth, kDesignHeight);
    resize(kDesignWidth, kDesignHeight);
    FormResize();
}

void TReviewForm::applyLanguage() {
    setWindowTitle(viewerCaption(languageLoaded_, TextId::ReviewCaption, windowTitle()));
    applySearchCaptions(languageLoaded_);
    cmdAccept->setText(viewerCaption(languageLoaded_, TextId::AcceptPrefix, cmdAccept->text()));
    cmdClose->setText(viewerCaption(languageLoaded_, TextId::Close, cmdClose->text()));
    cmdRemove->setText(viewerCaption(languageLoaded_, TextId::RemovePrefix, cmdRemove->text()));
    cmdSetBlock->setText(viewerCaption(languageLoaded_, TextId::SetBlock, cmdSetBlock->text()));
    cmdAddPrefix->setText(viewerCaption(languageLoaded_, TextId::AddPrefix, cmdAddPrefix->text()));
    lblBlockWord->setText(
        viewerCaption(languageLoaded_, TextId::BlockCaption, lblBlockWord->text()));
    bindValueField(lblBlockNumber, lblBlockWord);
}

void TReviewForm::FormShow() {
    applyLanguage();
    const QString fileName = QFile::decodeName(QByteArray::fromStdString(fields_.fileName));
    setWindowTitle(windowTitle() + fileName);
    txtReview->setAccessibleName(windowTitle());
    if (!txtReview->loadFile(fileName)) {
        const QString message = QFile::exists(fileName)
                                    ? fileName + QStringLiteral(": ") + txtReview->errorString()
                                    : viewerText(TextId::FileNotFound) + fileName;
        // Told once the window is up, so the operator sees which window failed.
        QMetaObject::invokeMethod(
            this, [this, message] { QMessageBox::warning(this, QString(), message); },
            Qt::QueuedConnection);
    }
    // A file that cannot be read to its end shows the lines before the failure.
    connect(txtReview, &TextFileView::loadFinished, this, [this, fileName] {
        if (!txtReview->errorString().isEmpty()) {
            QMessageBox::warning(this, QString(),
                                 fileName + QStringLiteral(": ") + txtReview->errorString());
        }
    });
    showValue(lblBlockNumber, QStringLiteral("1"));
    // The path is read from the file on disk, as the download and the prefix read it.
    pnlToolpath->load(fields_.fileName, ToolpathOptions{fields_.restart.dialect});

    if (fields_.startBlock != 0) {
        chosenBlock_ = fields_.startBlock;
        const int line = chosenBlock_ - 1;
        txtReview->setLineBold(line, true);
        // Deep in a large program the line may not be indexed yet: the window
        // is usable meanwhile and goes to the line when it is.
        txtReview->whenLineKnown(line, [this, line] {
            txtReview->selectLine(line);
            scrollToChosenBlock();
        });
    } else {
        chosenBlock_ = 0;
    }
    showChosenBlockCaption();
    pnlToolpath->view()->setRestartBlock(chosenBlock_);

    if (!fields_.prefixText.empty()) {
        txtPrefix->setPlainText(QString::fromLatin1(fields_.prefixText));
        setPrefixEditorVisible(true);
    }
    FormResize();
    scrollToChosenBlock();
}

void TReviewForm::FormResize() {
    const int width = this->width();
    const int height = this->height();

    const QSize search = GroupBox1->sizeHint();
    const QSize block = GroupBox2->sizeHint();
    const QSize close = cmdClose->sizeHint();
    const QSize word = lblBlockWord->sizeHint();
    const int numberWidth =
        lblBlockNumber->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 10;
    const int labelHeight = std::max(word.height(), lblBlockNumber->sizeHint().height());
    const int bottomHeight =
        std::max({search.height(), block.height(), labelHeight + kMargin + close.height()});
    const int bottomTop = height - kMargin - bottomHeight;

    const int searchWidth = std::max(search.width(), 230);
    GroupBox1->setGeometry(kMargin, bottomTop, searchWidth, bottomHeight);
    GroupBox2->setGeometry(kMargin + searchWidth + kMargin, bottomTop, block.width(), bottomHeight);
    cmdClose->setGeometry(width - kMargin - close.width(), height - kMargin - close.height(),
                          close.width(), close.height());
    lblBlockNumber->setGeometry(width - kMargin - numberWidth, bottomTop, numberWidth, labelHeight);
    lblBlockWord->setGeometry(width - kMargin - numberWidth - kMargin - word.width(), bottomTop,
                              word.width(), labelHeight);

    int reviewTop = 0;
    if (!txtPrefix->isHidden()) {
        const int prefixHeight = prefixHeightFor(height);
        txtPrefix->setGeometry(0, 0, width, prefixHeight);
        const QSize accept = cmdAccept->sizeHint();
        const QSize remove = cmdRemove->sizeHint();
        const int buttonTop = prefixHeight + 2;
        cmdAccept->setGeometry(kMargin, buttonTop, accept.width(), accept.height());
        cmdRemove->setGeometry(kMargin + accept.width() + kMargin, buttonTop, remove.width(),
                               remove.height());
        reviewTop = buttonTop + std::max(accept.height(), remove.height()) + 2;
    }
    splReview->setGeometry(0, reviewTop, width, std::max(0, bottomTop - kMargin - reviewTop));
}

void TReviewForm::txtReviewSelectionChange() {
    showValue(lblBlockNumber, QString::number(txtReview->selectionStartLine() + 1));
    pnlToolpath->view()->setHighlightedBlock(txtReview->selectionStartLine() + 1);
}

// A click on the path: the caret to the block that drew it, once the text
// has indexed that far.
void TReviewForm::toolpathBlockClicked(int block) {
    const int line = block - 1;
    txtReview->whenLineKnown(line, [this, line] { txtReview->selectLine(line); });
}

void TReviewForm::cmdSetBlockClick() {
    fields_.refilterNeeded = true;
    if (chosenBlock_ != 0) {
        txtReview->setLineBold(chosenBlock_ - 1, false);
    }
    // The line shown in lblBlockNumber, also when a selection spans lines.
    const int line = txtReview->selectionStartLine();
    if (line != 0) {
        chosenBlock_ = line + 1;
        txtReview->selectLine(line);
        txtReview->setLineBold(line, true);
        txtReview->setFocus();
    } else {
        // Block 1 is where every download starts anyway: choosing it means none.
        chosenBlock_ = 0;
    }
    showChosenBlockCaption();
    pnlToolpath->view()->setRestartBlock(chosenBlock_);
}

void TReviewForm::cmdAddPrefixClick() {
    setPrefixEditorVisible(true);
    FormResize();
    txtReview->setPosition(TextFileView::Position{});
    scrollToChosenBlock();
    txtPrefix->setFocus();
}

void TReviewForm::cmdAcceptClick() {
    // Every line ends with CR LF, the last one too: the prefix is written just
    // before the first block, which must not be joined to its last line.
    QStringList lines;
    for (QTextBlock b = txtPrefix->document()->begin(); b.isValid(); b = b.next()) {
        lines << b.text();
    }
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    QString prefix;
    for (const QString& line : lines) {
        prefix += line + QStringLiteral("\r\n");
    }
    fields_.prefixText = prefix.toLatin1().toStdString();
    fields_.refilterNeeded = true;
}

void TReviewForm::cmdRemoveClick() {
    txtPrefix->clear();
    fields_.prefixText.clear();
    fields_.refilterNeeded = true;
    setPrefixEditorVisible(false);
    FormResize();
}

// The prefix goes into the editor only: the operator reads it, edits it and
// takes it with "Accept Prefix" as any typed prefix. The program is read from
// the file, as far as the start block, whatever the view has loaded so far.
void TReviewForm::cmdBuildPrefixClick() {
    if (chosenBlock_ == 0) {
        QMessageBox::information(this, QString(),
                                 QStringLiteral("Choose the start block first: put the caret on "
                                                "its line and click \"%1\".")
                                     .arg(cmdSetBlock->text()));
        return;
    }
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const RestartPrefix prefix =
        BuildRestartPrefix(fields_.fileName, chosenBlock_, fields_.restart);
    QGuiApplication::restoreOverrideCursor();
    if (!prefix.ok) {
        QMessageBox::warning(this, QString(), QString::fromStdString(prefix.error));
        return;
    }
    QStringList lines;
    for (const std::string& line : prefix.lines) {
        lines << QString::fromLatin1(line);
    }
    const QString text = lines.join(QLatin1Char('\n'));
    const QString typed = txtPrefix->toPlainText().trimmed();
    if (!typed.isEmpty() && typed != text &&
        QMessageBox::question(this, QString(),
                              QStringLiteral("Replace the prefix in the editor with the one "
                                             "built for block %1?")
                                  .arg(chosenBlock_)) != QMessageBox::Yes) {
        return;
    }
    txtPrefix->setPlainText(text);
    setPrefixEditorVisible(true);
    fitPrefix();
    FormResize();
    scrollToChosenBlock();
    txtPrefix->setFocus();
    if (!prefix.certain) {
        QString reasons;
        for (const std::string& reason : prefix.reasons) {
            reasons += QStringLiteral("\n- ") + QString::fromStdString(reason);
        }
        QMessageBox::warning(
            this, QString(),
            QStringLiteral("The state of the machine at block %1 is not certain:%2\n\nThe "
                           "lines of the prefix are marked UNCHECKED. Check every line against "
                           "the program before you click \"%3\".")
                .arg(chosenBlock_)
                .arg(reasons, cmdAccept->text()));
    }
}

// The prefix box takes a third of the window, more (up to three fifths) when
// the prefix has more lines: a built prefix is read line by line before it is
// accepted.
int TReviewForm::prefixHeightFor(int height) const {
    const QFontMetrics metrics(txtPrefix->font());
    const int lines = txtPrefix->document()->blockCount();
    const int wanted = metrics.lineSpacing() * (lines + 1) + 2 * txtPrefix->frameWidth() +
                       txtPrefix->horizontalScrollBar()->sizeHint().height();
    return std::clamp(wanted, height / 3, std::max(height / 3, height * 3 / 5));
}

// Makes the window wide enough for the longest line of the prefix and tall
// enough for its lines, as far as the screen allows: a prefix is checked
// without scrolling sideways.
void TReviewForm::fitPrefix() {
    const QFontMetrics metrics(txtPrefix->font());
    int widest = 0;
    for (QTextBlock b = txtPrefix->document()->begin(); b.isValid(); b = b.next()) {
        widest = std::max(widest, metrics.horizontalAdvance(b.text()));
    }
    const int margins = 2 * txtPrefix->frameWidth() +
                        2 * static_cast<int>(txtPrefix->document()->documentMargin()) +
                        txtPrefix->verticalScrollBar()->sizeHint().width() +
                        metrics.averageCharWidth();
    const int lines = txtPrefix->document()->blockCount();
    const int prefixHeight = metrics.lineSpacing() * (lines + 1) + 2 * txtPrefix->frameWidth() +
                             txtPrefix->horizontalScrollBar()->sizeHint().height();
    QSize wanted(std::max(width(), widest + margins), std::max(height(), prefixHeight * 5 / 3));
    if (const QScreen* s = screen()) {
        const QRect room = s->availableGeometry();
        wanted = wanted.boundedTo(room.size());
    }
    if (wanted != size()) {
        resize(wanted);
    }
}

void TReviewForm::setPrefixEditorVisible(bool visible) {
    txtPrefix->setVisible(visible);
    cmdAccept->setVisible(visible);
    cmdRemove->setVisible(visible);
}

void TReviewForm::showChosenBlockCaption() {
    const QString number =
        chosenBlock_ != 0 ? QString::number(chosenBlock_) : viewerText(TextId::NoStartBlock);
    GroupBox2->setTitle(viewerText(TextId::AlternateStartBlock) + number);
    FormResize(); // the caption's width follows the number
}

void TReviewForm::scrollToChosenBlock() {
    txtReview->horizontalScrollBar()->setValue(0);
    txtReview->scrollToLine(chosenBlock_ - 1);
}

} // namespace vorl
