// The modal-state reader: reads a part program block by block and keeps the
// state a control would be in after running those blocks (units, plane,
// distance and feed modes, work offset, compensations, tool, spindle, coolant,
// motion, feed and the last programmed position), each value with the block it
// came from. A restart in the middle of a program uses it to rebuild that state.
//
// How it works. A block is first cut into words (a letter and the number
// written after it, blanks ignored, comments "( )" and ";" skipped, letters in
// either case); then the block's modal G codes are applied before its other
// words, as a control does, so a G91 counts for the axis words beside it.
// Numbers are kept as written: a value is restored with the text the program
// gave it (a control may read "X1" and "X1." differently), and a position
// reached by incremental moves is summed exactly in decimal.
//
// The reader is conservative. Whatever it cannot follow (macro variables and
// expressions, subprogram calls, coordinate rotation, scaling, polar
// coordinates, a word it does not know, a move from a position it does not
// know) is recorded as a doubt with its block, and the state is reported as not
// certain. It never guesses a value it has not read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorl {

// A number as written: `units` / 10^`decimals`, with or without a decimal
// point (some controls read a number without one in their least increment).
struct Decimal {
    int64_t units = 0;
    int decimals = 0;
    bool point = false;
};

// "[+|-]digits[.digits]" with at least one digit and at most 18 of them.
bool ParseDecimal(std::string_view text, Decimal& out);
// a + b when both are written the same way (both with or both without a
// point) and the sum fits; false otherwise.
bool AddDecimal(const Decimal& a, const Decimal& b, Decimal& sum);
// The shortest text that a control reads as `value` ("12.5", "-0.05", "12.",
// "7" without a point).
std::string FormatDecimal(const Decimal& value);

// A modal value: the word that sets it ("G21", "T0101", "S1200") and the
// block (line of the program, the first is 1) it came from; empty when no
// block has set it.
struct Setting {
    std::string word;
    int block = 0;
    bool set() const { return !word.empty(); }
};

enum class AxisState {
    Never,     // no block has moved it
    Known,     // at `value`
    Reference, // sent to the reference point (G28, G30): not a work coordinate
    Lost,      // moved in a way the reader cannot follow (see `why`)
};

struct Axis {
    AxisState state = AxisState::Never;
    Decimal value;
    std::string text; // the value as a control reads it
    int block = 0;    // where it got its state
    std::string why;  // for Lost: what made it unknown
};

enum class DoubtKind {
    Macro,            // variables, expressions, GOTO, WHILE, IF
    Subprogram,       // M98, M99, G65, G66, G67
    Rotation,         // G68
    Scaling,          // G51
    Polar,            // G16
    UnknownWord,      // a letter, code or character the reader does not know
    DistanceModeUnset // axis words before any G90 or G91
};

struct Doubt {
    DoubtKind kind;
    int block = 0;     // the first block that raised it
    int count = 0;     // blocks that raised it
    int lastBlock = 0; // the last of them
    std::string what;  // the first word that raised it, when printable
};

constexpr int kAxisCount = 6;
constexpr char kAxisLetters[kAxisCount + 1] = "XYZABC";

struct ModalState {
    Setting units;         // G20, G21
    Setting plane;         // G17, G18, G19
    Setting distance;      // G90, G91
    Setting feedMode;      // G93, G94, G95
    Setting workOffset;    // G54 .. G59, "G54.1 P<n>"
    Setting cutterComp;    // G40, G41, G42
    Setting cutterD;       // the last D word
    Setting lengthComp;    // G43, G44, G49
    Setting lengthH;       // the last H word
    Setting motion;        // G00, G01, G02, G03
    Setting cycle;         // the canned cycle in force (G73, G74, G76, G81 .. G89), empty after G80
    Setting returnLevel;   // G98, G99
    Setting cycleR;        // the R word of the cycle in force
    Setting feed;          // the last F word
    Setting speedMode;     // G96, G97
    Setting speed;         // the last S word
    Setting spindle;       // M03, M04, M05
    Setting mist;          // M07 while on
    Setting flood;         // M08 while on
    Setting coolantOff;    // M09 while coolant is off
    Setting toolWord;      // the last T word
    Setting toolChange;    // the last M06
    Setting toolInSpindle; // the T word in force at the last M06
    Setting programEnd;    // the last M02 or M30
    Axis axes[kAxisCount]; // X Y Z A B C
    Axis cycleStartZ;      // Z when the canned cycle began (its initial level)
    std::vector<Doubt> doubts;
    int blockDeletes = 0;     // blocks with a block delete "/" (read as run)
    int firstBlockDelete = 0; // the first of them
};

class ModalReader {
public:
    // The next block of the program, without its end of block. `cut` says the
    // block was longer than the caller keeps and this is only its start.
    void readBlock(std::string_view block, bool cut = false);

    const ModalState& state() const { return state_; }
    int blocksRead() const { return block_; }

private:
    struct Word {
        char letter = 0;
        size_t start = 0; // the number as written, blanks removed, in scratch_
        size_t length = 0;
        Decimal value;
        bool number = false; // a plain number
    };
    std::string_view text(const Word& word) const {
        return std::string_view(scratch_).substr(word.start, word.length);
    }

    void cutWords(std::string_view block);
    void macroRest(std::string_view rest);
    void applyWords();
    void moveAxes(int nonModal, bool unknownCode);
    void doubt(DoubtKind kind, std::string_view what = {});
    void set(Setting& setting, std::string_view word);
    void loseAxis(int axis, const char* why);

    ModalState state_;
    int block_ = 0;
    std::vector<Word> words_;
    std::string scratch_;            // the block's numbers, blanks removed
    std::string word_;               // a word being put together
    bool lostInBlock_[kAxisCount]{}; // axes the block moves in a way the reader cannot follow
    bool polar_ = false;             // G16 in force: X and Y are radius and angle
};

} // namespace vorl
