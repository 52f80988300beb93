#include "viewers/compare_form.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QVBoxLayout>

namespace vorl {
namespace {

const QColor kChangedOld(255, 225, 225);
const QColor kChangedNew(220, 245, 220);
const QColor kWordOld(240, 150, 150);
const QColor kWordNew(140, 210, 140);
const QColor kMissing(235, 235, 235);

// What one side shows: its text, one row a line, and what to mark.
struct Side {
    QString text;
    struct Mark {
        int row = 0;
        int offset = -1; // -1: the whole row
        int length = 0;
        QColor color;
    };
    std::vector<Mark> marks;
    int rows = 0;

    void add(std::string_view line) {
        if (rows > 0) {
            text += QLatin1Char('\n');
        }
        // A byte a character: the word marks count bytes.
        text += QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
        ++rows;
    }
};

std::string_view blockText(const std::string& program, const history::Block& b) {
    return std::string_view(program).substr(b.offset, b.length);
}

void paint(QPlainTextEdit* view, const Side& side) {
    view->setPlainText(side.text);
    QList<QTextEdit::ExtraSelection> selections;
    QTextDocument* doc = view->document();
    for (const Side::Mark& m : side.marks) {
        const QTextBlock block = doc->findBlockByNumber(m.row);
        if (!block.isValid()) {
            continue;
        }
        QTextEdit::ExtraSelection s;
        s.format.setBackground(m.color);
        s.cursor = QTextCursor(block);
        if (m.offset < 0) {
            s.format.setProperty(QTextFormat::FullWidthSelection, true);
        } else {
            s.cursor.setPosition(block.position() + m.offset);
            s.cursor.setPosition(block.position() + m.offset + m.length, QTextCursor::KeepAnchor);
        }
        selections.append(s);
    }
    view->setExtraSelections(selections);
}

} // namespace

TCompareForm::TCompareForm(const QString& oldTitle, std::string oldProgram, const QString& newTitle,
                           std::string newProgram, QWidget* parent)
    : QDialog(parent), old_(std::move(oldProgram)), new_(std::move(newProgram)) {
    setObjectName("CompareForm");
    setWindowTitle(tr("Compare"));
    auto named = [](auto* w, const char* name) {
        w->setObjectName(name);
        return w;
    };
    lblOld = named(new QLabel(oldTitle, this), "lblOld");
    lblNew = named(new QLabel(newTitle, this), "lblNew");
    txtOld = named(new QPlainTextEdit(this), "txtOld");
    txtNew = named(new QPlainTextEdit(this), "txtNew");
    for (QPlainTextEdit* t : {txtOld, txtNew}) {
        t->setReadOnly(true);
        t->setLineWrapMode(QPlainTextEdit::NoWrap);
        t->setFont(QFont(QStringLiteral("Monospace")));
    }
    txtOld->setAccessibleName(oldTitle);
    txtNew->setAccessibleName(newTitle);
    lblSummary = named(new QLabel(this), "lblSummary");
    chkIgnoreNumbers =
        named(new QCheckBox(tr("Ignore sequence numbers"), this), "chkIgnoreNumbers");
    chkIgnoreBlanks = named(new QCheckBox(tr("Ignore blanks"), this), "chkIgnoreBlanks");
    chkIgnoreComments = named(new QCheckBox(tr("Ignore comments"), this), "chkIgnoreComments");
    chkIgnoreEndOfBlock =
        named(new QCheckBox(tr("Ignore end-of-block style"), this), "chkIgnoreEndOfBlock");
    chkIgnoreEndOfBlock->setChecked(true);
    chkOnlyChanges = named(new QCheckBox(tr("Only changes"), this), "chkOnlyChanges");
    cmdPrevious = named(new QPushButton(tr("Previous Change"), this), "cmdPrevious");
    cmdNext = named(new QPushButton(tr("Next Change"), this), "cmdNext");
    cmdClose = named(new QPushButton(tr("Close"), this), "cmdClose");
    cmdPrevious->setToolTip(tr("Shift+F8"));
    cmdNext->setToolTip(tr("F8"));

    auto* grid = new QGridLayout;
    grid->addWidget(lblOld, 0, 0);
    grid->addWidget(lblNew, 0, 1);
    grid->addWidget(txtOld, 1, 0);
    grid->addWidget(txtNew, 1, 1);
    auto* options = new QHBoxLayout;
    for (QWidget* w :
         std::initializer_list<QWidget*>{chkIgnoreNumbers, chkIgnoreBlanks, chkIgnoreComments,
                                         chkIgnoreEndOfBlock, chkOnlyChanges}) {
        options->addWidget(w);
    }
    options->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(lblSummary, 1);
    buttons->addWidget(cmdPrevious);
    buttons->addWidget(cmdNext);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid, 1);
    layout->addLayout(options);
    layout->addLayout(buttons);
    resize(900, 560);

    // The two views scroll as one.
    for (auto [a, b] : {std::pair{txtOld, txtNew}, std::pair{txtNew, txtOld}}) {
        connect(a->verticalScrollBar(), &QScrollBar::valueChanged, b->verticalScrollBar(),
                &QScrollBar::setValue);
        connect(a->horizontalScrollBar(), &QScrollBar::valueChanged, b->horizontalScrollBar(),
                &QScrollBar::setValue);
    }
    for (QCheckBox* c : {chkIgnoreNumbers, chkIgnoreBlanks, chkIgnoreComments, chkIgnoreEndOfBlock,
                         chkOnlyChanges}) {
        connect(c, &QCheckBox::toggled, this, [this] { recompute(); });
    }
    connect(cmdNext, &QPushButton::clicked, this, &TCompareForm::cmdNextClick);
    connect(cmdPrevious, &QPushButton::clicked, this, &TCompareForm::cmdPreviousClick);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    auto* next = new QShortcut(QKeySequence(Qt::Key_F8), this);
    connect(next, &QShortcut::activated, this, &TCompareForm::cmdNextClick);
    auto* previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F8), this);
    connect(previous, &QShortcut::activated, this, &TCompareForm::cmdPreviousClick);
    recompute();
}

void TCompareForm::recompute() {
    history::CompareOptions options;
    options.ignoreNumbers = chkIgnoreNumbers->isChecked();
    options.ignoreBlanks = chkIgnoreBlanks->isChecked();
    options.ignoreComments = chkIgnoreComments->isChecked();
    options.ignoreEndOfBlock = chkIgnoreEndOfBlock->isChecked();
    result_ = history::ComparePrograms(old_, new_, options);
    changeRows_.clear();
    current_ = -1;
    Side left;
    Side right;
    // Rows where both sides show the same block (as the options see it).
    auto same = [&](size_t o, size_t n, size_t count) {
        for (size_t k = 0; k < count; ++k) {
            left.add(blockText(old_, result_.oldBlocks[o + k]));
            right.add(blockText(new_, result_.newBlocks[n + k]));
        }
    };
    auto changed = [&](const history::Change& c) {
        changeRows_.push_back(left.rows);
        const size_t rows = std::max(c.oldCount, c.newCount);
        for (size_t k = 0; k < rows; ++k) {
            const int row = left.rows;
            const bool hasOld = k < c.oldCount;
            const bool hasNew = k < c.newCount;
            const std::string_view a =
                hasOld ? blockText(old_, result_.oldBlocks[c.oldFirst + k]) : std::string_view();
            const std::string_view b =
                hasNew ? blockText(new_, result_.newBlocks[c.newFirst + k]) : std::string_view();
            left.add(a);
            right.add(b);
            left.marks.push_back({row, -1, 0, hasOld ? kChangedOld : kMissing});
            right.marks.push_back({row, -1, 0, hasNew ? kChangedNew : kMissing});
            if (hasOld && hasNew) {
                const history::WordMarks words = history::MarkWords(a, b, options);
                for (const history::WordMark& w : words.oldMarks) {
                    left.marks.push_back(
                        {row, static_cast<int>(w.offset), static_cast<int>(w.length), kWordOld});
                }
                for (const history::WordMark& w : words.newMarks) {
                    right.marks.push_back(
                        {row, static_cast<int>(w.offset), static_cast<int>(w.length), kWordNew});
                }
            }
        }
    };
    if (chkOnlyChanges->isChecked()) {
        bool first = true;
        for (const history::Hunk& h : history::GroupChanges(result_, kContext)) {
            if (!first) {
                left.add("...");
                right.add("...");
            }
            first = false;
            size_t o = h.oldFirst;
            size_t n = h.newFirst;
            for (size_t k = h.firstChange; k < h.firstChange + h.changeCount; ++k) {
                const history::Change& c = result_.changes[k];
                same(o, n, c.oldFirst - o);
                changed(c);
                o = c.oldFirst + c.oldCount;
                n = c.newFirst + c.newCount;
            }
            same(o, n, h.oldFirst + h.oldCount - o);
        }
    } else {
        size_t o = 0;
        size_t n = 0;
        for (const history::Change& c : result_.changes) {
            same(o, n, c.oldFirst - o);
            changed(c);
            o = c.oldFirst + c.oldCount;
            n = c.newFirst + c.newCount;
        }
        same(o, n, result_.oldBlocks.size() - o);
    }
    paint(txtOld, left);
    paint(txtNew, right);
    if (!result_.ok) {
        lblSummary->setText(QString::fromStdString(result_.error));
    } else if (result_.same()) {
        lblSummary->setText(tr("The programs are the same"));
    } else {
        const size_t n = result_.changedBlocks();
        const size_t changes = result_.changes.size();
        lblSummary->setText(
            tr("%1 changed in %2")
                .arg(n == 1 ? tr("1 block") : tr("%1 blocks").arg(n))
                .arg(changes == 1 ? tr("1 change") : tr("%1 changes").arg(changes)));
    }
    lblSummary->setAccessibleName(lblSummary->text());
    cmdNext->setEnabled(!changeRows_.empty());
    cmdPrevious->setEnabled(!changeRows_.empty());
}

void TCompareForm::showChange(int change) {
    if (changeRows_.empty()) {
        return;
    }
    current_ = std::clamp(change, 0, static_cast<int>(changeRows_.size()) - 1);
    const int row = changeRows_[static_cast<size_t>(current_)];
    for (QPlainTextEdit* view : {txtOld, txtNew}) {
        QTextCursor cursor(view->document()->findBlockByNumber(row));
        view->setTextCursor(cursor);
        view->centerCursor();
    }
    lblSummary->setText(tr("Change %1 of %2").arg(current_ + 1).arg(changeRows_.size()));
    lblSummary->setAccessibleName(lblSummary->text());
}

void TCompareForm::cmdNextClick() {
    showChange(current_ + 1);
}

void TCompareForm::cmdPreviousClick() {
    showChange(current_ < 0 ? 0 : current_ - 1);
}

} // namespace vorl
