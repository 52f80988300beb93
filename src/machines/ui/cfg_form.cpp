#include "machines/ui/cfg_form.h"

#include "machines/caret_notation.h"
#include "machines/config_file.h"
#include "machines/ui/dialog_text.h"
#include "machines/ui/dir_browse.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace vorl {
namespace {

constexpr int kExtensionLength = 12;
// A line of the configuration file holds at most kMaxConfigLine characters,
// key included; a value that does not fit would come back cut. The longest
// keys of each kind ("DIRDN=", "ACTION0=", "FILTERDN=") set the limits.
constexpr int kDirectoryLength = static_cast<int>(kMaxConfigLine - kConfigKeys[1].size());
constexpr int kTriggerLength = static_cast<int>(kMaxConfigLine - kConfigKeys[15].size());
constexpr int kFilterLength = static_cast<int>(kMaxConfigLine - kConfigKeys[13].size());
constexpr int kDelayLength = 5;
constexpr int kLeaderLength = 1;

// The hints of the trigger strings' boxes, in trigger order.
constexpr std::array<TextId, kTriggerCount> kHints = {
    TextId::HintDownloadStart, TextId::HintDownloadReady, TextId::HintDownloadStop,
    TextId::HintDownloadEnd,   TextId::HintUploadStart,   TextId::HintUploadReady,
    TextId::HintUploadStop,    TextId::HintUploadEnd,
};

constexpr std::array<const char*, 12> kSpeeds = {"110",   "300",   "600",   "1200",
                                                 "2400",  "4800",  "9600",  "14400",
                                                 "19200", "38400", "57600", "115200"};

QLabel* label(const QString& text, QWidget* parent, const char* name, QWidget* buddy = nullptr) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    if (buddy != nullptr) {
        l->setBuddy(buddy);
        buddy->setAccessibleName(text);
    }
    return l;
}

QComboBox* list(QWidget* parent, const char* name, const QStringList& items) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(items);
    return box;
}

QCheckBox* check(const QString& text, QWidget* parent, const char* name) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    return box;
}

QLineEdit* edit(QWidget* parent, const char* name, int maxLength) {
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setMaxLength(maxLength);
    return box;
}

// A box that takes digits only: typed letters and pasted text with anything
// but digits are refused.
QLineEdit* digitsEdit(QWidget* parent, const char* name, int maxLength) {
    QLineEdit* box = edit(parent, name, maxLength);
    box->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), box));
    return box;
}

// Puts `text` into `box` without losing any of it: a stored value longer than
// the box's limit (from an edited file) widens the limit, since a cut value
// would be written back on OK.
void setWhole(QLineEdit* box, const QString& text, int limit) {
    box->setMaxLength(std::max(limit, static_cast<int>(text.size())));
    box->setText(text);
}

void selectItem(QComboBox* box, int index) {
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

int16_t flag(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

// The box as a number; 0 when empty. The validator lets only digits in, but a
// value shown from the file may be anything the file held.
int number(const QLineEdit* box) {
    bool ok = false;
    const int value = box->text().toInt(&ok);
    return ok ? value : 0;
}

// The first character of `text` that the file's code page for trigger and
// filter strings (one byte per character, ISO 8859-1) cannot hold, with its
// position; an empty string when there is none.
QString firstCharacterOutsideCodePage(const QString& text, qsizetype& position) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].unicode() > 0xFF) {
            position = i;
            return text.mid(i, text[i].isHighSurrogate() ? 2 : 1);
        }
    }
    return QString();
}

QString withoutColon(QString caption) {
    caption = caption.trimmed();
    if (caption.endsWith(':')) {
        caption.chop(1);
    }
    return caption;
}

} // namespace

TCfgFrm::TCfgFrm(MachineList& machines, QWidget* parent) : QDialog(parent), machines_(machines) {
    setObjectName("TCfgFrm");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    if (machines_.selected >= 0 && machines_.selected < MachineList::kSlots) {
        setWindowTitle(shownText(machines_[machines_.selected].name));
    }
    for (int i = 0; i < kTriggerCount; ++i) {
        hints_[static_cast<size_t>(i)] = uiText(kHints[static_cast<size_t>(i)]);
    }

    pgcConfig = new QTabWidget(this);
    pgcConfig->setObjectName("pgcConfig");
    buildFileSpecificationsPage();
    buildCommunicationPage();
    buildDataSpecificationsPage();
    buildFiltersPage();
    buildRestartPage();

    cmdOK = new QPushButton(uiText(TextId::Ok), this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);
    cmdCancel = new QPushButton(uiText(TextId::Cancel), this);
    cmdCancel->setObjectName("cmdCancel");
    connect(cmdOK, &QPushButton::clicked, this, &TCfgFrm::cmdOKClick);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    // Left to right, as they stand: Cancel, then OK.
    setTabOrder(cmdCancel, cmdOK);
    // The keyboard starts at the first setting, not on the page tabs.
    cboxDownload->setFocus();

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdCancel);
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addWidget(pgcConfig, 1);
    layout->addLayout(buttons);

    resize(537, 242);
    if (QScreen* s = screen()) {
        move(s->availableGeometry().center() - rect().center());
    }
}

void TCfgFrm::buildFileSpecificationsPage() {
    tabFileSpecs = new QWidget;
    tabFileSpecs->setObjectName("tabFileSpecs");
    pgcConfig->addTab(tabFileSpecs, uiText(TextId::FileSpecificationsPage));

    auto* group = new QGroupBox(uiText(TextId::CapabilityAndFileSpecifications), tabFileSpecs);
    group->setObjectName("grpFileSpecs");
    const QString download = uiText(TextId::DownloadColumn);
    const QString upload = uiText(TextId::UploadColumn);
    const QString extension = uiText(TextId::Extension);
    const QString directory = uiText(TextId::Directory);
    cboxDownload = check(download, group, "cboxDownload");
    cboxUpload = check(upload, group, "cboxUpload");
    txtDExt = edit(group, "txtDExt", kExtensionLength);
    txtUExt = edit(group, "txtUExt", kExtensionLength);
    txtDDir = edit(group, "txtDDir", kDirectoryLength);
    txtUDir = edit(group, "txtUDir", kDirectoryLength);
    for (QLineEdit* box : {txtDExt, txtUExt}) {
        box->setValidator(new PlainLineValidator(box));
    }
    for (QLineEdit* box : {txtDDir, txtUDir}) {
        box->setValidator(new PlainLineValidator(box, kDirectoryLength));
    }
    txtDExt->setAccessibleName(download + ' ' + extension);
    txtUExt->setAccessibleName(upload + ' ' + extension);
    txtDDir->setAccessibleName(download + ' ' + directory);
    txtUDir->setAccessibleName(upload + ' ' + directory);
    const QString browse = uiText(TextId::Browse);
    cmdDBrowse = new QPushButton(browse, group);
    cmdDBrowse->setObjectName("cmdDBrowse");
    cmdDBrowse->setAccessibleDescription(download + ' ' + directory);
    cmdUBrowse = new QPushButton(browse, group);
    cmdUBrowse->setObjectName("cmdUBrowse");
    cmdUBrowse->setAccessibleDescription(upload + ' ' + directory);
    connect(cmdDBrowse, &QPushButton::clicked, this, [this] { browseClick(cmdDBrowse, txtDDir); });
    connect(cmdUBrowse, &QPushButton::clicked, this, [this] { browseClick(cmdUBrowse, txtUDir); });

    auto* grid = new QGridLayout(group);
    grid->addWidget(label(uiText(TextId::Capability), group, "lblCapability"), 0, 0);
    grid->addWidget(label(extension, group, "lblExtension"), 0, 1);
    grid->addWidget(label(directory, group, "lblDirectory"), 0, 2);
    grid->addWidget(cboxDownload, 1, 0);
    grid->addWidget(txtDExt, 1, 1);
    grid->addWidget(txtDDir, 1, 2);
    grid->addWidget(cmdDBrowse, 1, 3);
    grid->addWidget(cboxUpload, 2, 0);
    grid->addWidget(txtUExt, 2, 1);
    grid->addWidget(txtUDir, 2, 2);
    grid->addWidget(cmdUBrowse, 2, 3);
    grid->setColumnStretch(2, 1);

    auto* page = new QVBoxLayout(tabFileSpecs);
    page->addWidget(group);
    page->addStretch();
}

void TCfgFrm::buildCommunicationPage() {
    tabCommunication = new QWidget;
    tabCommunication->setObjectName("tabCommunication");
    pgcConfig->addTab(tabCommunication, uiText(TextId::CommunicationPage));

    auto* group = new QGroupBox(uiText(TextId::CommunicationGroup), tabCommunication);
    group->setObjectName("grpCommunication");
    QStringList ports;
    for (int i = 1; i <= 9; ++i) {
        ports << QString("COM %1").arg(i);
    }
    QStringList speeds;
    for (const char* s : kSpeeds) {
        speeds << s;
    }
    cboxPort = list(group, "cboxPort", ports);
    cboxSpeed = list(group, "cboxSpeed", speeds);
    cboxDataBits = list(group, "cboxDataBits", {"5", "6", "7", "8"});
    cboxStopBits = list(group, "cboxStopBits", {"1", "2"});
    cboxParity =
        list(group, "cboxParity",
             {uiText(TextId::ParityNone), uiText(TextId::ParityOdd), uiText(TextId::ParityEven)});
    cboxHandshake =
        list(group, "cboxHandshake",
             {uiText(TextId::HandshakeNone), uiText(TextId::HandshakeXonXoff),
              uiText(TextId::HandshakeHardware), uiText(TextId::HandshakeXonXoffHardware)});
    cboxProtocol = list(group, "cboxProtocol",
                        {uiText(TextId::ProtocolAscii), uiText(TextId::ProtocolXmodem),
                         uiText(TextId::ProtocolXmodemCrc), uiText(TextId::ProtocolXmodem1K)});
    txtDelay = digitsEdit(group, "txtDelay", kDelayLength);
    connect(cboxProtocol, &QComboBox::currentIndexChanged, this, &TCfgFrm::applyProtocolRule);

    lblPort = label(uiText(TextId::CommPort), group, "lblPort", cboxPort);
    lblSpeed = label(uiText(TextId::LineSpeed), group, "lblSpeed", cboxSpeed);
    lblDataBits = label(uiText(TextId::DataBits), group, "lblDataBits", cboxDataBits);
    lblStopBits = label(uiText(TextId::StopBits), group, "lblStopBits", cboxStopBits);
    lblParity = label(uiText(TextId::Parity), group, "lblParity", cboxParity);
    lblHandshake = label(uiText(TextId::Handshaking), group, "lblHandshake", cboxHandshake);
    lblProtocol = label(uiText(TextId::Protocol), group, "lblProtocol", cboxProtocol);
    QLabel* lblDelay = label(uiText(TextId::BlockDelay), group, "lblDelay", txtDelay);

    auto* grid = new QGridLayout(group);
    grid->setVerticalSpacing(3);
    const std::array<std::pair<QLabel*, QWidget*>, 8> cells = {{{lblPort, cboxPort},
                                                                {lblSpeed, cboxSpeed},
                                                                {lblDataBits, cboxDataBits},
                                                                {lblStopBits, cboxStopBits},
                                                                {lblParity, cboxParity},
                                                                {lblHandshake, cboxHandshake},
                                                                {lblProtocol, cboxProtocol},
                                                                {lblDelay, txtDelay}}};
    for (size_t i = 0; i < cells.size(); ++i) {
        const int row = static_cast<int>(i % 4);
        const int column = static_cast<int>(i / 4) * 2;
        grid->addWidget(cells[i].first, row, column);
        grid->addWidget(cells[i].second, row, column + 1);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    auto* page = new QVBoxLayout(tabCommunication);
    page->addWidget(group);
    page->addStretch();
}

void TCfgFrm::buildDataSpecificationsPage() {
    tabDataSpecs = new QWidget;
    tabDataSpecs->setObjectName("tabDataSpecs");
    pgcConfig->addTab(tabDataSpecs, uiText(TextId::DataSpecificationsPage));

    cboxEOB = list(tabDataSpecs, "cboxEOB", {"CRLF", "CR", "LF"});
    cboxCharCode = list(tabDataSpecs, "cboxCharCode", {"ASCII", "EIA"});
    lblEOB = label(uiText(TextId::EndOfBlock), tabDataSpecs, "lblEOB", cboxEOB);
    lblCharCode = label(uiText(TextId::CharCode), tabDataSpecs, "lblCharCode", cboxCharCode);

    auto* leader = new QGroupBox(uiText(TextId::Leader), tabDataSpecs);
    leader->setObjectName("grpLeader");
    cboxPunchLeader = check(uiText(TextId::PunchLeader), leader, "cboxPunchLeader");
    cboxPunchTrailer = check(uiText(TextId::PunchTrailer), leader, "cboxPunchTrailer");
    txtLength = digitsEdit(leader, "txtLength", kLeaderLength);
    txtLength->setMaximumWidth(28);
    auto* leaderGrid = new QGridLayout(leader);
    leaderGrid->setContentsMargins(6, 2, 6, 2);
    leaderGrid->setVerticalSpacing(0);
    leaderGrid->addWidget(cboxPunchLeader, 0, 0, 1, 2);
    leaderGrid->addWidget(cboxPunchTrailer, 1, 0, 1, 2);
    leaderGrid->addWidget(label(uiText(TextId::LeaderLength), leader, "lblLength", txtLength), 2,
                          0);
    leaderGrid->addWidget(txtLength, 2, 1);

    auto* triggers = new QGroupBox(uiText(TextId::TriggerStrings), tabDataSpecs);
    triggers->setObjectName("grpTriggers");
    imgDirection = new QLabel(triggers);
    imgDirection->setObjectName("imgDirection");
    const QString download = uiText(TextId::DownloadColumn);
    const QString upload = uiText(TextId::UploadColumn);
    const std::array<QString, 4> rows = {uiText(TextId::TriggerStart), uiText(TextId::TriggerReady),
                                         uiText(TextId::TriggerStop), uiText(TextId::TriggerEnd)};
    static constexpr std::array<const char*, kTriggerCount> names = {
        "txtDStart", "txtDReady", "txtDStop", "txtDEnd",
        "txtUStart", "txtUReady", "txtUStop", "txtUEnd"};
    auto* grid = new QGridLayout(triggers);
    grid->setContentsMargins(6, 2, 6, 2);
    grid->setVerticalSpacing(1);
    grid->addWidget(imgDirection, 0, 0);
    grid->addWidget(label(download, triggers, "lblTrigDownload"), 0, 1);
    grid->addWidget(label(upload, triggers, "lblTrigUpload"), 0, 2);
    static constexpr std::array<const char*, 4> rowNames = {"lblStart", "lblReady", "lblStop",
                                                            "lblEnd"};
    for (int r = 0; r < 4; ++r) {
        grid->addWidget(
            label(rows[static_cast<size_t>(r)], triggers, rowNames[static_cast<size_t>(r)]), r + 1,
            0);
    }
    for (int i = 0; i < kTriggerCount; ++i) {
        QLineEdit* box = edit(triggers, names[static_cast<size_t>(i)], kTriggerLength);
        box->setFrame(false);
        box->setAccessibleName((i < 4 ? download : upload) + ' ' +
                               withoutColon(rows[static_cast<size_t>(i % 4)]));
        box->installEventFilter(this);
        txtTriggers[static_cast<size_t>(i)] = box;
        grid->addWidget(box, i % 4 + 1, i / 4 + 1);
    }
    showDirection(Direction::Neutral);

    lblHint = new QLabel(tabDataSpecs);
    lblHint->setObjectName("lblHint");
    lblHint->setWordWrap(true);
    lblHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblHint->setMinimumWidth(110);

    auto* left = new QGridLayout;
    left->addWidget(lblEOB, 0, 0);
    left->addWidget(cboxEOB, 0, 1);
    left->addWidget(lblCharCode, 1, 0);
    left->addWidget(cboxCharCode, 1, 1);
    left->addWidget(leader, 2, 0, 1, 2);
    left->setRowStretch(3, 1);
    auto* page = new QHBoxLayout(tabDataSpecs);
    page->setContentsMargins(6, 6, 6, 6);
    page->addLayout(left);
    page->addWidget(triggers, 2);
    page->addWidget(lblHint, 1);
}

void TCfgFrm::buildFiltersPage() {
    tabFilters = new QWidget;
    tabFilters->setObjectName("tabFilters");
    pgcConfig->addTab(tabFilters, uiText(TextId::FiltersPage));

    const QString nulls = uiText(TextId::Nulls);
    const QString spaces = uiText(TextId::Spaces);
    const QString comments = uiText(TextId::Comments);
    const QString characters = uiText(TextId::FilterCharacters);
    auto makeGroup = [&](const QString& title, const char* groupName,
                         std::array<const char*, 5> names, QCheckBox*& n, QCheckBox*& s,
                         QCheckBox*& c, QLineEdit*& chars) {
        auto* group = new QGroupBox(title, tabFilters);
        group->setObjectName(groupName);
        n = check(nulls, group, names[0]);
        s = check(spaces, group, names[1]);
        c = check(comments, group, names[2]);
        chars = edit(group, names[3], kFilterLength);
        auto* grid = new QGridLayout(group);
        grid->addWidget(n, 0, 0, 1, 2);
        grid->addWidget(s, 1, 0, 1, 2);
        grid->addWidget(c, 2, 0, 1, 2);
        grid->addWidget(label(characters, group, names[4], chars), 3, 0);
        grid->addWidget(chars, 3, 1);
        chars->setAccessibleName(title + ' ' + withoutColon(characters));
        return group;
    };
    QGroupBox* download =
        makeGroup(uiText(TextId::DownloadFilter), "grpDFilter",
                  {"cboxDNulls", "cboxDSpaces", "cboxDComments", "txtDChars", "lblDChars"},
                  cboxDNulls, cboxDSpaces, cboxDComments, txtDChars);
    QGroupBox* upload =
        makeGroup(uiText(TextId::UploadFilter), "grpUFilter",
                  {"cboxUNulls", "cboxUSpaces", "cboxUComments", "txtUChars", "lblUChars"},
                  cboxUNulls, cboxUSpaces, cboxUComments, txtUChars);
    auto* page = new QHBoxLayout(tabFilters);
    page->addWidget(download);
    page->addWidget(upload);
}

// The control dialect in the order of the list: not set, mill, lathe.
constexpr std::array<ControlDialect, 3> kControls = {ControlDialect::Unknown, ControlDialect::Mill,
                                                     ControlDialect::Lathe};

void TCfgFrm::buildRestartPage() {
    tabRestart = new QWidget;
    tabRestart->setObjectName("tabRestart");
    pgcConfig->addTab(tabRestart, "Restart");

    auto* group = new QGroupBox("Restart Prefix", tabRestart);
    group->setObjectName("grpRestart");
    cboxControl = list(group, "cboxControl", {"Not set", "Mill", "Lathe"});
    txtRetract = edit(group, "txtRetract", 60);
    auto* grid = new QGridLayout(group);
    grid->addWidget(label("Control:", group, "lblControl", cboxControl), 0, 0);
    grid->addWidget(cboxControl, 0, 1);
    grid->addWidget(label("Safe retract:", group, "lblRetract", txtRetract), 1, 0);
    grid->addWidget(txtRetract, 1, 1);
    auto* hint = new QLabel("A prefix built in the review window reads the program as this "
                            "control does (on a lathe U and W are incremental and G90, G92 and "
                            "G94 are cycles) and starts with the safe retract. Not set: every "
                            "code the two read differently is flagged.",
                            group);
    hint->setObjectName("lblRestartHint");
    hint->setWordWrap(true);
    grid->addWidget(hint, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    connect(cboxControl, &QComboBox::currentIndexChanged, this, &TCfgFrm::cboxControlChange);

    auto* page = new QVBoxLayout(tabRestart);
    page->addWidget(group);
    page->addStretch();
    pgcConfig->setTabVisible(pgcConfig->indexOf(tabRestart), false);
}

void TCfgFrm::setRestartSettings(RestartOptions* settings) {
    restart_ = settings;
    pgcConfig->setTabVisible(pgcConfig->indexOf(tabRestart), settings != nullptr);
}

// A retract left at the default of one control becomes the other's default
// when the control changes; one the operator typed stays.
void TCfgFrm::cboxControlChange(int index) {
    if (index < 0 || index >= static_cast<int>(kControls.size())) {
        return;
    }
    const QString old =
        QString::fromStdString(DefaultSafeRetract(kControls[static_cast<size_t>(shownControl_)]));
    if (txtRetract->text().trimmed() == old) {
        txtRetract->setText(
            QString::fromStdString(DefaultSafeRetract(kControls[static_cast<size_t>(index)])));
    }
    shownControl_ = index;
}

void TCfgFrm::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        FormShow();
    }
    QDialog::showEvent(event);
}

void TCfgFrm::FormShow() {
    const MachineConfig& m = machines_[machines_.selected];
    pgcConfig->setCurrentIndex(0);

    cboxDownload->setChecked(m.capability == 'D' || m.capability == 'B');
    cboxUpload->setChecked(m.capability == 'U' || m.capability == 'B');
    setWhole(txtDExt, shownText(m.downloadExtension), kExtensionLength);
    setWhole(txtUExt, shownText(m.uploadExtension), kExtensionLength);
    setWhole(txtDDir, shownText(m.downloadDirectory), kDirectoryLength);
    setWhole(txtUDir, shownText(m.uploadDirectory), kDirectoryLength);

    selectItem(cboxPort, m.port - 1);
    cboxSpeed->setCurrentIndex(cboxSpeed->findText(QString::number(m.baudRate)));
    selectItem(cboxDataBits, m.dataBits - 5);
    selectItem(cboxStopBits, m.stopBits - 1);
    selectItem(cboxParity, m.parity);
    selectItem(cboxHandshake, m.handshake);
    selectItem(cboxProtocol, m.protocol);
    selectItem(cboxEOB, m.eobMode);
    selectItem(cboxCharCode, m.charCode);

    setWhole(txtDelay, QString::number(m.blockDelay), kDelayLength);
    setWhole(txtLength, QString::number(m.leaderLength), kLeaderLength);

    for (int i = 0; i < kTriggerCount; ++i) {
        setWhole(txtTriggers[static_cast<size_t>(i)],
                 caretText(EncodeControlText(m.triggers[static_cast<size_t>(i)])), kTriggerLength);
    }
    setWhole(txtDChars, caretText(EncodeControlText(m.downloadFilterChars)), kFilterLength);
    setWhole(txtUChars, caretText(EncodeControlText(m.uploadFilterChars)), kFilterLength);

    cboxPunchLeader->setChecked(m.punchLeader != 0);
    cboxPunchTrailer->setChecked(m.punchTrailer != 0);
    cboxDNulls->setChecked(m.downloadStripNulls != 0);
    cboxDSpaces->setChecked(m.downloadStripSpaces != 0);
    cboxDComments->setChecked(m.downloadStripComments != 0);
    cboxUNulls->setChecked(m.uploadStripNulls != 0);
    cboxUSpaces->setChecked(m.uploadStripSpaces != 0);
    cboxUComments->setChecked(m.uploadStripComments != 0);

    if (restart_ != nullptr) {
        const auto control = std::find(kControls.begin(), kControls.end(), restart_->dialect);
        shownControl_ = static_cast<int>(control - kControls.begin());
        txtRetract->setText(QString::fromStdString(restart_->safeRetract));
        QSignalBlocker quiet(cboxControl);
        cboxControl->setCurrentIndex(shownControl_);
    }

    applyProtocolRule();
}

// Data bits, stop bits and parity apply to ASCII only: the Xmodem protocols
// always run with 8 data bits, 1 stop bit and no parity.
void TCfgFrm::applyProtocolRule() {
    const bool ascii = cboxProtocol->currentIndex() == 0;
    for (QWidget* w : std::initializer_list<QWidget*>{cboxDataBits, lblDataBits, cboxStopBits,
                                                      lblStopBits, cboxParity, lblParity}) {
        w->setEnabled(ascii);
    }
}

// Shows why OK is refused and leads the operator to the control to correct.
void TCfgFrm::refuse(QWidget* page, QWidget* control, const QString& text) {
    pgcConfig->setCurrentWidget(page);
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
    box.exec();
    control->setFocus();
}

void TCfgFrm::cmdOKClick() {
    // A list left without a choice (a value the file held that is not in the
    // list) cannot be stored: the operator must choose before the slot changes.
    const std::array<std::pair<QComboBox*, QLabel*>, 9> lists = {{{cboxPort, lblPort},
                                                                  {cboxSpeed, lblSpeed},
                                                                  {cboxDataBits, lblDataBits},
                                                                  {cboxStopBits, lblStopBits},
                                                                  {cboxParity, lblParity},
                                                                  {cboxHandshake, lblHandshake},
                                                                  {cboxProtocol, lblProtocol},
                                                                  {cboxEOB, lblEOB},
                                                                  {cboxCharCode, lblCharCode}}};
    for (const auto& [box, caption] : lists) {
        if (box->isEnabled() && box->currentIndex() < 0) {
            refuse(box->parentWidget() == tabDataSpecs ? tabDataSpecs : tabCommunication, box,
                   QString("Please choose a %1 from the list.").arg(withoutColon(caption->text())));
            return;
        }
    }

    MachineConfig line; // the choices that depend on each other
    line.protocol = static_cast<int16_t>(cboxProtocol->currentIndex());
    line.handshake = static_cast<int16_t>(cboxHandshake->currentIndex());
    if (!line.usesAsciiProtocol() && line.usesXonXoff()) {
        refuse(tabCommunication, cboxHandshake,
               "Software handshake is not allowed when using XModem protocol");
        return;
    }

    // Trigger and filter strings are bytes, one per character of the box: a
    // character the code page lacks would go to the machine as "?".
    std::vector<std::pair<QLineEdit*, QWidget*>> byteBoxes;
    for (QLineEdit* box : txtTriggers) {
        byteBoxes.emplace_back(box, tabDataSpecs);
    }
    byteBoxes.emplace_back(txtDChars, tabFilters);
    byteBoxes.emplace_back(txtUChars, tabFilters);
    for (const auto& [box, page] : byteBoxes) {
        qsizetype position = 0;
        const QString character = firstCharacterOutsideCodePage(box->text(), position);
        if (!character.isEmpty()) {
            refuse(page, box,
                   QString("\"%1\" in %2 cannot be stored: trigger strings and filter "
                           "characters take only the characters of the Western European code "
                           "page (ISO 8859-1).")
                       .arg(character, box->accessibleName()));
            box->setSelection(static_cast<int>(position), static_cast<int>(character.size()));
            return;
        }
    }

    MachineConfig& slot = machines_[machines_.selected];
    MachineConfig m = slot;
    if (m.capability != '?') {
        const bool down = cboxDownload->isChecked();
        const bool up = cboxUpload->isChecked();
        m.capability = down && up ? 'B' : down ? 'D' : up ? 'U' : 'X';
    }

    for (QLineEdit* box : {txtDExt, txtUExt}) {
        if (!box->text().isEmpty() && !box->text().startsWith('.')) {
            setWhole(box, '.' + box->text(), kExtensionLength);
        }
    }
    m.downloadExtension = storedText(txtDExt->text(), slot.downloadExtension);
    m.uploadExtension = storedText(txtUExt->text(), slot.uploadExtension);
    m.downloadDirectory = storedText(txtDDir->text(), slot.downloadDirectory);
    m.uploadDirectory = storedText(txtUDir->text(), slot.uploadDirectory);

    m.port = static_cast<int16_t>(cboxPort->currentIndex() + 1);
    m.baudRate = cboxSpeed->currentText().toInt();
    m.handshake = line.handshake;
    m.protocol = line.protocol;
    if (m.usesAsciiProtocol()) {
        m.dataBits = static_cast<int16_t>(cboxDataBits->currentIndex() + 5);
        m.stopBits = static_cast<int16_t>(cboxStopBits->currentIndex() + 1);
        m.parity = static_cast<int16_t>(cboxParity->currentIndex());
    } else {
        m.dataBits = 8;
        m.stopBits = 1;
        m.parity = 0;
    }
    m.blockDelay = number(txtDelay);
    m.eobMode = static_cast<int16_t>(cboxEOB->currentIndex());
    m.charCode = static_cast<int16_t>(cboxCharCode->currentIndex());

    for (int i = 0; i < kTriggerCount; ++i) {
        m.triggers[static_cast<size_t>(i)] =
            DecodeControlText(caretBytes(txtTriggers[static_cast<size_t>(i)]->text()));
    }
    m.downloadFilterChars = DecodeControlText(caretBytes(txtDChars->text()));
    m.uploadFilterChars = DecodeControlText(caretBytes(txtUChars->text()));

    m.punchLeader = flag(cboxPunchLeader);
    m.punchTrailer = flag(cboxPunchTrailer);
    m.leaderLength = static_cast<int16_t>(number(txtLength));
    m.downloadStripNulls = flag(cboxDNulls);
    m.downloadStripSpaces = flag(cboxDSpaces);
    m.downloadStripComments = flag(cboxDComments);
    m.uploadStripNulls = flag(cboxUNulls);
    m.uploadStripSpaces = flag(cboxUSpaces);
    m.uploadStripComments = flag(cboxUComments);

    slot = std::move(m);
    if (restart_ != nullptr) {
        restart_->dialect =
            kControls[static_cast<size_t>(std::max(0, cboxControl->currentIndex()))];
        restart_->safeRetract = txtRetract->text().trimmed().toStdString();
    }
    accept();
}

void TCfgFrm::browseClick(QPushButton* button, QLineEdit* directoryBox) {
    TDirBrowse browser(this);
    browser.setCaptions(button->text(), cmdOK->text(), cmdCancel->text());
    if (browser.exec() != QDialog::Accepted) {
        return;
    }
    // The box holds what a line of the file holds: a longer path is refused
    // whole rather than cut, perhaps inside a character.
    const QString chosen = browser.directory();
    const qsizetype bytes = chosen.toUtf8().size();
    if (bytes > kDirectoryLength) {
        refuse(tabFileSpecs, directoryBox,
               QString("The directory %1 is too long for the configuration file: it takes %2 "
                       "bytes, and at most %3 fit.")
                   .arg(chosen)
                   .arg(bytes)
                   .arg(kDirectoryLength));
        return;
    }
    setWhole(directoryBox, chosen, kDirectoryLength);
}

bool TCfgFrm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
        const auto it = std::find(txtTriggers.begin(), txtTriggers.end(), watched);
        if (it != txtTriggers.end()) {
            if (event->type() == QEvent::FocusIn) {
                triggerEnter(static_cast<int>(it - txtTriggers.begin()));
            } else {
                triggerExit();
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TCfgFrm::triggerEnter(int index) {
    lblHint->setText(hints_[static_cast<size_t>(index)]);
    // Even boxes hold what the computer sends, odd ones what the controller sends.
    showDirection(index % 2 == 0 ? Direction::ToController : Direction::FromController);
}

void TCfgFrm::triggerExit() {
    lblHint->clear();
    showDirection(Direction::Neutral);
}

void TCfgFrm::showDirection(Direction direction) {
    direction_ = direction;
    imgDirection->setPixmap(directionPicture(direction));
    switch (direction) {
    case Direction::ToController:
        imgDirection->setAccessibleName("Sent to the machine controller");
        break;
    case Direction::FromController:
        imgDirection->setAccessibleName("Sent by the machine controller");
        break;
    case Direction::Neutral:
        imgDirection->setAccessibleName(QString());
        break;
    }
}

} // namespace vorl
