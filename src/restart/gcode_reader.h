// The modal-state reader: reads a part program block by block and keeps the
// state a control would be in after running those blocks (units, plane,
// distance and feed modes, work offset, compensations, rotation and scaling,
// tool, spindle, coolant, motion, feed and the last programmed position), each
// value with the block it came from. A restart in the middle of a program uses
// it to rebuild that state; the state after each block is complete in itself,
// so whatever follows the program block by block can use it as it is.
//
// How it works. A block is first cut into words (a letter and the number
// written after it, blanks ignored, comments "( )" and ";" skipped, letters in
// either case); then the block's G codes are applied before its other words,
// as a control does, so a G91 counts for the axis words beside it. What a G
// code does is looked up in a table from code to modal group, one column per
// control dialect (ControlDialect): a lathe (U and W incremental, G90 G92 G94
// turning, threading and facing cycles, G50 speed clamp, G98 G99 feed modes)
// reads several codes differently from a mill. Numbers are kept as written: a
// value is restored with the text the program gave it (a control may read "X1"
// and "X1." differently), and a position reached by incremental moves is
// summed exactly in decimal.
//
// The reader is conservative. Whatever it cannot follow (macro variables and
// expressions, subprogram calls, polar coordinates, lathe roughing cycles, a
// word it does not know, a move from a position it does not know, a word the
// two dialects read differently when the machine's dialect is not known) is
// recorded as a doubt with its block, and the state is reported as not
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

// How a machine's control reads a program. Unknown reads as a mill and flags
// every word a lathe would read otherwise.
enum class ControlDialect { Unknown, Mill, Lathe };

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
    // For Known: the block of the absolute value that incremental moves were
    // added to (0 when the value was written as it is), and the work offset,
    // rotation and scaling (the blocks that set them, 0 for none) in force
    // when the last of them was programmed.
    int sumFrom = 0;
    std::string offset;
    int rotation = 0;
    int scaling = 0;
};

// Rotation (G68) or scaling (G51) in force: the words that set it again
// exactly as programmed, or why that cannot be done.
struct Frame {
    Setting words; // "G68 X10. Y5. R30." with the block that set it
    std::string why;
    bool active() const { return words.set() || !why.empty(); }
    bool exact() const { return words.set(); }
};

enum class DoubtKind {
    Macro,            // variables, expressions, GOTO, WHILE, IF
    Subprogram,       // M98, M99, G65, G66, G67
    Polar,            // G16
    LatheCycle,       // G70 .. G76 on a lathe: roughing and finishing cycles
    Dialect,          // a word lathes and mills read differently, dialect not known
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
    Setting feedMode;      // G93, G94, G95; on a lathe G98, G99
    Setting workOffset;    // G54 .. G59, "G54.1 P<n>"
    Setting cutterComp;    // G40, G41, G42
    Setting cutterD;       // the last D word
    Setting lengthComp;    // G43, G44, G49
    Setting lengthH;       // the last H word
    Setting motion;        // G00, G01, G02, G03; on a lathe G32 and the G90 G92 G94 cycles
    Setting cycle;         // the canned cycle in force (G73, G74, G76, G81 .. G89), empty after G80
    Setting returnLevel;   // G98, G99 (mill)
    Setting cycleR;        // the R word of the cycle in force
    Setting feed;          // the last F word
    Setting speedMode;     // G96, G97
    Setting speed;         // the last S word, cleared by a tool change
    Setting speedClamp;    // lathe "G50 S<n>": the highest spindle speed
    Setting spindle;       // M03, M04, M05
    Setting mist;          // M07 while on
    Setting flood;         // M08 while on
    Setting coolantOff;    // M09 while coolant is off
    Setting toolWord;      // the last T word
    Setting toolChange;    // the last M06; on a lathe the T word that changed the tool
    Setting toolInSpindle; // the T word in force at the last tool change
    Frame rotation;        // G68 .. G69
    Frame scaling;         // G51 .. G50
    Setting programEnd;    // the last M02 or M30
    Axis axes[kAxisCount]; // X Y Z A B C
    Axis cycleStartZ;      // Z when the canned cycle began (its initial level)
    std::vector<Doubt> doubts;
    int blockDeletes = 0;     // blocks with a block delete "/" (read as run)
    int firstBlockDelete = 0; // the first of them
};

// The word a modal G code is written as in a prefix: "G01", "G54.1".
std::string GCodeWord(int code10);

class ModalReader {
public:
    explicit ModalReader(ControlDialect dialect = ControlDialect::Unknown) : dialect_(dialect) {}

    ControlDialect dialect() const { return dialect_; }

    // The next block of the program, without its end of block. `cut` says the
    // block was longer than the caller keeps and this is only its start.
    void readBlock(std::string_view block, bool cut = false);

    const ModalState& state() const { return state_; }
    int blocksRead() const { return block_; }

    // The last block's own words, for what the modal state does not keep: an
    // arc's centre (I J K) or radius (R), a dwell's time (P, X), a drilling
    // cycle's depth (Z). False when the block has no such word or it is no
    // plain number (the last of several counts).
    bool blockWord(char letter, Decimal& value) const;
    // The one-block code the last block gave (G04 G28 G30 G53 G68 G51, lathe
    // G50), as the code times ten; 0 for none.
    int blockNonModal() const { return blockNonModal_; }

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

    // What the G codes of a block leave for its other words.
    struct BlockCodes {
        int nonModal = 0;         // G04 G28 G30 G53 G68 G51, lathe G50: the axis words are no move
        bool unknownCode = false; // the axes it names are lost
        bool call = false;        // a subprogram or macro call: anything may move
        bool extendedOffset = false; // G54.1: its P word is part of the offset
        bool latheCycle = false;     // lathe G70 .. G76: not followed
    };

    void cutWords(std::string_view block);
    void macroRest(std::string_view rest);
    void applyWords();
    void applyGCodes(BlockCodes& codes);
    void applyGCode(const Word& w, int g, BlockCodes& codes);
    void applyMCode(const Word& w);
    void applyValueWord(const Word& w, const BlockCodes& codes);
    void changeTool(const std::string& toolWord);
    void setFrame(Frame& frame, const std::string& code, const char* needed);
    void moveAxes(const BlockCodes& codes);
    void moveAxis(int axis, const Word& w, const BlockCodes& codes);
    void leaveCycle(const BlockCodes& codes);
    void noteFrames(Axis& a) const;
    void doubt(DoubtKind kind, std::string_view what = {});
    void set(Setting& setting, std::string_view word);
    void loseAxis(int axis, const char* why);

    ControlDialect dialect_;
    ModalState state_;
    int block_ = 0;
    std::vector<Word> words_;
    std::string scratch_;            // the block's numbers, blanks removed
    std::string word_;               // a word being put together
    bool lostInBlock_[kAxisCount]{}; // axes the block moves in a way the reader cannot follow
    bool polar_ = false;             // G16 in force: X and Y are radius and angle
    bool turningCycle_ = false;      // a lathe's G90 G92 G94 in force
    uint32_t blockLetters_ = 0;      // letters of blockWords_ the last block gave
    Decimal blockWords_[26];
    int blockNonModal_ = 0;
};

} // namespace vorl
