#include "restart/gcode_reader.h"

#include "restart/gcode_table.h"

#include <algorithm>
#include <array>
#include <string>

namespace vorl {
namespace {

constexpr int kMaxDigits = 18;

int64_t pow10(int n) {
    int64_t p = 1;
    while (n-- > 0) {
        p *= 10;
    }
    return p;
}

inline bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
inline bool isLetter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
inline char upper(unsigned char c) {
    return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
}

// Bytes that carry nothing: blanks, tape feed (NUL, DEL), tape reader
// control (DC1-DC4), the tape's start and end mark "%", an end-of-file mark.
constexpr std::array<bool, 256> kIgnored = [] {
    std::array<bool, 256> table{};
    for (const int c : {int{' '}, int{'\t'}, 0, 0x7F, 0x11, 0x12, 0x13, 0x14, 0x1A, int{'%'}}) {
        table[static_cast<size_t>(c)] = true;
    }
    return table;
}();
inline bool ignored(unsigned char c) {
    return kIgnored[c];
}

bool macroKeyword(std::string_view word) {
    static constexpr std::string_view kWords[] = {
        "GOTO", "WHILE", "IF",    "THEN",  "DO",    "END",  "EQ",    "NE",      "GT",  "LT",
        "GE",   "LE",    "AND",   "OR",    "XOR",   "MOD",  "SIN",   "COS",     "TAN", "ATAN",
        "ASIN", "ACOS",  "SQRT",  "ABS",   "ROUND", "FIX",  "FUP",   "LN",      "EXP", "BIN",
        "BCD",  "POPEN", "PCLOS", "DPRNT", "BPRNT", "ELSE", "ENDIF", "ENDWHILE"};
    return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

int axisIndex(char letter) {
    for (int i = 0; i < kAxisCount; ++i) {
        if (kAxisLetters[i] == letter) {
            return i;
        }
    }
    return -1;
}

// The code of a G or M word times ten (G54.1 is 541), or -1 when the word is
// no such code.
int code10(const Decimal& value, bool number) {
    if (!number || value.units < 0 || value.decimals > 1 || value.units > 99999) {
        return -1;
    }
    return static_cast<int>(value.decimals == 1 ? value.units : value.units * 10);
}

std::string codeWord(char letter, int code10) {
    // "G01", "G54.1", "M06", "G107"
    std::string word(1, letter);
    const int whole = code10 / 10;
    if (whole < 10) {
        word += '0';
    }
    word += std::to_string(whole);
    if (code10 % 10 != 0) {
        word += '.';
        word += static_cast<char>('0' + code10 % 10);
    }
    return word;
}

// Lathe T words: "T0303" is tool 3 with offset 3, "T33" tool 3 with offset 3,
// "T3" tool 3; the offset digits are the last half.
int latheTool(std::string_view digits) {
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        digits.remove_prefix(1);
    }
    const size_t keep = digits.size() <= 1 ? digits.size() : digits.size() / 2;
    int tool = 0;
    for (size_t i = 0; i < keep && i < 6; ++i) {
        if (!isDigit(static_cast<unsigned char>(digits[i]))) {
            return -1;
        }
        tool = tool * 10 + (digits[i] - '0');
    }
    return tool;
}

} // namespace

std::string GCodeWord(int code10) {
    return codeWord('G', code10);
}

bool ParseDecimal(std::string_view text, Decimal& out) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    Decimal value;
    int digits = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (isDigit(static_cast<unsigned char>(c))) {
            if (++digits > kMaxDigits) {
                return false;
            }
            value.units = value.units * 10 + (c - '0');
            if (value.point) {
                ++value.decimals;
            }
        } else if (c == '.' && !value.point) {
            value.point = true;
        } else {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (negative) {
        value.units = -value.units;
    }
    out = value;
    return true;
}

bool AddDecimal(const Decimal& a, const Decimal& b, Decimal& sum) {
    if (a.point != b.point) {
        return false;
    }
    const int decimals = std::max(a.decimals, b.decimals);
    if (decimals > kMaxDigits) {
        return false;
    }
    int64_t x = 0;
    int64_t y = 0;
    int64_t s = 0;
    if (__builtin_mul_overflow(a.units, pow10(decimals - a.decimals), &x) ||
        __builtin_mul_overflow(b.units, pow10(decimals - b.decimals), &y) ||
        __builtin_add_overflow(x, y, &s)) {
        return false;
    }
    sum = Decimal{s, decimals, a.point};
    return true;
}

std::string FormatDecimal(const Decimal& value) {
    int64_t units = value.units;
    int decimals = value.decimals;
    // Trailing zeros after the point say nothing.
    while (decimals > 0 && units % 10 == 0) {
        units /= 10;
        --decimals;
    }
    const bool negative = units < 0;
    // Digits of |units| without overflow at the most negative value.
    std::string digits;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(units) : static_cast<uint64_t>(units);
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
        magnitude /= 10;
    } while (magnitude != 0);
    if (static_cast<int>(digits.size()) <= decimals) {
        digits.insert(0, static_cast<size_t>(decimals) + 1 - digits.size(), '0');
    }
    std::string text = negative ? "-" : "";
    if (!value.point) {
        return text + digits;
    }
    const size_t whole = digits.size() - static_cast<size_t>(decimals);
    text += digits.substr(0, whole);
    text += '.';
    text += digits.substr(whole);
    return text;
}

void ModalReader::doubt(DoubtKind kind, std::string_view what) {
    for (Doubt& d : state_.doubts) {
        if (d.kind == kind) {
            if (d.lastBlock != block_) {
                ++d.count;
                d.lastBlock = block_;
            }
            return;
        }
    }
    Doubt d{kind, block_, 1, block_, {}};
    // Only printable words go into the prefix's comments.
    const bool printable = std::all_of(what.begin(), what.end(), [](char c) {
        return isLetter(static_cast<unsigned char>(c)) || isDigit(static_cast<unsigned char>(c)) ||
               c == '.' || c == '-' || c == '+' || c == '?';
    });
    if (printable && what.size() <= 16) {
        d.what = std::string(what);
    }
    state_.doubts.push_back(std::move(d));
}

void ModalReader::set(Setting& setting, std::string_view word) {
    setting.word.assign(word);
    setting.block = block_;
}

void ModalReader::loseAxis(int axis, const char* why) {
    Axis& a = state_.axes[axis];
    a.state = AxisState::Lost;
    a.block = block_;
    a.why = why;
    a.text.clear();
    lostInBlock_[axis] = true;
}

void ModalReader::readBlock(std::string_view block, bool cut) {
    ++block_;
    std::fill(std::begin(lostInBlock_), std::end(lostInBlock_), false);
    cutWords(block);
    if (cut) {
        doubt(DoubtKind::UnknownWord);
        for (int i = 0; i < kAxisCount; ++i) {
            if (i < 3 || state_.axes[i].state != AxisState::Never) {
                loseAxis(i, "block too long to read");
            }
        }
    }
    applyWords();
}

// Past macro syntax the rest of the block is an expression: the reader cannot
// tell which values it gives, so every axis named there is lost.
void ModalReader::macroRest(std::string_view rest) {
    doubt(DoubtKind::Macro);
    bool comment = false;
    for (const char c : rest) {
        if (c == '(') {
            comment = true;
        } else if (c == ')') {
            comment = false;
        } else if (!comment) {
            const int axis = axisIndex(upper(static_cast<unsigned char>(c)));
            if (axis >= 0) {
                loseAxis(axis, "macro");
            }
        }
    }
}

void ModalReader::cutWords(std::string_view b) {
    words_.clear();
    scratch_.clear();
    bool deleted = false;
    size_t i = 0;
    const size_t n = b.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(b[i]);
        if (ignored(c)) {
            ++i;
            continue;
        }
        if (c == '(') {
            while (i < n && b[i] != ')') {
                ++i;
            }
            ++i;
            continue;
        }
        if (c == ';') {
            break;
        }
        if (c == '/') {
            // Block delete, "/2" to "/9" for the further switches.
            deleted = true;
            ++i;
            while (i < n && isDigit(static_cast<unsigned char>(b[i]))) {
                ++i;
            }
            continue;
        }
        if (c == '#' || c == '[' || c == ']' || c == '=') {
            macroRest(b.substr(i));
            break;
        }
        if (!isLetter(c) && c != ':') {
            // "?" is what an unreadable tape character reads back as.
            doubt(DoubtKind::UnknownWord, std::string_view(b.data() + i, 1));
            ++i;
            continue;
        }
        const char letter = c == ':' ? 'O' : upper(c);
        const size_t wordStart = i;
        ++i;
        while (i < n && ignored(static_cast<unsigned char>(b[i]))) {
            ++i;
        }
        if (i < n && isLetter(static_cast<unsigned char>(b[i]))) {
            // Two letters in a row: a keyword, never a word of a block.
            std::string keyword(1, letter);
            while (i < n && isLetter(static_cast<unsigned char>(b[i]))) {
                keyword += upper(static_cast<unsigned char>(b[i]));
                ++i;
            }
            if (macroKeyword(keyword)) {
                macroRest(b.substr(wordStart));
                break;
            }
            doubt(DoubtKind::UnknownWord, keyword);
            continue;
        }
        Word word;
        word.letter = letter;
        word.start = scratch_.size();
        while (i < n) {
            const unsigned char d = static_cast<unsigned char>(b[i]);
            if (isDigit(d) || d == '.' || d == '+' || d == '-') {
                scratch_ += static_cast<char>(d);
            } else if (!ignored(d)) {
                break;
            }
            ++i;
        }
        if (i < n && (b[i] == '#' || b[i] == '[')) {
            // "X#1", "Z-#1", "X[#1+2.]": a value only known when run.
            scratch_.resize(word.start);
            macroRest(b.substr(wordStart));
            break;
        }
        word.length = scratch_.size() - word.start;
        word.number = ParseDecimal(text(word), word.value);
        words_.push_back(word);
    }
    if (deleted) {
        if (state_.blockDeletes == 0) {
            state_.firstBlockDelete = block_;
        }
        ++state_.blockDeletes;
    }
}

bool ModalReader::blockWord(char letter, Decimal& value) const {
    const int at = upper(static_cast<unsigned char>(letter)) - 'A';
    if (at < 0 || at >= 26 || (blockLetters_ & (uint32_t{1} << at)) == 0) {
        return false;
    }
    value = blockWords_[at];
    return true;
}

void ModalReader::applyWords() {
    blockLetters_ = 0;
    for (const Word& w : words_) {
        const uint32_t bit = uint32_t{1} << (w.letter - 'A');
        if (w.number) {
            blockWords_[w.letter - 'A'] = w.value;
            blockLetters_ |= bit;
        } else {
            blockLetters_ &= ~bit;
        }
    }
    BlockCodes codes;
    applyGCodes(codes);
    blockNonModal_ = codes.nonModal;
    for (const Word& w : words_) {
        if (w.letter == 'M') {
            applyMCode(w);
        } else {
            applyValueWord(w, codes);
        }
    }
    if (codes.call || codes.latheCycle) {
        // A call's words are its arguments, and what the called program
        // moves is not known here; a roughing cycle cuts a contour of other
        // blocks.
        const char* why = codes.call ? "subprogram call" : "lathe cycle";
        for (int axis = 0; axis < kAxisCount; ++axis) {
            if (axis < 3 || state_.axes[axis].state != AxisState::Never) {
                loseAxis(axis, why);
            }
        }
        return;
    }
    moveAxes(codes);
}

// G codes first: they count for the other words of the block.
void ModalReader::applyGCodes(BlockCodes& codes) {
    for (const Word& w : words_) {
        if (w.letter == 'G') {
            applyGCode(w, code10(w.value, w.number), codes);
        }
    }
}

void ModalReader::applyGCode(const Word& w, int g, BlockCodes& codes) {
    const GCodeGroup group = GroupOf(g, dialect_);
    const std::string word = g < 0 ? std::string() : codeWord('G', g);
    if (dialect_ == ControlDialect::Unknown && DialectsDisagree(g)) {
        doubt(DoubtKind::Dialect, word);
    }
    switch (group) {
    case GCodeGroup::Motion:
    case GCodeGroup::TurningCycle:
        set(state_.motion, word);
        state_.cycle = {}; // a motion code ends a canned cycle
        turningCycle_ = group == GCodeGroup::TurningCycle;
        break;
    case GCodeGroup::Dwell:
    case GCodeGroup::Reference:
    case GCodeGroup::MachineCoords:
        codes.nonModal = g;
        break;
    case GCodeGroup::ExactStop:
        break;
    case GCodeGroup::PolarOff:
        polar_ = false;
        break;
    case GCodeGroup::Polar:
        polar_ = true;
        doubt(DoubtKind::Polar, word);
        break;
    case GCodeGroup::Plane:
        set(state_.plane, word);
        break;
    case GCodeGroup::Units:
        set(state_.units, word);
        break;
    case GCodeGroup::CutterComp:
        set(state_.cutterComp, word);
        break;
    case GCodeGroup::LengthComp:
        set(state_.lengthComp, word);
        break;
    case GCodeGroup::ScalingOff: {
        // With words it sets something else on some controls.
        const bool alone = std::all_of(words_.begin(), words_.end(), [](const Word& x) {
            return x.letter == 'G' || x.letter == 'N';
        });
        if (alone) {
            state_.scaling = {};
        } else {
            doubt(DoubtKind::UnknownWord, word);
            codes.unknownCode = true;
        }
        break;
    }
    case GCodeGroup::Scaling:
        codes.nonModal = g; // X Y Z: the centre of scaling
        setFrame(state_.scaling, word, "XYZ");
        break;
    case GCodeGroup::ClampOrOrigin:
        codes.nonModal = g;
        break;
    case GCodeGroup::WorkOffset:
        set(state_.workOffset, word);
        break;
    case GCodeGroup::ExtendedOffset:
        codes.extendedOffset = true;
        set(state_.workOffset, word);
        break;
    case GCodeGroup::Call:
        codes.call = true;
        doubt(DoubtKind::Subprogram, word);
        break;
    case GCodeGroup::CallCancel:
        doubt(DoubtKind::Subprogram, word);
        break;
    case GCodeGroup::Rotation:
        codes.nonModal = g; // X Y: the centre of rotation
        setFrame(state_.rotation, word, "XYR");
        break;
    case GCodeGroup::RotationOff:
        state_.rotation = {};
        break;
    case GCodeGroup::LatheCycle:
        codes.latheCycle = true;
        doubt(DoubtKind::LatheCycle, word);
        break;
    case GCodeGroup::DrillCycle:
        if (!state_.cycle.set()) {
            state_.cycleStartZ = state_.axes[2];
        }
        set(state_.cycle, word);
        break;
    case GCodeGroup::CycleCancel:
        state_.cycle = {};
        state_.cycleR = {};
        break;
    case GCodeGroup::Distance:
        set(state_.distance, word);
        break;
    case GCodeGroup::FeedMode:
        set(state_.feedMode, word);
        break;
    case GCodeGroup::SpeedMode:
        set(state_.speedMode, word);
        break;
    case GCodeGroup::ReturnLevel:
        set(state_.returnLevel, word);
        break;
    case GCodeGroup::None:
        doubt(DoubtKind::UnknownWord, "G" + std::string(text(w)));
        codes.unknownCode = true;
        break;
    }
}

// Rotation and scaling are set again exactly only when the block gives all
// their values absolutely in the X Y plane: a centre left out is the position
// of the moment, and an incremental centre is measured from it.
void ModalReader::setFrame(Frame& frame, const std::string& code, const char* needed) {
    frame = {};
    std::string words = code;
    std::string missing;
    bool scale = false;
    for (const char* letter = needed; *letter != 0; ++letter) {
        const auto found = std::find_if(words_.begin(), words_.end(),
                                        [&](const Word& w) { return w.letter == *letter; });
        if (found == words_.end() || !found->number) {
            missing += *letter;
        }
    }
    for (const Word& w : words_) {
        if (std::string_view("XYZIJKPR").find(w.letter) == std::string_view::npos) {
            continue;
        }
        if (!w.number) {
            missing += w.letter;
        }
        scale = scale || w.letter == 'P' || w.letter == 'I';
        words += ' ';
        words += w.letter;
        words.append(text(w));
    }
    if (code == "G51" && !scale) {
        missing += 'P';
    }
    if (!missing.empty()) {
        frame.why = code + " without " + missing;
    } else if (state_.distance.word == "G91") {
        frame.why = code + " with G91";
    } else if (state_.plane.set() && state_.plane.word != "G17") {
        frame.why = code + " outside the X Y plane";
    } else {
        set(frame.words, words);
        return;
    }
    frame.words.block = block_;
}

void ModalReader::applyMCode(const Word& w) {
    const int m = code10(w.value, w.number);
    const std::string word = m < 0 || m % 10 != 0 ? std::string() : codeWord('M', m);
    switch (m) {
    case 0:
    case 10:
        break;
    case 20:
    case 300:
        set(state_.programEnd, word);
        break;
    case 30:
    case 40:
    case 50:
        set(state_.spindle, word);
        break;
    case 60:
        if (dialect_ == ControlDialect::Lathe) {
            doubt(DoubtKind::UnknownWord, word);
        } else {
            set(state_.toolChange, word);
            changeTool(state_.toolWord.word);
        }
        break;
    case 70:
        set(state_.mist, word);
        state_.coolantOff = {};
        break;
    case 80:
        set(state_.flood, word);
        state_.coolantOff = {};
        break;
    case 90:
        set(state_.coolantOff, word);
        state_.mist = {};
        state_.flood = {};
        break;
    case 980:
        doubt(DoubtKind::Subprogram, word);
        // The block's words are the call's arguments: no axis is followed.
        for (int axis = 0; axis < kAxisCount; ++axis) {
            if (axis < 3 || state_.axes[axis].state != AxisState::Never) {
                loseAxis(axis, "subprogram call");
            }
        }
        break;
    case 990:
        doubt(DoubtKind::Subprogram, word);
        break;
    default:
        doubt(DoubtKind::UnknownWord, "M" + std::string(text(w)));
    }
}

// A new tool ends the spindle speed of the one before: the program sets S
// again for it (in this block or later), or the speed is not known.
void ModalReader::changeTool(const std::string& toolWord) {
    state_.toolInSpindle.word = toolWord;
    state_.toolInSpindle.block = state_.toolWord.block;
    if (state_.speed.block != block_) {
        state_.speed = {};
    }
}

void ModalReader::applyValueWord(const Word& w, const BlockCodes& codes) {
    const std::string_view value = text(w);
    const bool lathe = dialect_ == ControlDialect::Lathe;
    switch (w.letter) {
    case 'G':
    case 'N':
    case 'O':
    case 'I':
    case 'J':
    case 'K':
    case 'Q':
    case 'L':
    case 'X':
    case 'Y':
    case 'Z':
    case 'A':
    case 'B':
    case 'C':
        return;
    case 'U':
    case 'V':
    case 'W':
        if (lathe) {
            return; // X Y Z by a distance
        }
        break;
    case 'T':
    case 'S':
    case 'F':
    case 'H':
    case 'D':
    case 'R':
    case 'P':
        if (w.number && !(lathe && w.letter == 'H')) {
            word_.assign(1, w.letter);
            word_.append(value);
            if (w.letter == 'T') {
                set(state_.toolWord, word_);
                if (lathe) {
                    // A lathe changes the tool with the T word itself.
                    const int tool = latheTool(value);
                    if (!state_.toolChange.set() ||
                        tool != latheTool(state_.toolChange.word.substr(1))) {
                        set(state_.toolChange, word_);
                        changeTool(word_);
                    }
                } else if (dialect_ == ControlDialect::Unknown &&
                           std::none_of(words_.begin(), words_.end(), [](const Word& x) {
                               return x.letter == 'M' && x.number && x.value.units == 6 &&
                                      !x.value.point;
                           })) {
                    doubt(DoubtKind::Dialect, word_);
                }
            } else if (w.letter == 'S') {
                set(codes.nonModal == 500 && lathe ? state_.speedClamp : state_.speed,
                    codes.nonModal == 500 && lathe ? "G50 " + word_ : word_);
            } else if (w.letter == 'F') {
                set(state_.feed, word_);
            } else if (w.letter == 'H') {
                set(state_.lengthH, word_);
            } else if (w.letter == 'D') {
                set(state_.cutterD, word_);
            } else if (w.letter == 'R') {
                if (state_.cycle.set()) {
                    set(state_.cycleR, word_);
                }
            } else if (codes.extendedOffset) {
                state_.workOffset.word += " " + word_;
            }
            return;
        }
        break;
    default:
        break;
    }
    // E and the like: meanings differ from control to control.
    doubt(DoubtKind::UnknownWord, std::string(1, w.letter) + std::string(value));
}

void ModalReader::moveAxes(const BlockCodes& codes) {
    const bool lathe = dialect_ == ControlDialect::Lathe;
    const Word* words[kAxisCount] = {};
    bool any = false;
    bool rWord = false;
    for (const Word& w : words_) {
        int axis = axisIndex(w.letter);
        if (lathe && axis < 0 && (w.letter == 'U' || w.letter == 'V' || w.letter == 'W')) {
            axis = w.letter == 'U' ? 0 : w.letter == 'V' ? 1 : 2;
        }
        if (axis >= 0) {
            words[axis] = &w;
            any = true;
        } else if (w.letter == 'R') {
            rWord = true;
        }
    }
    const int nonModal = codes.nonModal;
    if (nonModal == 40 || nonModal == 510 || nonModal == 680) {
        return; // a dwell's X is its time, the others give a centre
    }
    if (!any && !(rWord && state_.cycle.set())) {
        return;
    }
    if (!lathe && !state_.distance.set() && nonModal == 0) {
        doubt(DoubtKind::DistanceModeUnset);
    }
    for (int axis = 0; axis < kAxisCount; ++axis) {
        if (words[axis] != nullptr && !lostInBlock_[axis]) {
            moveAxis(axis, *words[axis], codes);
        }
    }
    leaveCycle(codes);
}

void ModalReader::moveAxis(int axis, const Word& w, const BlockCodes& codes) {
    Axis& a = state_.axes[axis];
    const int nonModal = codes.nonModal;
    if (!w.number) {
        doubt(DoubtKind::UnknownWord, std::string(1, w.letter) + std::string(text(w)));
        loseAxis(axis, "number not readable");
        return;
    }
    if (nonModal == 280 || nonModal == 300) {
        a.state = AxisState::Reference;
        a.block = block_;
        a.text.clear();
        return;
    }
    if (nonModal == 530) {
        loseAxis(axis, "machine coordinates G53");
        return;
    }
    if (nonModal == 500) {
        loseAxis(axis, "coordinate system set by G50");
        return;
    }
    if (codes.unknownCode) {
        loseAxis(axis, "code not known");
        return;
    }
    if (polar_ && axis < 2) {
        loseAxis(axis, "polar coordinates");
        return;
    }
    if (turningCycle_) {
        return; // the pass ends where it began
    }
    if (state_.cycle.set() && axis == 2) {
        return; // the hole's bottom, not where the cycle leaves the tool
    }
    const bool incremental = dialect_ == ControlDialect::Lathe
                                 ? std::string_view("UVW").find(w.letter) != std::string_view::npos
                                 : state_.distance.word == "G91";
    if (incremental) {
        Decimal sum;
        Axis now = a;
        noteFrames(now);
        const bool sameFrame = now.offset == a.offset &&
                               (axis >= 2 || now.rotation == a.rotation) &&
                               (axis >= 3 || now.scaling == a.scaling);
        if (a.state != AxisState::Known) {
            loseAxis(axis, "incremental move from an unknown position");
        } else if (!sameFrame) {
            // The position is known in the coordinates it was programmed in,
            // not in those the increment is measured in.
            loseAxis(axis, "incremental move after a change of work offset, rotation or scaling");
        } else if (!AddDecimal(a.value, w.value, sum)) {
            loseAxis(axis, "incremental moves with and without a decimal point");
        } else {
            if (a.sumFrom == 0) {
                a.sumFrom = a.block;
            }
            a.value = sum;
            a.text = FormatDecimal(sum);
            a.block = block_;
            noteFrames(a);
        }
        return;
    }
    a.state = AxisState::Known;
    a.value = w.value;
    a.text.assign(text(w));
    a.block = block_;
    a.sumFrom = 0;
    noteFrames(a);
}

void ModalReader::noteFrames(Axis& a) const {
    a.offset = state_.workOffset.word;
    a.rotation = state_.rotation.active() ? state_.rotation.words.block : 0;
    a.scaling = state_.scaling.active() ? state_.scaling.words.block : 0;
}

// A drilling cycle leaves the tool at its return level: the R point with
// G99, else the level it started from.
void ModalReader::leaveCycle(const BlockCodes& codes) {
    if (!state_.cycle.set() || lostInBlock_[2] || codes.nonModal != 0 || codes.unknownCode) {
        return;
    }
    const bool incremental = state_.distance.word == "G91";
    Axis& z = state_.axes[2];
    Decimal r;
    const bool g99 = state_.returnLevel.word == "G99";
    if (!incremental && g99 && state_.cycleR.set() &&
        ParseDecimal(std::string_view(state_.cycleR.word).substr(1), r)) {
        z.state = AxisState::Known;
        z.value = r;
        z.text = state_.cycleR.word.substr(1);
        z.block = block_;
        z.sumFrom = 0;
        noteFrames(z);
    } else if (!incremental && !g99 && state_.cycleStartZ.state == AxisState::Known) {
        z = state_.cycleStartZ;
        z.block = block_;
    } else {
        loseAxis(2, "canned cycle");
    }
}

} // namespace vorl
