#include "machines/ui/mlist_form.h"

#include "machines/machine_table.h"
#include "machines/ui/dialog_text.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QValidator>

#include <algorithm>
#include <utility>

namespace vorl {
namespace {

constexpr int kRowHeight = 18;
constexpr int kGridHeight = 212;

// A machine name must come back from the configuration file as it was typed:
// its section header "[" name "]" is one line, ends at the first "]" and holds
// at most 200 characters.
class MachineNameValidator : public PlainLineValidator {
public:
    explicit MachineNameValidator(QObject* parent) : PlainLineValidator(parent, 198) {}
    State validate(QString& input, int& pos) const override {
        if (PlainLineValidator::validate(input, pos) == Invalid || input.contains(']')) {
            return Invalid;
        }
        return Acceptable;
    }
};

QPushButton* button(const QString& text, QWidget* parent, const char* name) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setFixedSize(75, 25);
    b->setAutoDefault(false);
    return b;
}

bool unnamed(const MachineConfig& m) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    return std::all_of(m.name.begin(), m.name.end(), blank);
}

} // namespace

TMListForm::TMListForm(MachineList& machines, Reload reload, QWidget* parent)
    : QDialog(parent), machines_(machines), reload_(std::move(reload)) {
    setObjectName("TMListForm");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(uiText(TextId::MaintainMachineList));

    MachineGrid = new QTableWidget(this);
    MachineGrid->setObjectName("MachineGrid");
    MachineGrid->setAccessibleName(windowTitle());
    MachineGrid->setColumnCount(1);
    MachineGrid->horizontalHeader()->hide();
    MachineGrid->horizontalHeader()->setStretchLastSection(true);
    MachineGrid->verticalHeader()->hide();
    MachineGrid->verticalHeader()->setMinimumSectionSize(kRowHeight);
    MachineGrid->verticalHeader()->setDefaultSectionSize(kRowHeight);
    MachineGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MachineGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    MachineGrid->setSelectionMode(QAbstractItemView::SingleSelection);
    MachineGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    MachineGrid->setFixedHeight(kGridHeight);
    // The keyboard works in the name editors: Tab goes from row to row and on
    // to the buttons (the grid would keep it among its rows), Up and Down move
    // between the rows.
    MachineGrid->setTabKeyNavigation(false);
    MachineGrid->setFocusPolicy(Qt::NoFocus);
    QPalette silver = MachineGrid->palette();
    silver.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    MachineGrid->setPalette(silver);

    cmdMoveUp = button(uiText(TextId::MoveUp), this, "cmdMoveUp");
    cmdMoveDown = button(uiText(TextId::MoveDown), this, "cmdMoveDown");
    cmdAdd = button(uiText(TextId::Add), this, "cmdAdd");
    cmdDelete = button(uiText(TextId::Delete), this, "cmdDelete");
    cmdCancel = button(uiText(TextId::Cancel), this, "cmdCancel");
    cmdOK = button(uiText(TextId::Ok), this, "cmdOK");
    connect(cmdMoveUp, &QPushButton::clicked, this, &TMListForm::cmdMoveUpClick);
    connect(cmdMoveDown, &QPushButton::clicked, this, &TMListForm::cmdMoveDownClick);
    connect(cmdAdd, &QPushButton::clicked, this, &TMListForm::cmdAddClick);
    connect(cmdDelete, &QPushButton::clicked, this, &TMListForm::cmdDeleteClick);
    connect(cmdOK, &QPushButton::clicked, this, &TMListForm::cmdOKClick);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdMoveUp, 0, Qt::AlignBottom);
    buttons->addWidget(cmdMoveDown, 0, Qt::AlignBottom);
    buttons->addStretch();
    buttons->addWidget(cmdAdd, 0, Qt::AlignBottom);
    buttons->addWidget(cmdDelete, 0, Qt::AlignBottom);
    buttons->addStretch();
    auto* right = new QVBoxLayout;
    right->setSpacing(1);
    right->addWidget(cmdCancel);
    right->addWidget(cmdOK);
    buttons->addLayout(right);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 4, 2);
    layout->setSpacing(2);
    layout->addWidget(MachineGrid);
    layout->addLayout(buttons);

    // Create: copy the table and fill the grid.
    const int count = std::clamp(machines_.count, 0, MachineList::kSlots);
    if (count >= kMaxMachines) {
        cmdAdd->setEnabled(false);
    }
    origin_.fill(-1);
    for (int i = 0; i < count; ++i) {
        local_[static_cast<size_t>(i)] = machines_[i];
        origin_[static_cast<size_t>(i)] = i;
    }
    localCount_ = count;
    for (int r = 0; r < std::max(1, count - 1); ++r) {
        addGridRow();
    }
    if (count <= 1) {
        localCount_ = 1;
        enterPromptState(true);
    } else {
        for (int r = 0; r < count - 1; ++r) {
            setCellText(r, shownText(local_[static_cast<size_t>(r + 1)].name));
        }
    }
    MachineGrid->setCurrentCell(0, 0);
    // Typing starts in the first name, not on a button: a space typed into
    // "Lathe 7" must not press one.
    cellEditor(0)->setFocus();

    resize(407, 265);
    if (QScreen* s = screen()) {
        move(s->availableGeometry().center() - rect().center());
    }
}

QLineEdit* TMListForm::cellEditor(int row) const {
    return qobject_cast<QLineEdit*>(MachineGrid->cellWidget(row, 0));
}

void TMListForm::addGridRow() {
    const int row = MachineGrid->rowCount();
    MachineGrid->insertRow(row);
    auto* editor = new QLineEdit;
    editor->setObjectName("txtMachineName");
    editor->setFrame(false);
    editor->setValidator(new MachineNameValidator(editor));
    editor->setAccessibleName(QString("Machine %1").arg(row + 1));
    editor->installEventFilter(this);
    connect(editor, &QLineEdit::textEdited, this, [this, editor](const QString& text) {
        for (int r = 0; r < MachineGrid->rowCount(); ++r) {
            if (cellEditor(r) == editor) {
                MachineGridSetEditText(r, text);
                return;
            }
        }
    });
    MachineGrid->setCellWidget(row, 0, editor);
    // The cell itself is what a screen reader reads on the desktop's bus (the
    // editor inside is not part of the table there): it carries the editor's
    // name and prompt. The editor does the editing.
    auto* item = new QTableWidgetItem;
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    MachineGrid->setItem(row, 0, item);
    describeCell(row);
}

void TMListForm::describeCell(int row) {
    QLineEdit* editor = cellEditor(row);
    QTableWidgetItem* item = MachineGrid->item(row, 0);
    if (editor == nullptr || item == nullptr) {
        return;
    }
    const QString name = editor->text().trimmed();
    item->setData(Qt::AccessibleTextRole, name.isEmpty() ? editor->accessibleName() : name);
    item->setData(Qt::AccessibleDescriptionRole, editor->accessibleDescription());
}

void TMListForm::removeLastGridRow() {
    MachineGrid->removeRow(MachineGrid->rowCount() - 1);
}

void TMListForm::setCellText(int row, const QString& text) {
    QLineEdit* editor = cellEditor(row);
    editor->setPlaceholderText(QString());
    editor->setAccessibleDescription(QString());
    editor->setText(text);
    describeCell(row);
}

// Selects `row`, puts the keyboard into its editor and scrolls it into view.
void TMListForm::selectRow(int row) {
    MachineGrid->setCurrentCell(row, 0);
    MachineGrid->scrollTo(MachineGrid->model()->index(row, 0));
    if (QLineEdit* editor = cellEditor(row)) {
        editor->setFocus();
    }
}

// Only the terminal entry is left: the first row invites a name. The prompt is
// shown while the cell is empty, so it can never become part of a name.
void TMListForm::enterPromptState(bool creating) {
    QLineEdit* editor = cellEditor(0);
    editor->setText(QString());
    editor->setPlaceholderText(uiText(TextId::FirstMachinePrompt));
    // A screen reader reads the prompt with the cell for as long as it shows.
    editor->setAccessibleDescription(editor->placeholderText());
    describeCell(0);
    if (localCount_ < MachineList::kSlots) {
        local_[static_cast<size_t>(localCount_)] = NewMachineDefaults();
        origin_[static_cast<size_t>(localCount_)] = -1;
        ++localCount_;
    }
    cmdMoveUp->setEnabled(false);
    cmdMoveDown->setEnabled(false);
    cmdAdd->setEnabled(false);
    cmdDelete->setEnabled(false);
    if (creating) {
        cmdOK->setEnabled(false);
    }
}

void TMListForm::resetDeleted(int slot) {
    local_[static_cast<size_t>(slot)] = NewMachineDefaults();
    local_[static_cast<size_t>(slot)].capability = '?';
    origin_[static_cast<size_t>(slot)] = -1;
}

void TMListForm::swapSlots(int a, int b) {
    std::swap(local_[static_cast<size_t>(a)], local_[static_cast<size_t>(b)]);
    std::swap(origin_[static_cast<size_t>(a)], origin_[static_cast<size_t>(b)]);
}

bool TMListForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::FocusIn && event->type() != QEvent::KeyPress) {
        return QDialog::eventFilter(watched, event);
    }
    int row = -1;
    for (int r = 0; r < MachineGrid->rowCount(); ++r) {
        if (cellEditor(r) == watched) {
            row = r;
            break;
        }
    }
    if (row < 0) {
        return QDialog::eventFilter(watched, event);
    }
    if (event->type() == QEvent::FocusIn) {
        MachineGrid->setCurrentCell(row, 0);
    } else {
        const auto* key = static_cast<QKeyEvent*>(event);
        const int step = key->key() == Qt::Key_Up ? -1 : key->key() == Qt::Key_Down ? 1 : 0;
        if (step != 0 && key->modifiers() == Qt::NoModifier) {
            if (row + step >= 0 && row + step < MachineGrid->rowCount()) {
                selectRow(row + step);
            }
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TMListForm::MachineGridSetEditText(int row, const QString& text) {
    if (row + 1 >= localCount_) {
        return;
    }
    local_[static_cast<size_t>(row + 1)].name = text.trimmed().toStdString();
    cellEditor(row)->setPlaceholderText(QString());
    cellEditor(row)->setAccessibleDescription(QString());
    describeCell(row);
    for (QPushButton* b : {cmdOK, cmdMoveUp, cmdMoveDown, cmdAdd, cmdDelete}) {
        b->setEnabled(true);
    }
    if (MachineGrid->rowCount() >= kMaxMachines) {
        cmdAdd->setEnabled(false);
    }
}

void TMListForm::cmdMoveUpClick() {
    const int r = MachineGrid->currentRow();
    if (r <= 0 || r + 1 >= localCount_) {
        return;
    }
    const QString above = cellEditor(r - 1)->text();
    setCellText(r - 1, cellEditor(r)->text());
    setCellText(r, above);
    swapSlots(r + 1, r);
    selectRow(r - 1);
}

void TMListForm::cmdMoveDownClick() {
    const int r = MachineGrid->currentRow();
    if (r < 0 || r + 1 >= MachineGrid->rowCount() || r + 2 >= localCount_) {
        return;
    }
    const QString below = cellEditor(r + 1)->text();
    setCellText(r + 1, cellEditor(r)->text());
    setCellText(r, below);
    swapSlots(r + 1, r + 2);
    selectRow(r + 1);
}

void TMListForm::cmdAddClick() {
    if (MachineGrid->rowCount() >= kMaxMachines || localCount_ >= MachineList::kSlots) {
        return;
    }
    addGridRow();
    const int row = MachineGrid->rowCount() - 1;
    if (MachineGrid->rowCount() >= kMaxMachines) {
        cmdAdd->setEnabled(false);
    }
    selectRow(row);
    local_[static_cast<size_t>(localCount_)] = NewMachineDefaults();
    origin_[static_cast<size_t>(localCount_)] = -1;
    ++localCount_;
}

void TMListForm::cmdDeleteClick() {
    const int r = MachineGrid->currentRow();
    const int rows = MachineGrid->rowCount();
    if (r < 0 || r >= rows || localCount_ < 2) {
        return;
    }
    if (rows <= kMaxMachines) {
        cmdAdd->setEnabled(true);
    }
    if (rows == 1) {
        setCellText(0, QString());
        resetDeleted(1);
    } else if (r == rows - 1) {
        selectRow(r - 1);
        setCellText(r, QString());
        removeLastGridRow();
        resetDeleted(r + 1);
    } else {
        for (int row = r; row < rows - 1; ++row) {
            setCellText(row, cellEditor(row + 1)->text());
        }
        for (int slot = r + 1; slot < localCount_ - 1; ++slot) {
            local_[static_cast<size_t>(slot)] = std::move(local_[static_cast<size_t>(slot + 1)]);
            origin_[static_cast<size_t>(slot)] = origin_[static_cast<size_t>(slot + 1)];
        }
        setCellText(rows - 1, QString());
        removeLastGridRow();
        resetDeleted(localCount_ - 1);
        selectRow(r);
    }
    --localCount_;
    if (localCount_ == 1) {
        enterPromptState(false);
    }
    MachineGrid->viewport()->update();
}

void TMListForm::cmdOKClick() {
    const int selected = machines_.selected;
    int kept = 0;
    int newSelected = 0;
    for (int i = 0; i < localCount_; ++i) {
        const MachineConfig& m = local_[static_cast<size_t>(i)];
        if (i != 0 && unnamed(m)) {
            continue;
        }
        if (i != 0 && selected > 0 && origin_[static_cast<size_t>(i)] == selected) {
            newSelected = kept;
        }
        machines_[kept++] = m;
    }
    machines_.count = kept;
    machines_.selected = newSelected;
    if (reload_) {
        reload_();
    }
    accept();
}

} // namespace vorl
