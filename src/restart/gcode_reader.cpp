#include "restart/gcode_reader.h"

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

bool isCycle(int g) {
    return g == 730 || g == 740 || g == 760 || (g >= 810 && g <= 890 && g % 10 == 0);
}

} // namespace

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

void ModalReader::applyWords() {
    // Modal G codes first: they count for the other words of the block.
    int nonModal = 0;
    bool unknownCode = false;
    bool call = false;
    bool workOffset541 = false;
    for (const Word& w : words_) {
        if (w.letter != 'G') {
            continue;
        }
        const int g = code10(w.value, w.number);
        const std::string word = g < 0 ? std::string() : codeWord('G', g);
        switch (g) {
        case 0:
        case 10:
        case 20:
        case 30:
            set(state_.motion, word);
            state_.cycle = {}; // a motion code ends a canned cycle
            break;
        case 40:
        case 280:
        case 300:
        case 530:
            nonModal = g;
            break;
        case 90: // exact stop in this block only
            break;
        case 150:
            polar_ = false;
            break;
        case 160:
            polar_ = true;
            doubt(DoubtKind::Polar, word);
            break;
        case 170:
        case 180:
        case 190:
            set(state_.plane, word);
            break;
        case 200:
        case 210:
            set(state_.units, word);
            break;
        case 400:
        case 410:
        case 420:
            set(state_.cutterComp, word);
            break;
        case 430:
        case 440:
        case 490:
            set(state_.lengthComp, word);
            break;
        case 500: { // scaling off; with words it sets something else on some controls
            const bool alone = std::all_of(words_.begin(), words_.end(), [](const Word& x) {
                return x.letter == 'G' || x.letter == 'N';
            });
            if (!alone) {
                doubt(DoubtKind::UnknownWord, word);
                unknownCode = true;
            }
            break;
        }
        case 510:
            nonModal = g; // X Y Z: the centre of scaling
            doubt(DoubtKind::Scaling, word);
            break;
        case 540:
        case 550:
        case 560:
        case 570:
        case 580:
        case 590:
            set(state_.workOffset, word);
            break;
        case 541:
            workOffset541 = true;
            set(state_.workOffset, word);
            break;
        case 650:
        case 660:
            call = true;
            doubt(DoubtKind::Subprogram, word);
            break;
        case 670:
            doubt(DoubtKind::Subprogram, word);
            break;
        case 680:
            nonModal = g; // X Y: the centre of rotation
            doubt(DoubtKind::Rotation, word);
            break;
        case 690:
            break;
        case 800:
            state_.cycle = {};
            state_.cycleR = {};
            break;
        case 900:
        case 910:
            set(state_.distance, word);
            break;
        case 930:
        case 940:
        case 950:
            set(state_.feedMode, word);
            break;
        case 960:
        case 970:
            set(state_.speedMode, word);
            break;
        case 980:
        case 990:
            set(state_.returnLevel, word);
            break;
        default:
            if (isCycle(g)) {
                if (!state_.cycle.set()) {
                    state_.cycleStartZ = state_.axes[2];
                }
                set(state_.cycle, word);
            } else {
                doubt(DoubtKind::UnknownWord, "G" + std::string(text(w)));
                unknownCode = true;
            }
        }
    }

    for (const Word& w : words_) {
        const std::string_view value = text(w);
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
            break;
        case 'M': {
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
                set(state_.toolChange, word);
                state_.toolInSpindle = state_.toolWord;
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
                call = true;
                doubt(DoubtKind::Subprogram, word);
                break;
            case 990:
                doubt(DoubtKind::Subprogram, word);
                break;
            default:
                doubt(DoubtKind::UnknownWord, "M" + std::string(value));
            }
            break;
        }
        case 'T':
        case 'S':
        case 'F':
        case 'H':
        case 'D':
        case 'R':
        case 'P': {
            if (!w.number) {
                doubt(DoubtKind::UnknownWord, std::string(1, w.letter) + std::string(value));
                break;
            }
            std::string& word = word_;
            word.assign(1, w.letter);
            word.append(value);
            if (w.letter == 'T') {
                set(state_.toolWord, word);
            } else if (w.letter == 'S') {
                set(state_.speed, word);
            } else if (w.letter == 'F') {
                set(state_.feed, word);
            } else if (w.letter == 'H') {
                set(state_.lengthH, word);
            } else if (w.letter == 'D') {
                set(state_.cutterD, word);
            } else if (w.letter == 'R') {
                if (state_.cycle.set()) {
                    set(state_.cycleR, word);
                }
            } else if (workOffset541) {
                state_.workOffset.word += " " + word;
            }
            break;
        }
        default:
            // U V W E and the like: meanings differ from control to control.
            doubt(DoubtKind::UnknownWord, std::string(1, w.letter) + std::string(value));
        }
    }
    if (call) {
        // The block's words are the call's arguments, and what the called
        // program moves is not known here.
        for (int axis = 0; axis < kAxisCount; ++axis) {
            if (axis < 3 || state_.axes[axis].state != AxisState::Never) {
                loseAxis(axis, "subprogram call");
            }
        }
        return;
    }
    moveAxes(nonModal, unknownCode);
}

void ModalReader::moveAxes(int nonModal, bool unknownCode) {
    bool named[kAxisCount] = {};
    const Word* words[kAxisCount] = {};
    bool any = false;
    bool rWord = false;
    for (const Word& w : words_) {
        const int axis = axisIndex(w.letter);
        if (axis >= 0) {
            named[axis] = true;
            words[axis] = &w;
            any = true;
        } else if (w.letter == 'R') {
            rWord = true;
        }
    }
    if (nonModal == 40 || nonModal == 510 || nonModal == 680) {
        return; // a dwell's X is its time, the others give a centre
    }
    if (!any && !(rWord && state_.cycle.set())) {
        return;
    }
    const bool incremental = state_.distance.word == "G91";
    if (!state_.distance.set() && nonModal == 0) {
        doubt(DoubtKind::DistanceModeUnset);
    }
    for (int axis = 0; axis < kAxisCount; ++axis) {
        if (!named[axis] || lostInBlock_[axis]) {
            continue;
        }
        Axis& a = state_.axes[axis];
        const Word& w = *words[axis];
        if (!w.number) {
            doubt(DoubtKind::UnknownWord, std::string(1, w.letter) + std::string(text(w)));
            loseAxis(axis, "number not readable");
            continue;
        }
        if (nonModal == 280 || nonModal == 300) {
            a.state = AxisState::Reference;
            a.block = block_;
            a.text.clear();
            continue;
        }
        if (nonModal == 530) {
            loseAxis(axis, "machine coordinates G53");
            continue;
        }
        if (unknownCode) {
            loseAxis(axis, "code not known");
            continue;
        }
        if (polar_ && axis < 2) {
            loseAxis(axis, "polar coordinates");
            continue;
        }
        if (state_.cycle.set() && axis == 2) {
            continue; // the hole's bottom, not where the cycle leaves the tool
        }
        if (incremental) {
            Decimal sum;
            if (a.state != AxisState::Known) {
                loseAxis(axis, "incremental move from an unknown position");
            } else if (!AddDecimal(a.value, w.value, sum)) {
                loseAxis(axis, "incremental moves with and without a decimal point");
            } else {
                a.value = sum;
                a.text = FormatDecimal(sum);
                a.block = block_;
            }
            continue;
        }
        a.state = AxisState::Known;
        a.value = w.value;
        a.text.assign(text(w));
        a.block = block_;
    }
    if (state_.cycle.set() && !lostInBlock_[2] && nonModal == 0 && !unknownCode) {
        // The cycle leaves the tool at its return level: the R point with G99,
        // else the level it started from.
        Axis& z = state_.axes[2];
        Decimal r;
        const bool g99 = state_.returnLevel.word == "G99";
        if (!incremental && g99 && state_.cycleR.set() &&
            ParseDecimal(std::string_view(state_.cycleR.word).substr(1), r)) {
            z.state = AxisState::Known;
            z.value = r;
            z.text = state_.cycleR.word.substr(1);
            z.block = block_;
        } else if (!incremental && !g99 && state_.cycleStartZ.state == AxisState::Known) {
            z = state_.cycleStartZ;
            z.block = block_;
        } else {
            loseAxis(2, "canned cycle");
        }
    }
}

} // namespace vorl
