// TCompareForm, the compare window: two NC programs side by side, the
// changed blocks marked and, within a changed block, the changed words
// (F400 against F350). Options each on their own: ignore sequence numbers,
// blanks, comments, the end-of-block style; only the changes with a few
// blocks around them; the next and previous change with F8 and Shift+F8.
// It paints what the history's compare computes; nothing is compared here.
#pragma once

#include "history/nc_compare.h"

#include <QDialog>

#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace vorl {

class TCompareForm : public QDialog {
    Q_OBJECT
public:
    // `oldProgram` on the left, `newProgram` on the right, each under its
    // title (a file name, a version).
    TCompareForm(const QString& oldTitle, std::string oldProgram, const QString& newTitle,
                 std::string newProgram, QWidget* parent = nullptr);

    // Blocks shown around each change with "Only changes".
    static constexpr int kContext = 3;

    const history::CompareResult& result() const { return result_; }
    // The change the views show (-1: none yet).
    int currentChange() const { return current_; }
    // The row (line of both views) the change `index` starts at.
    int rowOfChange(int index) const { return changeRows_.at(static_cast<size_t>(index)); }

    QPlainTextEdit* txtOld;
    QPlainTextEdit* txtNew;
    QLabel* lblOld;
    QLabel* lblNew;
    QLabel* lblSummary;
    QCheckBox* chkIgnoreNumbers;
    QCheckBox* chkIgnoreBlanks;
    QCheckBox* chkIgnoreComments;
    QCheckBox* chkIgnoreEndOfBlock;
    QCheckBox* chkOnlyChanges;
    QPushButton* cmdPrevious;
    QPushButton* cmdNext;
    QPushButton* cmdClose;

    void cmdNextClick();
    void cmdPreviousClick();

private:
    void recompute();
    void showChange(int change);

    std::string old_;
    std::string new_;
    history::CompareResult result_;
    std::vector<int> changeRows_;
    int current_ = -1;
};

} // namespace vorl
