// The block engine behind download preparation and upload finishing: takes a
// program in pieces of any size and writes what the block rules make of it.
//
// How it works. Bytes are classified as they arrive: a byte that ends a block
// closes the current block, anything else goes through the character filter
// straight into the output buffer. At the end of a block its EOB goes through
// the filter too; then the block is either kept (translated to tape code when
// asked, counted, written when its line has reached the start block) or
// rolled back by resetting the write position to where it began. The only
// state carried from one piece to the next is that of the current block: the
// comment flag, whether anything but a sequence number was kept, and a CR at
// the very end of a piece whose LF may begin the next. So the output does not
// depend on how the input was cut, and memory stays at two buffers plus the
// longest block.
//
// Speed. Programs reach hundreds of megabytes, so the common case runs 64
// bytes at a time: plain characters outside a comment (filtered by bit sets,
// translated by a table lookup, kept ones packed together) and the CR/LF ends
// of non-empty blocks once the start block is reached. Anything else (a
// comment, a block that turns out empty, a lone line end that needs a two-byte
// EOB, a byte above 127) goes byte by byte through the same tables.
#pragma once

#include "transfer/block_filter.h"
#include "transfer/translation_table.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorl {

// Where finished output goes.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    // Takes the first `size` bytes of `buffer`. May hand back a different
    // buffer to fill next (for writing in the background); its contents are
    // then unspecified. Failures throw std::system_error.
    virtual void put(std::vector<uint8_t>& buffer, size_t size) = 0;
};

struct BlockRules {
    FilterSettings filter;  // applied to each block with its EOB when active
    std::string eob = "\n"; // appended to every block before the filter
    bool dropEmpty = false; // blocks that are then empty are dropped, not counted
    // Blocks of lines numbered below it (every line of the program counts,
    // the empty ones too; the first is 1) are not written.
    int startBlock = 0;
    // Input bytes to characters before anything else (reading EIA back), or
    // null for none.
    const TranslationTable* toAscii = nullptr;
    // Kept blocks to tape code (punching EIA), or null for none.
    const TranslationTable* toTape = nullptr;
    // Bytes (as received, before toAscii) that end a block; CR and LF when
    // left empty. A CR immediately followed by LF ends one block.
    std::array<bool, 256> endsBlock{};
    // Bytes (as received) that are no part of the program at all.
    std::array<bool, 256> skipped{};
    // Take 64 bytes at a time where the processor allows (AVX2). Off only to
    // compare with the byte-by-byte loop; the output is the same.
    bool vector = true;
};

class BlockStream {
public:
    BlockStream(const BlockRules& rules, OutputSink& sink);

    // Raw bytes outside the blocks (leader, prefix, trailer); only between
    // blocks, that is before the first feed() or after finish().
    void append(const void* data, size_t size);
    void appendZeros(size_t count);

    // The next piece of the program.
    void feed(const void* data, size_t size);
    // Ends the input: a last line without a line end is a block like the
    // others, unless the filter left nothing of it.
    void finish();
    // Hands everything written so far to the sink.
    void flush();

    int64_t bytesWritten() const { return written_ + static_cast<int64_t>(blockStart_); }
    // Blocks written.
    int64_t blocksCounted() const { return counted_; }

private:
    // What the filter does with a byte, by the state it finds: the byte to
    // write (translated), whether to keep it, whether keeping it means the
    // block is not empty, and whether it needs the slow path (it ends the
    // block, is skipped, or opens or closes a comment).
    enum : uint16_t { kOut = 0x00FF, kKeep = 0x0100, kSays = 0x0200, kSlow = 0x0400 };
    using Table = std::array<uint16_t, 256>;

public:
    struct VectorTables;

private:
    uint8_t* ensureRoom(size_t extra);
    uint8_t* slowByte(uint8_t* o, uint8_t raw);
    size_t vectorRun(const uint8_t* begin, const uint8_t* end, uint8_t*& o, unsigned& says,
                     bool& pending);
    uint8_t* endBlock(uint8_t* o);
    void flushIfFull();

    BlockRules rules_;
    OutputSink& sink_;
    Table normal_{};                             // outside a comment
    Table comment_{};                            // inside a comment
    std::string eobOut_;                         // the EOB as every block gets it written
    std::shared_ptr<const VectorTables> vector_; // null: byte by byte only
    std::vector<uint8_t> out_;
    std::vector<uint8_t> tail_;
    size_t used_ = 0;       // bytes of out_ in use
    size_t blockStart_ = 0; // where the current block begins in out_
    int64_t written_ = 0;   // bytes already handed to the sink
    int64_t counted_ = 0;   // blocks written
    int64_t lines_ = 0;     // blocks split from the program, kept or not
    bool inComment_ = false;
    unsigned says_ = 0;    // kSays set: the block kept something IsEmptyBlock does not allow
    bool pending_ = false; // bytes after the last block end
    bool skipLF_ = false;  // the previous piece ended with CR
};

} // namespace vorl
