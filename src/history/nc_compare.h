// The compare of two NC programs, block by block, as a machinist reads them:
// optionally blind to sequence numbers, blanks, comments and the end-of-block
// style, with the changed words marked inside each changed block.
//
// How it works: each block is reduced to a key by the chosen options; the
// keys of both programs, one a line, go to the library's line diff (the
// same algorithm the history's repository uses), which says which blocks
// were removed and which added. The blocks themselves are kept as they are
// in the files, so what is shown is what the control has. Within a changed
// block, paired with its counterpart in order, the words (a letter and its
// value, a comment, any other character) are matched and the unmatched ones
// marked. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorl::history {

struct CompareOptions {
    bool ignoreNumbers = false;   // N words at the start of a block
    bool ignoreBlanks = false;    // spaces and tabs anywhere
    bool ignoreComments = false;  // (…) and ; to the end of the block
    bool ignoreEndOfBlock = true; // CR LF, LF and CR end a block alike
};

// One block of a program: where it lies in the file, without its end of
// block.
struct Block {
    size_t offset = 0;
    uint32_t length = 0;
    uint8_t endLength = 0; // its end of block after it: 1 (LF or CR), 2 (CR LF), 0 (none)
};

// The blocks of `program`; a program that ends with an end of block has no
// empty block after it.
std::vector<Block> SplitBlocks(std::string_view program);

// The text of `block` that the options compare.
std::string BlockKey(std::string_view program, const Block& block, const CompareOptions& options);
// The same appended to `key`.
void AppendBlockKey(std::string& key, std::string_view program, const Block& block,
                    const CompareOptions& options);

// A run of changed blocks: `oldCount` blocks from `oldFirst` were replaced by
// `newCount` blocks from `newFirst` (either count may be 0). Block numbers
// count from 0.
struct Change {
    size_t oldFirst = 0;
    size_t oldCount = 0;
    size_t newFirst = 0;
    size_t newCount = 0;
};

struct CompareResult {
    std::vector<Block> oldBlocks;
    std::vector<Block> newBlocks;
    std::vector<Change> changes; // in order, never adjacent to each other
    bool ok = true;
    std::string error; // why the compare failed (ok false)

    bool same() const { return ok && changes.empty(); }
    // Blocks that differ: the larger side of each change, summed.
    size_t changedBlocks() const;
};

// Compares `oldProgram` with `newProgram` (both must stay alive while the
// result is used: the blocks point into them).
CompareResult ComparePrograms(std::string_view oldProgram, std::string_view newProgram,
                              const CompareOptions& options);

// A marked word: bytes [offset, offset + length) of a block's text.
struct WordMark {
    size_t offset = 0;
    size_t length = 0;
};

// The words of `oldBlock` and `newBlock` that have no counterpart in the
// other (F400 against F350: both marked; an added X10: marked on the new
// side only). With ignoreBlanks, blanks are never marked; with
// ignoreComments, comments never are; with ignoreNumbers, a leading N word
// never is.
struct WordMarks {
    std::vector<WordMark> oldMarks;
    std::vector<WordMark> newMarks;
};
WordMarks MarkWords(std::string_view oldBlock, std::string_view newBlock,
                    const CompareOptions& options);

// The words of `block` as the marks count them: a letter with the number
// that follows it (signs, digits, a point, blanks between them), a comment
// in parentheses or after ';', a run of blanks, or any other single byte.
std::vector<WordMark> SplitWords(std::string_view block);

// The compare as a unified diff with `context` blocks around each change;
// empty when the programs are the same. `oldName` and `newName` head it.
std::string UnifiedDiff(std::string_view oldProgram, std::string_view newProgram,
                        const CompareResult& result, const std::string& oldName,
                        const std::string& newName, int context = 3);

// The changes grouped as a unified diff shows them: each group the changes
// that lie within 2 × `context` blocks of each other, with its context.
struct Hunk {
    size_t oldFirst = 0;
    size_t oldCount = 0;
    size_t newFirst = 0;
    size_t newCount = 0;
    size_t firstChange = 0; // index into CompareResult::changes
    size_t changeCount = 0;
};
std::vector<Hunk> GroupChanges(const CompareResult& result, int context);

} // namespace vorl::history
