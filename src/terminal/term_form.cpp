#include "terminal/term_form.h"

#include "serial/com_port.h"
#include "text/language_table.h"
#include "transfer/temp_file.h"
#include "viewers/log_form.h"
#include "viewers/viewer_text.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vorl {
namespace {

constexpr int kTextHeight = 223;
constexpr int kSpacing = 4;
// The help topic of the terminal window (F1).
constexpr int kHelpContext = 270;

constexpr std::array<int, 12> kSpeeds = {110,  300,   600,   1200,  2400,  4800,
                                         9600, 14400, 19200, 38400, 57600, 115200};

// Show step 4: the settings offered when the table has no terminal entry.
constexpr int kDefaultPortIndex = 1;  // COM 2
constexpr int kDefaultSpeedIndex = 1; // 300 bit/s
constexpr int kDefaultDataBitsIndex = 3;

// A paragraph of the text area is laid out whole whenever text is added to
// it, so one that grew without end would make every character cost more than
// the one before. Lines end after a line feed that passes, after a carriage
// return that no line feed follows (controls that end blocks with CR alone),
// and at this length.
constexpr size_t kMaxShownLine = 2048;

// The character a piece of shown text stands for, as far as lines go.
enum class LineEnd { None, CarriageReturn, LineFeed };

// The text of a run of characters: what the log gets, and the same with the
// text area's line breaks.
struct ShownText {
    std::string logged;
    std::string display;
    size_t lineLength = 0; // characters on the text area's last line
    // The last piece was a carriage return: its line ends unless a line feed
    // comes next, which may arrive with the next characters.
    bool crPending = false;

    void add(const std::string& piece, LineEnd end) {
        logged += piece;
        if ((crPending && end != LineEnd::LineFeed) || lineLength >= kMaxShownLine) {
            breakLine();
        }
        crPending = end == LineEnd::CarriageReturn;
        display += piece;
        lineLength += piece.size();
        if (end == LineEnd::LineFeed) {
            breakLine();
        }
    }

private:
    void breakLine() {
        display += '\n';
        lineLength = 0;
    }
};

LineEnd lineEnd(unsigned char c) {
    return c == '\n' ? LineEnd::LineFeed : c == '\r' ? LineEnd::CarriageReturn : LineEnd::None;
}

template <typename W> W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QPushButton* button(const char* caption, QWidget* parent, const char* name) {
    auto* b = named(new QPushButton(QString::fromLatin1(caption), parent), name);
    // Return belongs to the text area: it is a character for the controller.
    b->setAutoDefault(false);
    return b;
}

std::string number(long value) {
    return std::to_string(value);
}

// The current date and time as the log banners show them: the system's short
// date and long time.
std::string bannerTime() {
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    return (locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
            locale.toString(now.time(), QLocale::LongFormat))
        .toStdString();
}

// The list items of parity and handshaking, in the order of their settings.
constexpr std::array kParityTexts = {TextId::ParityNone, TextId::ParityOdd, TextId::ParityEven};
constexpr std::array kHandshakeTexts = {TextId::HandshakeNone, TextId::HandshakeXonXoff,
                                        TextId::HandshakeHardware,
                                        TextId::HandshakeXonXoffHardware};

template <size_t N> std::string listText(const std::array<TextId, N>& texts, int index) {
    if (index < 0 || index >= int(N)) {
        return number(index);
    }
    return Text(texts[static_cast<size_t>(index)]);
}

} // namespace

void showTerminal(QWidget* parent, TerminalHost host) {
    TTermForm form(std::move(host), parent);
    form.exec();
}

TTermForm::TTermForm(TerminalHost host, QWidget* parent) : QDialog(parent), host_(std::move(host)) {
    setObjectName(QStringLiteral("TTermForm"));
    setWindowFlag(Qt::Tool);
    setWindowTitle(QStringLiteral("Terminal Mode"));
    setProperty("helpContext", kHelpContext);

    txtTerm = named(new QPlainTextEdit(this), "txtTerm");
    txtTerm->setReadOnly(true);
    txtTerm->setUndoRedoEnabled(false);
    txtTerm->setTabChangesFocus(true);
    txtTerm->setFocusPolicy(Qt::StrongFocus);
    txtTerm->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtTerm->setFixedHeight(kTextHeight);
    txtTerm->setAccessibleName(QStringLiteral("Terminal text"));
    QPalette palette = txtTerm->palette();
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Base, Qt::white);
    txtTerm->setPalette(palette);
    txtTerm->installEventFilter(this);

    cmdOpen = button("Open Port", this, "cmdOpen");
    cmdClosePort = button("Close Port", this, "cmdClosePort");
    cmdClosePort->setEnabled(false);
    cboxCRLF = named(new QCheckBox(QStringLiteral("CRLF out"), this), "cboxCRLF");
    cboxCRLF->setChecked(true);
    grpDisplay =
        named(new QGroupBox(QStringLiteral("Control Character Display"), this), "grpDisplay");
    optStd = named(new QRadioButton(QStringLiteral("Standard (e.g. ^M)"), grpDisplay), "optStd");
    optStd->setChecked(true);
    optExpand =
        named(new QRadioButton(QStringLiteral("Expand (e.g. <CR>"), grpDisplay), "optExpand");
    optNone = named(new QRadioButton(QStringLiteral("None"), grpDisplay), "optNone");
    cboxEcho = named(new QCheckBox(QStringLiteral("Echo"), this), "cboxEcho");
    cboxEcho->setChecked(true);
    cboxLog = named(new QCheckBox(QStringLiteral("Log Output"), this), "cboxLog");
    cmdClear = button("Clear Text", this, "cmdClear");
    cmdClose = button("Close", this, "cmdClose");

    auto group = [this](const char* caption, const char* name, const char* listName,
                        const QStringList& items, QComboBox*& list) {
        auto* g = named(new QGroupBox(QString::fromLatin1(caption), this), name);
        list = named(new QComboBox(g), listName);
        list->addItems(items);
        list->setAccessibleName(g->title());
        auto* l = new QVBoxLayout(g);
        l->setContentsMargins(kSpacing, kSpacing, kSpacing, kSpacing);
        l->addWidget(list);
        return g;
    };
    QStringList ports;
    for (int i = 1; i <= 9; ++i) {
        ports << QStringLiteral("COM %1").arg(i);
    }
    QStringList speeds;
    for (int s : kSpeeds) {
        speeds << QString::number(s);
    }
    grpPort = group("Comm Port", "grpPort", "cboxPort", ports, cboxPort);
    for (int i = 0; i < cboxPort->count(); ++i) {
        // The device behind the number, so the operator sees which line it is.
        cboxPort->setItemData(i, QString::fromStdString(ComPortDevicePath(i + 1)), Qt::ToolTipRole);
    }
    grpDataBits =
        group("Data Bits", "grpDataBits", "cboxDataBits", {"5", "6", "7", "8"}, cboxDataBits);
    grpParity = group("Parity", "grpParity", "cboxParity", {"None", "Odd", "Even"}, cboxParity);
    grpSpeed = group("Line Speed", "grpSpeed", "cboxSpeed", speeds, cboxSpeed);
    grpStopBits = group("Stop Bits", "grpStopBits", "cboxStopBits", {"1", "2"}, cboxStopBits);
    grpHandshake = group("Handshaking", "grpHandshake", "cboxHandshake",
                         {"None", "Xon/Xoff", "Hardware", "Xon/Xoff/HW"}, cboxHandshake);

    auto* displayRow = new QHBoxLayout(grpDisplay);
    displayRow->setContentsMargins(kSpacing, kSpacing, kSpacing, kSpacing);
    displayRow->addWidget(optStd);
    displayRow->addWidget(optExpand);
    displayRow->addWidget(optNone);

    auto* portButtons = new QVBoxLayout;
    portButtons->addWidget(cmdOpen);
    portButtons->addWidget(cmdClosePort);
    auto* checks = new QVBoxLayout;
    checks->addWidget(cboxEcho);
    checks->addWidget(cboxLog);
    auto* lastButtons = new QVBoxLayout;
    lastButtons->addWidget(cmdClear);
    lastButtons->addWidget(cmdClose);
    auto* controlRow = new QHBoxLayout;
    controlRow->addLayout(portButtons);
    controlRow->addWidget(cboxCRLF);
    controlRow->addWidget(grpDisplay, 1);
    controlRow->addLayout(checks);
    controlRow->addLayout(lastButtons);

    auto* groupRow = new QHBoxLayout;
    for (QGroupBox* g : {grpPort, grpDataBits, grpParity, grpSpeed, grpStopBits, grpHandshake}) {
        groupRow->addWidget(g);
    }

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kSpacing, kSpacing, kSpacing, kSpacing);
    layout->setSpacing(kSpacing);
    layout->addWidget(txtTerm);
    layout->addLayout(controlRow);
    layout->addLayout(groupRow);

    // Nothing typed reaches the controller before the port is open: the
    // keyboard starts at "Open Port", which then hands it to the text area.
    cmdOpen->setFocus();

    connect(cmdOpen, &QPushButton::clicked, this, &TTermForm::cmdOpenClick);
    connect(cmdClosePort, &QPushButton::clicked, this, &TTermForm::cmdClosePortClick);
    connect(cmdClear, &QPushButton::clicked, this, &TTermForm::cmdClearClick);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::reject);
    for (QAbstractButton* option : std::initializer_list<QAbstractButton*>{
             optStd, optExpand, optNone, cboxCRLF, cboxEcho, cboxLog}) {
        connect(option, &QAbstractButton::clicked, this, &TTermForm::OptionClick);
    }
    // Typed characters shown again after Echo was off, or hidden after it was
    // on, must not read as part of the line before.
    connect(cboxEcho, &QCheckBox::toggled, this, [this] { runShownAnew_ = true; });

    resize(kDesignWidth, kDesignHeight);
}

TTermForm::~TTermForm() {
    // Closed without the close query (the owner went away): the port must not
    // keep a handler into this window, and the log must not stay behind.
    if (portOurs_) {
        try {
            if (host_.SetMonitoring) {
                host_.SetMonitoring(false);
            }
            releasePort();
        } catch (...) {
            // Nothing to report to: the window is going.
        }
    }
    logStream_.close();
    deleteTempFile(logPath_);
}

void TTermForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!shown_) {
        shown_ = true;
        FormShow();
    }
}

void TTermForm::done(int result) {
    if (!closing_) {
        closing_ = true;
        FormCloseQuery();
    }
    QDialog::done(result);
}

// ---- Show -------------------------------------------------------------------

void TTermForm::FormShow() {
    inputPrefix_ = "In-->";
    outputPrefix_ = "Out->";
    if (host_.languageLoaded) {
        applyLanguage();
    }
    direction_ = Direction::None;
    logPath_.clear();

    MachineList& list = host_.machineList;
    terminalSlot_ = -1;
    for (int i = std::min(list.count, MachineList::kSlots) - 1; i >= 0; --i) {
        if (list[i].capability == 'T') {
            terminalSlot_ = i;
            break;
        }
    }
    if (terminalSlot_ < 0) {
        cboxPort->setCurrentIndex(kDefaultPortIndex);
        cboxDataBits->setCurrentIndex(kDefaultDataBitsIndex);
        cboxStopBits->setCurrentIndex(0);
        cboxParity->setCurrentIndex(0);
        cboxHandshake->setCurrentIndex(0);
        cboxSpeed->setCurrentIndex(kDefaultSpeedIndex);
        return;
    }
    list.selected = terminalSlot_;
    selectFromSlot(list[terminalSlot_]);
}

void TTermForm::applyLanguage() {
    const bool on = host_.languageLoaded;
    setWindowTitle(viewerCaption(on, TextId::TerminalMode, windowTitle()));
    for (auto [widget, id] : std::initializer_list<std::pair<QAbstractButton*, TextId>>{
             {cmdOpen, TextId::OpenPort},
             {cmdClosePort, TextId::ClosePort},
             {cmdClear, TextId::ClearText},
             {cmdClose, TextId::Close},
             {optStd, TextId::StandardDisplay},
             {optExpand, TextId::ExpandDisplay},
             {optNone, TextId::HandshakeNone},
             {cboxCRLF, TextId::CrlfOut},
             {cboxEcho, TextId::Echo},
             {cboxLog, TextId::LogOutput}}) {
        widget->setText(viewerCaption(on, id, widget->text()));
    }
    for (auto [g, id] : std::initializer_list<std::pair<QGroupBox*, TextId>>{
             {grpDisplay, TextId::ControlCharacterDisplay},
             {grpPort, TextId::CommPort},
             {grpDataBits, TextId::DataBits},
             {grpParity, TextId::Parity},
             {grpSpeed, TextId::LineSpeed},
             {grpStopBits, TextId::StopBits},
             {grpHandshake, TextId::Handshaking}}) {
        g->setTitle(viewerCaption(on, id, g->title()));
    }
    for (auto [list, g] :
         std::initializer_list<std::pair<QComboBox*, QGroupBox*>>{{cboxPort, grpPort},
                                                                  {cboxDataBits, grpDataBits},
                                                                  {cboxParity, grpParity},
                                                                  {cboxSpeed, grpSpeed},
                                                                  {cboxStopBits, grpStopBits},
                                                                  {cboxHandshake, grpHandshake}}) {
        list->setAccessibleName(g->title());
    }
    for (int i = 0; i < cboxParity->count() && i < int(kParityTexts.size()); ++i) {
        cboxParity->setItemText(
            i, viewerCaption(on, kParityTexts[size_t(i)], cboxParity->itemText(i)));
    }
    for (int i = 0; i < cboxHandshake->count() && i < int(kHandshakeTexts.size()); ++i) {
        cboxHandshake->setItemText(
            i, viewerCaption(on, kHandshakeTexts[size_t(i)], cboxHandshake->itemText(i)));
    }
    if (Language().HasText(TextId::InputPrefix)) {
        inputPrefix_ = Language().GetText(TextId::InputPrefix);
    }
    if (Language().HasText(TextId::OutputPrefix)) {
        outputPrefix_ = Language().GetText(TextId::OutputPrefix);
    }
}

void TTermForm::selectFromSlot(const MachineConfig& slot) {
    // An index outside a list leaves it without a choice; Open Port then keeps
    // the slot's own value for it.
    cboxPort->setCurrentIndex(slot.port - 1);
    cboxSpeed->setCurrentIndex(cboxSpeed->findText(QString::number(slot.baudRate)));
    cboxDataBits->setCurrentIndex(slot.dataBits - 5);
    cboxStopBits->setCurrentIndex(slot.stopBits - 1);
    cboxParity->setCurrentIndex(slot.parity);
    cboxHandshake->setCurrentIndex(slot.handshake);
}

void TTermForm::storeIntoSlot(MachineConfig& slot) const {
    slot.capability = 'T';
    if (cboxPort->currentIndex() >= 0) {
        slot.port = int16_t(cboxPort->currentIndex() + 1);
    }
    if (cboxSpeed->currentIndex() >= 0) {
        slot.baudRate = kSpeeds[size_t(cboxSpeed->currentIndex())];
    }
    if (cboxDataBits->currentIndex() >= 0) {
        slot.dataBits = int16_t(cboxDataBits->currentIndex() + 5);
    }
    if (cboxStopBits->currentIndex() >= 0) {
        slot.stopBits = int16_t(cboxStopBits->currentIndex() + 1);
    }
    if (cboxParity->currentIndex() >= 0) {
        slot.parity = int16_t(cboxParity->currentIndex());
    }
    if (cboxHandshake->currentIndex() >= 0) {
        slot.handshake = int16_t(cboxHandshake->currentIndex());
    }
}

// ---- Open Port and Close Port -----------------------------------------------

void TTermForm::cmdOpenClick() {
    MachineList& list = host_.machineList;
    if (terminalSlot_ < 0) {
        // No terminal entry yet: the settings get one of their own, after the
        // machines, so no machine's slot number changes.
        if (list.count < 0 || list.count >= MachineList::kSlots) {
            status("The machine list is full: the terminal settings cannot be kept");
            return;
        }
        terminalSlot_ = list.count;
        list[terminalSlot_] = MachineConfig{};
        ++list.count;
    }
    storeIntoSlot(list[terminalSlot_]);
    list.selected = terminalSlot_;
    if (!host_.SetUpPort || !host_.SetUpPort()) {
        return; // the status line tells why; the window stays as it was
    }

    setPortControls(true);
    if (host_.WriteConfiguration) {
        const int written = host_.WriteConfiguration();
        if (written >= 0) {
            list.count = written;
        } else {
            // The table in memory stays whole; only the file is behind.
            status("The terminal settings could not be saved in the configuration file");
        }
    }
    if (direction_ != Direction::None) {
        direction_ = Direction::Reopened;
    }

    txtTerm->setFocus();
    TComPort& port = host_.ComPort1;
    previousAvail_ = port.OnTriggerAvail;
    port.OnTriggerAvail = [this](TComPort&, uint16_t count) { ComPort1TriggerAvail(count); };
    portOurs_ = true;
    if (host_.SetMonitoring) {
        host_.SetMonitoring(true);
    }
    readDisplayMode();

    logging_ = false;
    if (cboxLog->isChecked() && (!logPath_.empty() || openLog())) {
        logging_ = true;
        writeOpenBanner(list[terminalSlot_]);
    }

    // What came between the open and the handler's installation has had its
    // notice already: show it now rather than with the next character.
    if (const uint32_t waiting = port.GetInBuffUsed(); waiting > 0) {
        ComPort1TriggerAvail(uint16_t(std::min<uint32_t>(waiting, 0xFFFF)));
    }
}

void TTermForm::cmdClosePortClick() {
    if (host_.SetMonitoring) {
        host_.SetMonitoring(false);
    }
    if (logging_) {
        log("\r\n-----" + bannerTime() + Text(TextId::PortClosed) + "-----");
        logStream_.flush();
        logging_ = false;
    }
    releasePort();
    status(std::string());
    setPortControls(false);
}

void TTermForm::releasePort() {
    TComPort& port = host_.ComPort1;
    port.OnTriggerAvail = std::move(previousAvail_);
    previousAvail_ = nullptr;
    portOurs_ = false;
    port.SetOpen(false);
}

void TTermForm::setPortControls(bool open) {
    cmdClosePort->setEnabled(open);
    cmdOpen->setEnabled(!open);
    for (QWidget* w : std::initializer_list<QWidget*>{cboxPort, cboxDataBits, cboxParity, cboxSpeed,
                                                      cboxStopBits, cboxHandshake, cboxLog}) {
        w->setEnabled(!open);
    }
}

// ---- Log --------------------------------------------------------------------

bool TTermForm::openLog() {
    TempFile file = createTempFile("log");
    if (file.fd < 0) {
        status("The log file could not be created: " + std::string(std::strerror(file.error)));
        return false;
    }
    if (!logStream_.open(file.fd, QIODevice::WriteOnly | QIODevice::Truncate,
                         QFileDevice::AutoCloseHandle)) {
        ::close(file.fd);
        deleteTempFile(file.path);
        status("The log file could not be opened: " + file.path);
        return false;
    }
    logPath_ = file.path;
    return true;
}

void TTermForm::writeOpenBanner(const MachineConfig& slot) {
    std::string banner = "\r\n-----" + bannerTime() + Text(TextId::PortOpened) + "-----\r\n";
    banner += Text(TextId::TerminalPort) + ": " + number(slot.port) + " " +
              Text(TextId::TerminalSpeed) + ": " + number(slot.baudRate) + " " +
              Text(TextId::TerminalDataBits) + ": " + number(slot.dataBits) + " " +
              Text(TextId::StopBits) + ": " + number(slot.stopBits) + "\r\n";
    banner += Text(TextId::TerminalParity) + ": " + listText(kParityTexts, slot.parity) + " " +
              Text(TextId::Handshaking) + ": " + listText(kHandshakeTexts, slot.handshake) + "\r\n";
    log(banner);
}

void TTermForm::log(const std::string& bytes) {
    if (logStream_.isOpen()) {
        logStream_.write(bytes.data(), qint64(bytes.size()));
    }
}

// ---- Traffic ----------------------------------------------------------------

void TTermForm::readDisplayMode() {
    displayMode_ = DisplayMode::None;
    if (optExpand->isChecked()) {
        displayMode_ = DisplayMode::Expand;
    }
    if (optStd->isChecked()) {
        displayMode_ = DisplayMode::Standard;
    }
}

void TTermForm::append(const std::string& text) {
    if (text.empty()) {
        return;
    }
    // Appended at the end whatever the operator selected: the text area reads
    // as the line did, and a selection being copied is kept.
    QScrollBar* bar = txtTerm->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor cursor(txtTerm->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(viewerString(text), typing_);
    if (atEnd) {
        bar->setValue(bar->maximum());
    }
}

size_t TTermForm::shownLineLength() const {
    return size_t(std::max(txtTerm->document()->lastBlock().length() - 1, 0));
}

void TTermForm::directionChange(Direction d) {
    if (d == direction_ && !runShownAnew_) {
        return;
    }
    // Only the text area starts the run anew: the log goes on with it.
    const bool newRun = d != direction_;
    runShownAnew_ = false;
    crPending_ = false;
    // A new line unless nothing has been shown yet or a line feed has just
    // ended the line.
    const bool shownBefore = shownLineLength() > 0;
    if (d == Direction::Sent) {
        typing_.setFontWeight(QFont::Normal);
        if (cboxEcho->isChecked()) {
            if (shownBefore) {
                append("\n");
            }
            append(outputPrefix_);
        }
        if (logging_ && newRun) {
            log("\r\n" + outputPrefix_);
        }
    } else if (d == Direction::Received) {
        typing_.setFontWeight(QFont::Bold);
        if (shownBefore) {
            append("\n");
        }
        append(inputPrefix_);
        if (logging_ && newRun) {
            log("\r\n" + inputPrefix_);
        }
    }
    direction_ = d;
}

bool TTermForm::txtTermKeyPress(int key, const QString& text) {
    // Escape closes the window; Tab moves the focus; keys without a character
    // (arrows, page keys) move through the text.
    if (key == Qt::Key_Escape || key == Qt::Key_Tab || key == Qt::Key_Backtab || text.isEmpty()) {
        return false;
    }
    if (!portOurs_ || text.size() != 1 || text[0].unicode() > 0xFF) {
        return true; // port closed, or no single byte to send: ignored
    }
    const auto c = static_cast<unsigned char>(text[0].unicode());
    directionChange(Direction::Sent);
    TComPort& port = host_.ComPort1;
    ShownText shown{{}, {}, shownLineLength(), crPending_};
    if (c == '\r' && cboxCRLF->isChecked()) {
        port.PutChar('\r');
        port.PutChar('\n');
        shown.add(VisibleForm('\r', displayMode_) + VisibleForm('\n', displayMode_),
                  LineEnd::LineFeed);
    } else {
        port.PutChar(char(c));
        shown.add(TypedText(c, displayMode_), lineEnd(c));
    }
    if (cboxEcho->isChecked()) {
        append(shown.display);
        crPending_ = shown.crPending;
    }
    if (logging_) {
        log(shown.logged);
    }
    return true;
}

void TTermForm::ComPort1TriggerAvail(uint16_t count) {
    if (!portOurs_) {
        return;
    }
    TComPort& port = host_.ComPort1;
    // Never ask for more than is there: the notice may count characters an
    // earlier call has taken already.
    const uint32_t n = std::min<uint32_t>(count, port.GetInBuffUsed());
    if (n == 0) {
        return;
    }
    std::string bytes(n, '\0');
    const int32_t got = port.GetBlock(bytes.data(), uint16_t(n));
    bytes.resize(size_t(std::max(got, 0)));
    if (bytes.empty()) {
        return;
    }
    directionChange(Direction::Received);
    ShownText shown{{}, {}, shownLineLength(), crPending_};
    shown.logged.reserve(bytes.size() * 2);
    shown.display.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        shown.add(ReceivedText(byte, displayMode_), lineEnd(byte));
    }
    append(shown.display);
    crPending_ = shown.crPending;
    if (logging_) {
        log(shown.logged);
    }
}

bool TTermForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == txtTerm && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        return txtTermKeyPress(key->key(), key->text());
    }
    return QDialog::eventFilter(watched, event);
}

// ---- Options, Clear Text, close ---------------------------------------------

void TTermForm::OptionClick() {
    readDisplayMode();
    txtTerm->setFocus();
}

void TTermForm::cmdClearClick() {
    txtTerm->clear();
    // What comes next starts with its prefix, also in the middle of a run.
    runShownAnew_ = true;
    txtTerm->setFocus();
}

void TTermForm::FormCloseQuery() {
    if (cmdClosePort->isEnabled()) {
        cmdClosePortClick();
    }
    if (!logPath_.empty()) {
        logStream_.close();
        showLogViewer(this, logPath_, host_.languageLoaded);
        deleteTempFile(logPath_);
        logPath_.clear();
    }
}

void TTermForm::status(const std::string& text) {
    if (host_.ShowStatus) {
        host_.ShowStatus(text);
    }
}

} // namespace vorl
