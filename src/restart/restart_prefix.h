// The restart prefix: the lines that bring a control into the state a program
// had just before its start block, computed by reading the program from its
// first block (see ModalReader), for the review window's "Build Prefix".
//
// The prefix has, in this order: comments saying what it is for and, when the
// state is not certain, why (its lines are then marked UNCHECKED); the
// machine's safe retract; one line of modes; the tool change; spindle (a lathe's
// speed clamp first); coolant; rotation and scaling as programmed; a rapid move
// to the last position of every axis but Z (rotary axes first), then to the
// last Z (at the feed in force when the tool was cutting, with the length
// compensation), each in the work offset it was programmed in; the motion
// mode, the distance mode and the feed in force. Every line carries a comment
// with the blocks its values came from. What the reader does not know is left
// out and said in a comment, never guessed; where a move could not be made
// right (rotation or scaling that cannot be set again exactly, positions of
// two work offsets) no approach moves are written at all.
//
// Cutter compensation is not started by a prefix: a control builds the offset
// from the move that starts it, which a prefix does not have. It is cancelled
// and said so.
//
// The prefix checks itself: the prefix followed by the start block is read
// with the same reader, and every mode, the tool, the spindle and every known
// position must come out as the program has them after the start block; any
// difference not already said marks the prefix UNCHECKED and is named.
//
// Blocks are lines of the program file as the review window numbers them and
// the download counts them: a CR LF pair, a lone CR and a lone LF each end one.
#pragma once

#include "restart/gcode_reader.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorl {

// What a prefix is built for: the machine's control dialect and the line that
// takes the tool clear of the part before the approach (empty: none, and the
// prefix says so).
struct RestartOptions {
    ControlDialect dialect = ControlDialect::Unknown;
    std::string safeRetract = "G91 G28 Z0";
};

// The retract a machine of that dialect gets until one is set for it.
std::string DefaultSafeRetract(ControlDialect dialect);

struct RestartPrefix {
    bool ok = false; // false: `error` says why there is no prefix
    std::string error;
    bool certain = true;              // false: the lines are marked UNCHECKED
    std::vector<std::string> reasons; // why not certain, one sentence each
    std::vector<std::string> lines;   // the prefix, without line ends

    // The lines joined with CR LF, each ended by it.
    std::string text() const;
};

// The prefix for a restart at `startBlock` from the state after the blocks
// before it.
RestartPrefix ComputeRestartPrefix(const ModalState& state, int startBlock,
                                   const RestartOptions& options = {});

// The same, checked: `reader` has read the blocks before the start block and
// `startBlockText` is the start block itself.
RestartPrefix ComputeCheckedPrefix(const ModalReader& reader, int startBlock,
                                   std::string_view startBlockText,
                                   const RestartOptions& options = {});

// Cuts a program into blocks as it arrives in pieces, and reads blocks before
// `startBlock` into a ModalReader (all of them when it is 0). A block longer
// than kMaxBlock is read only in its first kMaxBlock bytes (and its state is
// then in doubt).
class ProgramScanner {
public:
    static constexpr size_t kMaxBlock = size_t{1} << 20;

    explicit ProgramScanner(int startBlock = 0, ControlDialect dialect = ControlDialect::Unknown)
        : startBlock_(startBlock), reader_(dialect) {}

    void feed(const char* data, size_t size);
    void finish();
    // The start block has been reached (its first byte seen).
    bool reachedStart() const { return startSeen_; }
    // The start block has ended: nothing more is needed.
    bool startRead() const { return startRead_; }
    // The start block, as far as it has been seen (at most kMaxBlock bytes).
    const std::string& startBlockText() const { return startText_; }
    // Blocks ended so far.
    int blocks() const { return blocks_; }
    const ModalReader& reader() const { return reader_; }
    // Called after each block the reader has read, with the reader holding
    // the state after it (a path follows the program block by block).
    void onBlockRead(std::function<void(const ModalReader&)> handler) {
        blockRead_ = std::move(handler);
    }

private:
    void endBlock(std::string_view block, bool cut);

    int startBlock_;
    ModalReader reader_;
    std::string carried_; // the start of a block cut by the end of a piece
    bool carriedCut_ = false;
    bool open_ = false;      // bytes of a block without its end yet
    bool pendingCR_ = false; // the last piece ended with CR: an LF next belongs to it
    bool startSeen_ = false;
    bool startRead_ = false;
    std::string startText_;
    int blocks_ = 0;
    std::function<void(const ModalReader&)> blockRead_;
    // Where the next LF and CR are in the piece being fed.
    static constexpr size_t kNotSearched = ~size_t{0};
    size_t nextLF_ = kNotSearched;
    size_t nextCR_ = kNotSearched;
};

// Reads the program file at `path` from its start up to `startBlock` (at least
// 2) and the start block itself, in pieces, and computes the checked prefix.
// Fails when the file cannot be read or has fewer blocks.
RestartPrefix BuildRestartPrefix(const std::string& path, int startBlock,
                                 const RestartOptions& options = {});

} // namespace vorl
