#include "restart/restart_prefix.h"

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

RestartPrefix ComputeRestartPrefix(const ModalState& s, int startBlock) {
    RestartPrefix prefix;
    prefix.ok = true;
    const int last = startBlock - 1;

    auto reason = [&](std::string text) { prefix.reasons.push_back(std::move(text)); };

    for (const Doubt& d : s.doubts) {
        const std::string at = " at " + blockText(d.block) + laterBlocks(d.count);
        const std::string what = d.what.empty() ? std::string() : " " + d.what;
        switch (d.kind) {
        case DoubtKind::Macro:
            reason("Macro variables, expressions or program flow" + at);
            break;
        case DoubtKind::Subprogram:
            reason("Subprogram or macro call" + what + at);
            break;
        case DoubtKind::Rotation:
            reason("Coordinate rotation" + what + at);
            break;
        case DoubtKind::Scaling:
            reason("Scaling" + what + at);
            break;
        case DoubtKind::Polar:
            reason("Polar coordinates" + what + at);
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
    if (s.cycle.set()) {
        reason("Canned cycle " + s.cycle.word + " in force from " + blockText(s.cycle.block) +
               ", not restored");
    }
    if (s.programEnd.set()) {
        reason("Program end " + s.programEnd.word + " at " + blockText(s.programEnd.block) +
               ", before the start block");
    }
    const bool toolChanged = s.toolChange.set();
    if (toolChanged && !s.toolInSpindle.set()) {
        reason("Tool change at " + blockText(s.toolChange.block) + " without a T word before it");
    }
    if ((s.spindle.word == "M03" || s.spindle.word == "M04") && !s.speed.set()) {
        reason("Spindle started at " + blockText(s.spindle.block) + " without an S word");
    }
    const bool cutting = s.motion.word == "G01" || s.motion.word == "G02" || s.motion.word == "G03";
    if (cutting && !s.feed.set()) {
        reason("Feed motion " + s.motion.word + " without an F word before the start block");
    }
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const Axis& a = s.axes[axis];
        if (a.state == AxisState::Lost) {
            reason(axisName(axis) + " not known after " + blockText(a.block) + ": " + a.why);
        }
    }

    // Modes. G41/G42 go on the X Y approach, G43/G44 on the Z approach; their
    // cancels belong here.
    const Axis& z = s.axes[2];
    const bool zStale = toolChanged && z.state == AxisState::Known && z.block < s.toolChange.block;
    bool approachXY = false;
    for (int axis : {0, 1, 3, 4, 5}) {
        approachXY = approachXY || s.axes[axis].state == AxisState::Known;
    }
    const bool approachZ = z.state == AxisState::Known && !zStale;
    const bool incremental = s.distance.word == "G91";

    Line modes;
    if (s.units.set()) {
        modes.add(s.units);
    }
    if (s.plane.set()) {
        modes.add(s.plane);
    }
    if (incremental && (approachXY || approachZ)) {
        modes.addOwn("G90", "FOR THE APPROACH");
    } else if (s.distance.set()) {
        modes.add(s.distance);
    }
    if (s.feedMode.set()) {
        modes.add(s.feedMode);
    }
    if (s.workOffset.set()) {
        modes.add(s.workOffset);
    }
    if (s.cutterComp.word == "G40") {
        modes.add(s.cutterComp);
    }
    if (s.lengthComp.word == "G49") {
        modes.add(s.lengthComp);
    }
    std::vector<std::string> unset;
    if (!s.units.set()) {
        unset.push_back("UNITS");
    }
    if (!s.plane.set()) {
        unset.push_back("PLANE");
    }
    if (!s.distance.set()) {
        unset.push_back("DISTANCE MODE");
    }
    if (!s.workOffset.set()) {
        unset.push_back("WORK OFFSET");
    }

    // Built line by line: a note is a plain comment, a line carries words.
    struct Out {
        bool note;
        std::string noteText;
        Line line;
    };
    std::vector<Out> out;
    auto note = [&](std::string text) { out.push_back({true, std::move(text), {}}); };
    auto line = [&](const Line& l) {
        if (!l.empty()) {
            out.push_back({false, {}, l});
        }
    };

    line(modes);
    if (!unset.empty()) {
        std::string list;
        for (const std::string& u : unset) {
            list += (list.empty() ? "" : ", ") + u;
        }
        note("NOT SET BEFORE BLOCK " + std::to_string(startBlock) + ": " + list);
    }

    // Tool: the one in the spindle, then the one waiting for the next change.
    if (toolChanged) {
        if (s.toolInSpindle.set()) {
            Line tool;
            tool.add(s.toolInSpindle);
            tool.add(s.toolChange);
            line(tool);
        } else {
            note("TOOL CHANGE AT BLOCK " + std::to_string(s.toolChange.block) + ": TOOL NOT KNOWN");
        }
        if (s.toolWord.set() && s.toolWord.block > s.toolChange.block) {
            Line next;
            next.add(s.toolWord);
            line(next);
        }
    } else if (s.toolWord.set()) {
        Line tool;
        tool.add(s.toolWord);
        line(tool);
    }

    Line spindle;
    if (s.speedMode.set()) {
        spindle.add(s.speedMode);
    }
    if (s.speed.set()) {
        spindle.add(s.speed);
    }
    if (s.spindle.set()) {
        spindle.add(s.spindle);
    }
    line(spindle);
    // One M code to a line: many controls take no more.
    for (const Setting* coolant : {&s.mist, &s.flood, &s.coolantOff}) {
        if (coolant->set()) {
            Line l;
            l.add(*coolant);
            line(l);
        }
    }

    // The approach.
    Line rotary;
    for (int axis = 3; axis < kAxisCount; ++axis) {
        const Axis& a = s.axes[axis];
        if (a.state == AxisState::Known) {
            if (rotary.empty()) {
                rotary.addOwn("G00", std::string());
            }
            rotary.add(axisName(axis) + a.text, a.block);
        }
    }
    line(rotary);
    const bool cutterComp = s.cutterComp.word == "G41" || s.cutterComp.word == "G42";
    Line xy;
    for (int axis = 0; axis < 2; ++axis) {
        const Axis& a = s.axes[axis];
        if (a.state == AxisState::Known) {
            if (xy.empty()) {
                xy.addOwn("G00", std::string());
                if (cutterComp) {
                    xy.add(s.cutterComp);
                    if (s.cutterD.set()) {
                        xy.add(s.cutterD);
                    }
                }
            }
            xy.add(axisName(axis) + a.text, a.block);
        }
    }
    if (!xy.empty()) {
        note("X Y MOVE AT THE CURRENT Z: HAVE Z CLEAR OF THE PART");
    }
    line(xy);
    const bool lengthComp = s.lengthComp.word == "G43" || s.lengthComp.word == "G44";
    const bool lengthStale = lengthComp && toolChanged && s.lengthComp.block < s.toolChange.block;
    if (approachZ) {
        Line zLine;
        // Down to where the tool was cutting at the feed it was cutting with.
        zLine.addOwn(cutting ? "G01" : "G00", std::string());
        if (lengthComp && !lengthStale) {
            zLine.add(s.lengthComp);
            if (s.lengthH.set()) {
                zLine.add(s.lengthH);
            }
        }
        zLine.add("Z" + z.text, z.block);
        if (cutting && s.feed.set()) {
            zLine.add(s.feed);
        }
        line(zLine);
    } else if (lengthComp && !lengthStale) {
        reason(s.lengthComp.word + " of " + blockText(s.lengthComp.block) +
               " not restored: no Z to approach");
    }
    if (lengthStale) {
        note(s.lengthComp.word + " OF BLOCK " + std::to_string(s.lengthComp.block) +
             " NOT RESTORED: TOOL CHANGED AT BLOCK " + std::to_string(s.toolChange.block));
    }
    if (zStale) {
        note("Z OF BLOCK " + std::to_string(z.block) + " NOT APPROACHED: TOOL CHANGED AT BLOCK " +
             std::to_string(s.toolChange.block));
    }
    std::string never;
    for (int axis = 0; axis < kAxisCount; ++axis) {
        const Axis& a = s.axes[axis];
        if (a.state == AxisState::Reference) {
            note(axisName(axis) + " AT THE REFERENCE POINT FROM BLOCK " + std::to_string(a.block) +
                 ": NOT MOVED");
        } else if (a.state == AxisState::Lost) {
            note(axisName(axis) + " NOT KNOWN AFTER BLOCK " + std::to_string(a.block) +
                 ": NOT MOVED");
        } else if (a.state == AxisState::Never && axis < 3) {
            never += (never.empty() ? "" : " ") + axisName(axis);
        }
    }
    if (!never.empty()) {
        note(never + " NOT PROGRAMMED BEFORE BLOCK " + std::to_string(startBlock) + ": NOT MOVED");
    }
    if (cutterComp && xy.empty()) {
        Line comp;
        comp.add(s.cutterComp);
        if (s.cutterD.set()) {
            comp.add(s.cutterD);
        }
        line(comp);
    }

    // Motion, distance mode and feed as the start block finds them.
    Line motion;
    if (incremental && (approachXY || approachZ)) {
        motion.add(s.distance);
    }
    if (s.cycle.set()) {
        note("CANNED CYCLE " + s.cycle.word + " OF BLOCK " + std::to_string(s.cycle.block) +
             " NOT RESTORED");
    } else if (s.motion.set()) {
        motion.add(s.motion);
    }
    if (s.feed.set()) {
        motion.add(s.feed);
    }
    line(motion);

    prefix.certain = prefix.reasons.empty();
    prefix.lines.push_back("(PREFIX FOR A RESTART AT BLOCK " + std::to_string(startBlock) +
                           ", STATE AFTER BLOCK " + std::to_string(last) + ")");
    if (!prefix.certain) {
        prefix.lines.push_back("(UNCHECKED: THE STATE IS NOT CERTAIN, CHECK EVERY LINE)");
        for (const std::string& r : prefix.reasons) {
            prefix.lines.push_back("(" + upperText(r) + ")");
        }
    }
    if (s.blockDeletes > 0) {
        prefix.lines.push_back("(BLOCK DELETE AT BLOCK " + std::to_string(s.firstBlockDelete) +
                               upperText(laterBlocks(s.blockDeletes)) +
                               " COUNTED AS RUN: SWITCH SETTING NOT KNOWN)");
    }
    for (const Out& o : out) {
        prefix.lines.push_back(o.note ? "(" + o.noteText + ")" : o.line.text(!prefix.certain));
    }
    return prefix;
}

void ProgramScanner::endBlock(std::string_view block, bool cut) {
    if (startBlock_ == 0 || blocks_ < startBlock_ - 1) {
        reader_.readBlock(block, cut);
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
            return;
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

RestartPrefix BuildRestartPrefix(const std::string& path, int startBlock) {
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
    ProgramScanner scanner(startBlock);
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
        if (scanner.reachedStart()) {
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
    return ComputeRestartPrefix(scanner.reader().state(), startBlock);
}

} // namespace vorl
