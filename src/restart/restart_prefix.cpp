#include "restart/restart_prefix.h"

#include "restart/state_compare.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace vorl {
namespace {

std::string upperText(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return text;
}

// Text inside a comment: upper case, and no bracket that would end it early
// or open a second one.
std::string commentText(const std::string& text) {
    std::string out = upperText(text);
    std::replace(out.begin(), out.end(), '(', ' ');
    std::replace(out.begin(), out.end(), ')', ' ');
    return out;
}

std::string blockText(int block) {
    return "block " + std::to_string(block);
}

// " and N later blocks" for a doubt raised by more than one block.
std::string laterBlocks(int count) {
    if (count <= 1) {
        return std::string();
    }
    return count == 2 ? " and 1 later block"
                      : " and " + std::to_string(count - 1) + " later blocks";
}

// One output line: words, and a comment saying where their values came from.
// Sources of the same block are named together: "G21 G17 BLOCK 3, G54 BLOCK 5".
class Line {
public:
    void add(const std::string& word, int block) {
        words_.push_back(word);
        if (block > 0) {
            addSource(word, "BLOCK " + std::to_string(block));
        }
    }
    void add(const Setting& setting) { add(setting.word, setting.block); }
    // A value from a source that is no single block ("SUM OF BLOCKS 3 TO 7").
    void add(const std::string& word, const std::string& source) {
        words_.push_back(word);
        addSource(word, source);
    }
    // A value that comes from no block (the approach's own G00 or G90).
    void addOwn(const std::string& word, const std::string& why) {
        words_.push_back(word);
        if (!why.empty()) {
            addSource(word, why);
        }
    }
    bool empty() const { return words_.empty(); }

    std::string text(bool unchecked) const {
        std::string text;
        for (const std::string& w : words_) {
            text += (text.empty() ? "" : " ") + w;
        }
        std::string comment;
        for (const auto& [source, names] : sources_) {
            if (!comment.empty()) {
                comment += ", ";
            }
            // The names are left out where one source covers the whole line.
            if (sources_.size() > 1 || names.size() < words_.size()) {
                for (const std::string& n : names) {
                    comment += n + " ";
                }
            }
            comment += source;
        }
        if (unchecked) {
            comment = comment.empty() ? "UNCHECKED" : "UNCHECKED: " + comment;
        }
        if (!comment.empty()) {
            text += " (" + comment + ")";
        }
        return text;
    }

private:
    void addSource(const std::string& word, const std::string& source) {
        // A G or M code names itself, any other word by its letter: "T1 M06"
        // from one block reads "BLOCK 4", from two "T BLOCK 3, M06 BLOCK 4".
        std::string name = word.substr(0, word.find(' '));
        if (name[0] != 'G' && name[0] != 'M') {
            name.resize(1);
        }
        for (auto& [s, names] : sources_) {
            if (s == source) {
                names.push_back(name);
                return;
            }
        }
        sources_.push_back({source, {name}});
    }
    std::vector<std::string> words_;
    std::vector<std::pair<std::string, std::vector<std::string>>> sources_;
};

// The axis as a comment names it ("X").
std::string axisName(int axis) {
    return std::string(1, kAxisLetters[axis]);
}

} // namespace

std::string RestartPrefix::text() const {
    std::string all;
    for (const std::string& line : lines) {
        all += line;
        all += "\r\n";
    }
    return all;
}

std::string DefaultSafeRetract(ControlDialect dialect) {
    return dialect == ControlDialect::Lathe ? "G28 U0 W0" : "G91 G28 Z0";
}

namespace {

// The retract as a line a control takes: printable, upper case, its own
// comments left out (the prefix gives it one).
std::string retractLine(std::string_view text) {
    std::string line;
    bool comment = false;
    for (const char c : text) {
        if (c == '(') {
            comment = true;
        } else if (c == ')') {
            comment = false;
        } else if (!comment && c >= ' ' && c <= '~' && c != ';') {
            line += c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
        } else if (c == ';') {
            break;
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    line.erase(0, line.find_first_not_of(' ') == std::string::npos ? line.size()
                                                                   : line.find_first_not_of(' '));
    return line;
}

// Builds a prefix phase by phase; see restart_prefix.h for what goes where.
class PrefixBuilder {
public:
    PrefixBuilder(const ModalState& s, int startBlock, const RestartOptions& options)
        : s_(s), startBlock_(startBlock), lathe_(options.dialect == ControlDialect::Lathe),
          retract_(retractLine(options.safeRetract)) {}

    RestartPrefix build() {
        doubtReasons();
        stateReasons();
        planApproach();
        if (!retract_.empty()) {
            Line l;
            l.addOwn(retract_, "SAFE RETRACT");
            line(l);
        }
        modes();
        tool();
        spindle();
        coolant();
        if (framesFirst_) {
            frames();
        }
        approach();
        if (!framesFirst_) {
            frames();
        }
        axisNotes();
        motion();
        return assemble();
    }

    // A difference found by reading the prefix back; the lines are then
    // assembled again, marked UNCHECKED.
    void addReason(std::string text) { reasons_.push_back(std::move(text)); }
    RestartPrefix assemble();

    // Fields whose difference from the program the prefix has already said.
    const std::vector<std::string>& explained() const { return explained_; }

private:
    void reason(std::string text, const std::string& field = {}) {
        reasons_.push_back(std::move(text));
        explain(field);
    }
    void explain(const std::string& field) {
        if (!field.empty()) {
            explained_.push_back(field);
        }
    }
    void note(std::string text) { out_.push_back({true, std::move(text), {}}); }
    void line(const Line& l) {
        if (!l.empty()) {
            out_.push_back({false, {}, l});
        }
    }
    bool cutting() const {
        const std::string& m = s_.motion.word;
        return m == "G01" || m == "G02" || m == "G03";
    }
    bool turningCycle() const {
        const std::string& m = s_.motion.word;
        return lathe_ && (m == "G90" || m == "G92" || m == "G94");
    }

    void doubtReasons();
    void stateReasons();
    void planApproach();
    void modes();
    void tool();
    void spindle();
    void coolant();
    void frames();
    void approach();
    void axisNotes();
    void motion();

    // Built line by line: a note is a plain comment, a line carries words.
    struct Out {
        bool note;
        std::string noteText;
        Line line;
    };

    const ModalState& s_;
    const int startBlock_;
    const bool lathe_;
    const std::string retract_;
    std::vector<std::string> reasons_;
    std::vector<std::string> explained_;
    std::vector<Out> out_;

    bool stale_[kAxisCount] = {};    // programmed before the tool change: not approached
    bool approach_[kAxisCount] = {}; // approached
    bool anyApproach_ = false;
    bool framesFirst_ = true; // rotation and scaling before the approach
    bool noApproach_ = false; // positions known, but no move to them can be made right
    bool framesRestored_ = true;
    std::string approachOffset_; // the work offset the approach is made in
};

void PrefixBuilder::doubtReasons() {
    for (const Doubt& d : s_.doubts) {
        const std::string at = " at " + blockText(d.block) + laterBlocks(d.count);
        const std::string what = d.what.empty() ? std::string() : " " + d.what;
        switch (d.kind) {
        case DoubtKind::Macro:
            reason("Macro variables, expressions or program flow" + at);
            break;
        case DoubtKind::Subprogram:
            reason("Subprogram or macro call" + what + at);
            break;
        case DoubtKind::Polar:
            reason("Polar coordinates" + what + at);
            break;
        case DoubtKind::LatheCycle:
            reason("Lathe cycle" + what + at + " not followed");
            break;
        case DoubtKind::Dialect:
            reason("Codes a lathe reads otherwise, read as on a mill:" + what + at +
                   "; choose the machine's control");
            break;
        case DoubtKind::UnknownWord:
            reason((d.what.empty() ? std::string("A word the reader does not know")
                                   : "Word " + d.what + " not known to the reader") +
                   at);
            break;
        case DoubtKind::DistanceModeUnset:
            reason("Axis moves before any G90 or G91, read as absolute," + at);
            break;
        }
    }
}

void PrefixBuilder::stateReasons() {
    if (s_.cycle.set()) {
        reason("Canned cycle " + s_.cycle.word + " in force from " + blockText(s_.cycle.block) +
                   ", not restored",
               "CYCLE");
        explain("MOTION");
    }
    if (turningCycle()) {
        reason("Lathe cycle " + s_.motion.word + " in force from " + blockText(s_.motion.block) +
                   ", not restored: restart at " + blockText(s_.motion.block),
               "MOTION");
    }
    if (s_.programEnd.set()) {
        reason("Program end " + s_.programEnd.word + " at " + blockText(s_.programEnd.block) +
               ", before the start block");
    }
    if (!lathe_ && s_.toolChange.set() && !s_.toolInSpindle.set()) {
        reason("Tool change at " + blockText(s_.toolChange.block) + " without a T word before it",
               "TOOL");
    }
    const bool running = s_.spindle.word == "M03" || s_.spindle.word == "M04";
    if (running && !s_.speed.set()) {
        if (s_.toolChange.set() && s_.toolChange.block >= s_.spindle.block) {
            reason("Spindle " + s_.spindle.word + " of " + blockText(s_.spindle.block) +
                       " not started: no S word after the tool change at " +
                       blockText(s_.toolChange.block),
                   "SPINDLE");
        } else {
            reason("Spindle started at " + blockText(s_.spindle.block) +
                       " without an S word for the tool, not started",
                   "SPINDLE");
        }
    }
    if (cutting() && !s_.feed.set()) {
        reason("Feed motion " + s_.motion.word + " without an F word before the start block");
    }
    if (s_.cutterComp.word == "G41" || s_.cutterComp.word == "G42") {
        reason("Cutter compensation " + s_.cutterComp.word + " of " +
                   blockText(s_.cutterComp.block) +
                   " cancelled: the start block runs without it; restart at or before " +
                   blockText(s_.cutterComp.block) + " to cut with it",
               "CUTTER COMPENSATION");
    }
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const Axis& a = s_.axes[axis];
        if (a.state == AxisState::Lost) {
            reason(axisName(axis) + " not known after " + blockText(a.block) + ": " + a.why);
        }
    }
}

// Which axes the approach moves, in which work offset, and where rotation and
// scaling go; or why it moves none.
void PrefixBuilder::planApproach() {
    const bool changed = s_.toolChange.set();
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const Axis& a = s_.axes[axis];
        if (a.state != AxisState::Known) {
            continue;
        }
        // A new tool has its own length (on a lathe its own offsets): a
        // position of the tool before it is no place for the new one.
        stale_[axis] = changed && (lathe_ || axis == 2) && a.block < s_.toolChange.block;
        if (stale_[axis]) {
            explain(axisName(axis));
        } else {
            approach_[axis] = true;
            anyApproach_ = true;
        }
    }
    std::string refused;
    // Positions are approached in the work offset they were programmed in.
    bool first = true;
    for (int axis = 0; axis < kAxisCount; ++axis) {
        if (!approach_[axis]) {
            continue;
        }
        const Axis& a = s_.axes[axis];
        if (first) {
            approachOffset_ = a.offset;
            first = false;
        } else if (a.offset != approachOffset_) {
            refused = "positions programmed in two work offsets, " + axisName(axis) + " of " +
                      blockText(a.block) + " in " + (a.offset.empty() ? "none" : a.offset);
        }
    }
    if (refused.empty() && anyApproach_ && approachOffset_ != s_.workOffset.word &&
        approachOffset_.empty()) {
        refused = "positions programmed before the work offset " + s_.workOffset.word;
    }
    // Rotation and scaling are set again as programmed: before the approach
    // when the positions were programmed under them, after it when they were
    // programmed before them. A position programmed under a rotation or
    // scaling no longer in force is in no frame the prefix can set.
    for (const Frame* f : {&s_.rotation, &s_.scaling}) {
        if (f->active() && !f->exact()) {
            framesRestored_ = false;
            explain(f == &s_.rotation ? "ROTATION" : "SCALING");
            reason((f == &s_.rotation ? "Rotation " : "Scaling ") + f->why + " at " +
                   blockText(f->words.block) + ": not set again, no approach moves");
            refused = refused.empty() ? "-" : refused;
        }
    }
    const int rotation = s_.rotation.active() ? s_.rotation.words.block : 0;
    const int scaling = s_.scaling.active() ? s_.scaling.words.block : 0;
    bool under = true;
    bool before = true;
    for (int axis = 0; axis < kAxisCount; ++axis) {
        if (!approach_[axis]) {
            continue;
        }
        const Axis& a = s_.axes[axis];
        // Rotation turns X and Y only; scaling scales X Y and Z.
        const int aRotation = axis < 2 ? a.rotation : rotation;
        const int aScaling = axis < 3 ? a.scaling : scaling;
        under = under && aRotation == rotation && aScaling == scaling;
        before = before && (axis < 2 ? a.rotation : 0) == 0 && (axis < 3 ? a.scaling : 0) == 0;
    }
    framesFirst_ = under;
    if (!under && !before && refused.empty()) {
        refused = "positions programmed under a rotation or scaling not in force now";
    }
    if (!refused.empty() && anyApproach_) {
        if (refused != "-") {
            reason("No approach moves: " + refused);
        }
        noApproach_ = true;
        for (int axis = 0; axis < kAxisCount; ++axis) {
            if (approach_[axis]) {
                explain(axisName(axis));
            }
            approach_[axis] = false;
        }
        anyApproach_ = false;
    }
}

void PrefixBuilder::modes() {
    const bool incremental = s_.distance.word == "G91";
    Line modes;
    if (s_.units.set()) {
        modes.add(s_.units);
    }
    if (s_.plane.set()) {
        modes.add(s_.plane);
    }
    if (!lathe_) {
        if (incremental && anyApproach_) {
            modes.addOwn("G90", "FOR THE APPROACH");
        } else if (s_.distance.set()) {
            modes.add(s_.distance);
        } else if (retract_.find("G91") != std::string::npos) {
            modes.addOwn("G90", "AFTER THE RETRACT");
        }
    }
    if (s_.feedMode.set()) {
        modes.add(s_.feedMode);
    }
    if (s_.workOffset.set()) {
        modes.add(s_.workOffset);
    }
    if (s_.cutterComp.word == "G40") {
        modes.add(s_.cutterComp);
    } else if (s_.cutterComp.set()) {
        modes.addOwn("G40", "COMPENSATION CANCELLED");
    }
    if (s_.lengthComp.word == "G49") {
        modes.add(s_.lengthComp);
    }
    line(modes);
    std::vector<std::string> unset;
    if (!s_.units.set()) {
        unset.push_back("UNITS");
    }
    if (!s_.plane.set() && !lathe_) {
        unset.push_back("PLANE");
    }
    if (!s_.distance.set() && !lathe_) {
        unset.push_back("DISTANCE MODE");
    }
    if (!s_.workOffset.set() && !lathe_) {
        unset.push_back("WORK OFFSET");
    }
    if (!unset.empty()) {
        std::string list;
        for (const std::string& u : unset) {
            list += (list.empty() ? "" : ", ") + u;
        }
        note("NOT SET BEFORE BLOCK " + std::to_string(startBlock_) + ": " + list);
    }
}

// The tool in the spindle (a lathe's turret), then the one waiting for the
// next change.
void PrefixBuilder::tool() {
    if (lathe_) {
        if (s_.toolWord.set()) {
            Line tool;
            tool.add(s_.toolWord);
            line(tool);
        }
        return;
    }
    if (s_.toolChange.set()) {
        if (s_.toolInSpindle.set()) {
            Line tool;
            tool.add(s_.toolInSpindle);
            tool.add(s_.toolChange);
            line(tool);
        } else {
            note("TOOL CHANGE AT BLOCK " + std::to_string(s_.toolChange.block) +
                 ": TOOL NOT KNOWN");
        }
        if (s_.toolWord.set() && s_.toolWord.block > s_.toolChange.block) {
            Line next;
            next.add(s_.toolWord);
            line(next);
        }
    } else if (s_.toolWord.set()) {
        Line tool;
        tool.add(s_.toolWord);
        line(tool);
    }
}

// The speed clamp before constant surface speed; the spindle started only
// with a speed set for the tool in it.
void PrefixBuilder::spindle() {
    if (s_.speedClamp.set()) {
        Line clamp;
        clamp.add(s_.speedClamp);
        line(clamp);
    }
    Line spindle;
    if (s_.speedMode.set()) {
        spindle.add(s_.speedMode);
    }
    if (s_.speed.set()) {
        spindle.add(s_.speed);
    }
    const bool running = s_.spindle.word == "M03" || s_.spindle.word == "M04";
    if (s_.spindle.set() && (!running || s_.speed.set())) {
        spindle.add(s_.spindle);
    }
    line(spindle);
    if (running && !s_.speed.set()) {
        note("SPINDLE NOT STARTED: NO S WORD FOR THE TOOL BEFORE BLOCK " +
             std::to_string(startBlock_));
    }
}

void PrefixBuilder::coolant() {
    // One M code to a line: many controls take no more.
    for (const Setting* coolant : {&s_.mist, &s_.flood, &s_.coolantOff}) {
        if (coolant->set()) {
            Line l;
            l.add(*coolant);
            line(l);
        }
    }
}

void PrefixBuilder::frames() {
    if (!framesRestored_) {
        return;
    }
    for (const Frame* f : {&s_.scaling, &s_.rotation}) {
        if (f->exact()) {
            Line l;
            l.add(f->words);
            line(l);
        }
    }
}

// Every axis but Z first (rotary axes before the others), then Z: down to
// where the tool was cutting at the feed it was cutting with.
void PrefixBuilder::approach() {
    if (noApproach_) {
        note("NO APPROACH MOVES");
    }
    const std::string offset =
        approachOffset_ != s_.workOffset.word && !approachOffset_.empty() ? approachOffset_ : "";
    auto axisWord = [this](Line& l, int axis) {
        const Axis& a = s_.axes[axis];
        if (a.sumFrom != 0) {
            l.add(axisName(axis) + a.text,
                  "SUM OF BLOCKS " + std::to_string(a.sumFrom) + " TO " + std::to_string(a.block));
        } else {
            l.add(axisName(axis) + a.text, a.block);
        }
    };
    auto start = [&](Line& l, const char* motion) {
        l.addOwn(motion, std::string());
        if (!offset.empty()) {
            l.addOwn(offset, "OFFSET OF THE POSITIONS");
        }
    };
    Line rotary;
    for (int axis = 3; axis < kAxisCount; ++axis) {
        if (approach_[axis]) {
            if (rotary.empty()) {
                start(rotary, "G00");
            }
            axisWord(rotary, axis);
        }
    }
    line(rotary);
    Line plane;
    for (int axis = 0; axis < 2; ++axis) {
        if (approach_[axis]) {
            if (plane.empty()) {
                start(plane, "G00");
            }
            axisWord(plane, axis);
        }
    }
    if (!plane.empty() && retract_.empty()) {
        note(lathe_ ? "X MOVE AT THE CURRENT Z: HAVE Z CLEAR OF THE PART"
                    : "X Y MOVE AT THE CURRENT Z: HAVE Z CLEAR OF THE PART");
    }
    line(plane);
    const bool lengthComp = s_.lengthComp.word == "G43" || s_.lengthComp.word == "G44";
    const bool lengthStale =
        lengthComp && s_.toolChange.set() && s_.lengthComp.block < s_.toolChange.block;
    if (approach_[2]) {
        Line z;
        start(z, cutting() ? "G01" : "G00");
        if (lengthComp && !lengthStale) {
            z.add(s_.lengthComp);
            if (s_.lengthH.set()) {
                z.add(s_.lengthH);
            }
        }
        axisWord(z, 2);
        if (cutting() && s_.feed.set()) {
            z.add(s_.feed);
        }
        line(z);
    } else if (lengthComp && !lengthStale) {
        reason(s_.lengthComp.word + " of " + blockText(s_.lengthComp.block) +
                   " not restored: no Z to approach",
               "LENGTH COMPENSATION");
    }
    if (lengthStale) {
        explain("LENGTH COMPENSATION");
        note(s_.lengthComp.word + " OF BLOCK " + std::to_string(s_.lengthComp.block) +
             " NOT RESTORED: TOOL CHANGED AT BLOCK " + std::to_string(s_.toolChange.block));
    }
}

void PrefixBuilder::axisNotes() {
    std::string never;
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const Axis& a = s_.axes[axis];
        if (stale_[axis]) {
            note(axisName(axis) + " OF BLOCK " + std::to_string(a.block) +
                 " NOT APPROACHED: TOOL CHANGED AT BLOCK " + std::to_string(s_.toolChange.block));
        } else if (a.state == AxisState::Reference) {
            note(axisName(axis) + " AT THE REFERENCE POINT FROM BLOCK " + std::to_string(a.block) +
                 ": NOT MOVED");
        } else if (a.state == AxisState::Lost) {
            note(axisName(axis) + " NOT KNOWN AFTER BLOCK " + std::to_string(a.block) +
                 ": NOT MOVED");
        } else if (a.state == AxisState::Never &&
                   (axis == 0 || axis == 2 || (axis == 1 && !lathe_))) {
            never += (never.empty() ? "" : " ") + axisName(axis);
        }
    }
    if (!never.empty()) {
        note(never + " NOT PROGRAMMED BEFORE BLOCK " + std::to_string(startBlock_) + ": NOT MOVED");
    }
}

// Motion, distance mode, work offset and feed as the start block finds them.
void PrefixBuilder::motion() {
    Line motion;
    if (s_.distance.word == "G91" && anyApproach_ && !lathe_) {
        motion.add(s_.distance);
    }
    if (!approachOffset_.empty() && approachOffset_ != s_.workOffset.word && anyApproach_) {
        motion.add(s_.workOffset);
    }
    if (s_.cycle.set()) {
        note("CANNED CYCLE " + s_.cycle.word + " OF BLOCK " + std::to_string(s_.cycle.block) +
             " NOT RESTORED");
    } else if (turningCycle()) {
        note("LATHE CYCLE " + s_.motion.word + " OF BLOCK " + std::to_string(s_.motion.block) +
             " NOT RESTORED");
    } else if (s_.motion.set()) {
        motion.add(s_.motion);
    }
    if (s_.feed.set()) {
        motion.add(s_.feed);
    }
    line(motion);
}

RestartPrefix PrefixBuilder::assemble() {
    RestartPrefix prefix;
    prefix.ok = true;
    prefix.reasons = reasons_;
    prefix.certain = reasons_.empty();
    prefix.lines.push_back("(PREFIX FOR A RESTART AT BLOCK " + std::to_string(startBlock_) +
                           ", STATE AFTER BLOCK " + std::to_string(startBlock_ - 1) + ")");
    if (!prefix.certain) {
        prefix.lines.push_back("(UNCHECKED: THE STATE IS NOT CERTAIN, CHECK EVERY LINE)");
        for (const std::string& r : reasons_) {
            prefix.lines.push_back("(" + commentText(r) + ")");
        }
    }
    if (s_.blockDeletes > 0) {
        prefix.lines.push_back("(BLOCK DELETE AT BLOCK " + std::to_string(s_.firstBlockDelete) +
                               upperText(laterBlocks(s_.blockDeletes)) +
                               " COUNTED AS RUN: SWITCH SETTING NOT KNOWN)");
    }
    for (const Out& o : out_) {
        prefix.lines.push_back(o.note ? "(" + commentText(o.noteText) + ")"
                                      : o.line.text(!prefix.certain));
    }
    return prefix;
}

} // namespace

RestartPrefix ComputeRestartPrefix(const ModalState& state, int startBlock,
                                   const RestartOptions& options) {
    return PrefixBuilder(state, startBlock, options).build();
}

RestartPrefix ComputeCheckedPrefix(const ModalReader& reader, int startBlock,
                                   std::string_view startBlockText, const RestartOptions& options) {
    PrefixBuilder builder(reader.state(), startBlock, options);
    RestartPrefix prefix = builder.build();
    ModalReader program = reader;
    program.readBlock(startBlockText);
    ModalReader replay(reader.dialect());
    for (const std::string& line : prefix.lines) {
        replay.readBlock(line);
    }
    replay.readBlock(startBlockText);
    const std::vector<std::string>& explained = builder.explained();
    bool found = false;
    for (const StateDifference& d : CompareStates(program.state(), replay.state())) {
        if (std::find(explained.begin(), explained.end(), d.field) == explained.end()) {
            builder.addReason("Read back, the prefix leaves " + d.field + " " + d.prefix +
                              " where the program has " + d.program + " after " +
                              blockText(startBlock));
            found = true;
        }
    }
    return found ? builder.assemble() : prefix;
}

void ProgramScanner::endBlock(std::string_view block, bool cut) {
    if (startBlock_ == 0 || blocks_ < startBlock_ - 1) {
        reader_.readBlock(block, cut);
        if (blockRead_) {
            blockRead_(reader_);
        }
    } else if (blocks_ == startBlock_ - 1) {
        startText_.assign(block);
        startRead_ = true;
    }
    ++blocks_;
}

void ProgramScanner::feed(const char* data, size_t size) {
    size_t i = 0;
    nextLF_ = kNotSearched;
    nextCR_ = kNotSearched;
    if (pendingCR_ && size > 0) {
        pendingCR_ = false;
        if (data[0] == '\n') {
            i = 1;
        }
    }
    while (i < size) {
        if (startBlock_ > 0 && blocks_ >= startBlock_ - 1) {
            startSeen_ = true;
            if (blocks_ >= startBlock_) {
                return;
            }
        }
        // The next CR and LF are each looked for once, so a program with only
        // one kind of line end is not searched again for the other at every block.
        if (nextLF_ < i || nextLF_ == kNotSearched) {
            const void* lf = std::memchr(data + i, '\n', size - i);
            nextLF_ =
                lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) : size;
        }
        if (nextCR_ < i || nextCR_ == kNotSearched) {
            const void* cr = std::memchr(data + i, '\r', size - i);
            nextCR_ =
                cr != nullptr ? static_cast<size_t>(static_cast<const char*>(cr) - data) : size;
        }
        const size_t end = std::min(nextLF_, nextCR_);
        if (end == size) {
            // The block goes on in the next piece.
            const size_t room = kMaxBlock - std::min(kMaxBlock, carried_.size());
            carried_.append(data + i, std::min(room, size - i));
            carriedCut_ = carriedCut_ || size - i > room;
            open_ = true;
            return;
        }
        if (carried_.empty()) {
            endBlock(std::string_view(data + i, end - i), false);
        } else {
            const size_t room = kMaxBlock - std::min(kMaxBlock, carried_.size());
            carried_.append(data + i, std::min(room, end - i));
            endBlock(carried_, carriedCut_ || end - i > room);
            carried_.clear();
            carriedCut_ = false;
        }
        open_ = false;
        i = end + 1;
        if (data[end] == '\r') {
            if (i < size && data[i] == '\n') {
                ++i;
            } else if (i == size) {
                pendingCR_ = true;
            }
        }
    }
}

void ProgramScanner::finish() {
    if (open_) {
        endBlock(carried_, carriedCut_);
        carried_.clear();
        carriedCut_ = false;
        open_ = false;
    }
}

RestartPrefix BuildRestartPrefix(const std::string& path, int startBlock,
                                 const RestartOptions& options) {
    RestartPrefix failed;
    if (startBlock < 2) {
        failed.error = "Choose a start block after the first block.";
        return failed;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failed.error = path + ": " + std::strerror(errno);
        return failed;
    }
    ProgramScanner scanner(startBlock, options.dialect);
    std::vector<char> piece(size_t{1} << 20);
    for (;;) {
        const ssize_t got = ::read(fd, piece.data(), piece.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            failed.error = path + ": " + std::strerror(errno);
            ::close(fd);
            return failed;
        }
        if (got == 0) {
            break;
        }
        scanner.feed(piece.data(), static_cast<size_t>(got));
        if (scanner.startRead()) {
            break;
        }
    }
    ::close(fd);
    scanner.finish();
    if (!scanner.reachedStart()) {
        failed.error = "The program has " + std::to_string(scanner.blocks()) +
                       " blocks: there is no block " + std::to_string(startBlock) + ".";
        return failed;
    }
    return ComputeCheckedPrefix(scanner.reader(), startBlock, scanner.startBlockText(), options);
}

} // namespace vorl
