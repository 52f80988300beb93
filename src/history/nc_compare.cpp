#include "history/nc_compare.h"

#include "history/git_library.h"

#include <git2.h>

#include <algorithm>

namespace vorl::history {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The end of a comment starting at `i` (a '(' or ';').
size_t commentEnd(std::string_view text, size_t i) {
    if (text[i] == ';') {
        return text.size();
    }
    const size_t close = text.find(')', i);
    return close == std::string_view::npos ? text.size() : close + 1;
}

// The leading sequence number of `text` ("N120", "n 120" after blanks or a
// block delete slash): where it lies, or an empty range.
WordMark sequenceNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (isBlank(text[i]) || text[i] == '/')) {
        ++i;
    }
    if (i >= text.size() || (text[i] != 'N' && text[i] != 'n')) {
        return {};
    }
    size_t j = i + 1;
    while (j < text.size() && isBlank(text[j])) {
        ++j;
    }
    if (j >= text.size() || !isDigit(text[j])) {
        return {};
    }
    while (j < text.size() && isDigit(text[j])) {
        ++j;
    }
    return {i, j - i};
}

void appendNormal(std::string& out, std::string_view text, const CompareOptions& options) {
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (options.ignoreComments && (c == '(' || c == ';')) {
            i = commentEnd(text, i);
        } else if (options.ignoreBlanks && isBlank(c)) {
            ++i;
        } else {
            out += c;
            ++i;
        }
    }
}

struct HunkCollector {
    std::vector<Change>* changes;
};

int onHunk(const git_diff_delta*, const git_diff_hunk* hunk, void* payload) {
    auto* collector = static_cast<HunkCollector*>(payload);
    // A side with no lines names the line before the change (counted from
    // 1), which is the change's place counted from 0.
    Change c;
    c.oldCount = static_cast<size_t>(hunk->old_lines);
    c.newCount = static_cast<size_t>(hunk->new_lines);
    c.oldFirst = static_cast<size_t>(hunk->old_lines > 0 ? hunk->old_start - 1 : hunk->old_start);
    c.newFirst = static_cast<size_t>(hunk->new_lines > 0 ? hunk->new_start - 1 : hunk->new_start);
    collector->changes->push_back(c);
    return 0;
}

// The keys of `program`'s blocks, one a line. A program the options leave
// as it is (no option but the end-of-block style, every block ended by LF)
// is its own keys: nothing is copied.
std::string_view keys(std::string_view program, const std::vector<Block>& blocks,
                      const CompareOptions& options, std::string& storage) {
    const bool plain = !options.ignoreNumbers && !options.ignoreBlanks && !options.ignoreComments;
    if (plain && !program.empty() && program.back() == '\n' &&
        program.find('\r') == std::string_view::npos) {
        return program;
    }
    storage.reserve(program.size() + 1);
    for (const Block& b : blocks) {
        AppendBlockKey(storage, program, b, options);
        storage += '\n';
    }
    return storage;
}

// The words that take part in the compare, each with the text it compares by.
struct Word {
    WordMark where;
    std::string key;
};

std::vector<Word> comparedWords(std::string_view block, const CompareOptions& options) {
    std::vector<Word> out;
    const WordMark number = options.ignoreNumbers ? sequenceNumber(block) : WordMark{};
    for (const WordMark& w : SplitWords(block)) {
        const std::string_view text = block.substr(w.offset, w.length);
        if (number.length > 0 && w.offset == number.offset) {
            continue;
        }
        if (options.ignoreComments && (text[0] == '(' || text[0] == ';')) {
            continue;
        }
        std::string key;
        if (options.ignoreBlanks) {
            appendNormal(key, text, CompareOptions{false, true, false, true});
            if (key.empty()) {
                continue;
            }
        } else {
            key = text;
        }
        out.push_back({w, std::move(key)});
    }
    return out;
}

// Word lists longer than this are marked whole rather than matched (a block
// of thousands of words is no NC block).
constexpr size_t kMaxMatchedCells = size_t{1} << 22;

} // namespace

std::vector<Block> SplitBlocks(std::string_view program) {
    std::vector<Block> blocks;
    size_t start = 0;
    for (size_t i = 0; i < program.size();) {
        const char c = program[i];
        if (c == '\n' || c == '\r') {
            const size_t len =
                c == '\r' && i + 1 < program.size() && program[i + 1] == '\n' ? 2 : 1;
            blocks.push_back({start, static_cast<uint32_t>(i - start), static_cast<uint8_t>(len)});
            i += len;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < program.size()) {
        blocks.push_back({start, static_cast<uint32_t>(program.size() - start), 0});
    }
    return blocks;
}

std::string BlockKey(std::string_view program, const Block& block, const CompareOptions& options) {
    std::string key;
    AppendBlockKey(key, program, block, options);
    return key;
}

void AppendBlockKey(std::string& key, std::string_view program, const Block& block,
                    const CompareOptions& options) {
    std::string_view text = program.substr(block.offset, block.length);
    if (options.ignoreNumbers) {
        const WordMark n = sequenceNumber(text);
        if (n.length > 0) {
            appendNormal(key, text.substr(0, n.offset), options);
            text = text.substr(n.offset + n.length);
        }
    }
    appendNormal(key, text, options);
    if (!options.ignoreEndOfBlock) {
        // Control bytes no block holds (the split takes CR and LF out) stand
        // for its end; LF, the common one, for nothing, so that a program of
        // LF blocks is its own keys.
        const std::string_view end = program.substr(block.offset + block.length, block.endLength);
        if (end.empty()) {
            key += '\x03';
        } else if (end == "\r") {
            key += '\x01';
        } else if (end == "\r\n") {
            key += '\x02';
        }
    }
}

size_t CompareResult::changedBlocks() const {
    size_t n = 0;
    for (const Change& c : changes) {
        n += std::max(c.oldCount, c.newCount);
    }
    return n;
}

CompareResult ComparePrograms(std::string_view oldProgram, std::string_view newProgram,
                              const CompareOptions& options) {
    EnsureGitLibrary();
    CompareResult result;
    result.oldBlocks = SplitBlocks(oldProgram);
    result.newBlocks = SplitBlocks(newProgram);
    std::string oldStorage;
    std::string newStorage;
    const std::string_view oldKeys = keys(oldProgram, result.oldBlocks, options, oldStorage);
    const std::string_view newKeys = keys(newProgram, result.newBlocks, options, newStorage);
    if (oldKeys == newKeys) {
        return result;
    }
    git_diff_options diffOptions;
    git_diff_options_init(&diffOptions, GIT_DIFF_OPTIONS_VERSION);
    diffOptions.context_lines = 0;
    diffOptions.interhunk_lines = 0;
    diffOptions.flags = GIT_DIFF_FORCE_TEXT;
    HunkCollector collector{&result.changes};
    const int rc =
        git_diff_buffers(oldKeys.data(), oldKeys.size(), nullptr, newKeys.data(), newKeys.size(),
                         nullptr, &diffOptions, nullptr, nullptr, onHunk, nullptr, &collector);
    if (rc < 0) {
        result.ok = false;
        result.error = LastGitError("compare failed");
        result.changes.clear();
    }
    return result;
}

std::vector<WordMark> SplitWords(std::string_view block) {
    std::vector<WordMark> words;
    for (size_t i = 0; i < block.size();) {
        const char c = block[i];
        size_t j = i + 1;
        if (c == '(' || c == ';') {
            j = commentEnd(block, i);
        } else if (isBlank(c)) {
            while (j < block.size() && isBlank(block[j])) {
                ++j;
            }
        } else if (isLetter(c)) {
            // The value may have blanks inside ("X 10.5") but not after it.
            size_t last = j;
            while (j < block.size()) {
                const char v = block[j];
                if (isDigit(v) || v == '.' || v == '-' || v == '+') {
                    last = ++j;
                } else if (isBlank(v)) {
                    ++j;
                } else {
                    break;
                }
            }
            j = last;
        }
        words.push_back({i, j - i});
        i = j;
    }
    return words;
}

WordMarks MarkWords(std::string_view oldBlock, std::string_view newBlock,
                    const CompareOptions& options) {
    const std::vector<Word> a = comparedWords(oldBlock, options);
    const std::vector<Word> b = comparedWords(newBlock, options);
    WordMarks marks;
    std::vector<bool> keptA(a.size(), false);
    std::vector<bool> keptB(b.size(), false);
    if ((a.size() + 1) * (b.size() + 1) <= kMaxMatchedCells) {
        // The longest common run of words, by the classic table.
        const size_t w = b.size() + 1;
        std::vector<uint32_t> table((a.size() + 1) * w, 0);
        for (size_t i = a.size(); i-- > 0;) {
            for (size_t j = b.size(); j-- > 0;) {
                table[i * w + j] = a[i].key == b[j].key
                                       ? table[(i + 1) * w + j + 1] + 1
                                       : std::max(table[(i + 1) * w + j], table[i * w + j + 1]);
            }
        }
        for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
            if (a[i].key == b[j].key) {
                keptA[i++] = true;
                keptB[j++] = true;
            } else if (table[(i + 1) * w + j] >= table[i * w + j + 1]) {
                ++i;
            } else {
                ++j;
            }
        }
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!keptA[i]) {
            marks.oldMarks.push_back(a[i].where);
        }
    }
    for (size_t j = 0; j < b.size(); ++j) {
        if (!keptB[j]) {
            marks.newMarks.push_back(b[j].where);
        }
    }
    return marks;
}

std::vector<Hunk> GroupChanges(const CompareResult& result, int context) {
    std::vector<Hunk> hunks;
    const size_t ctx = static_cast<size_t>(std::max(context, 0));
    const size_t oldN = result.oldBlocks.size();
    const size_t newN = result.newBlocks.size();
    for (size_t i = 0; i < result.changes.size();) {
        size_t last = i;
        while (last + 1 < result.changes.size()) {
            const Change& cur = result.changes[last];
            const Change& next = result.changes[last + 1];
            if (next.oldFirst - (cur.oldFirst + cur.oldCount) > 2 * ctx) {
                break;
            }
            ++last;
        }
        const Change& first = result.changes[i];
        const Change& end = result.changes[last];
        const size_t before = std::min(ctx, first.oldFirst);
        const size_t oldEnd = std::min(oldN, end.oldFirst + end.oldCount + ctx);
        const size_t after = oldEnd - (end.oldFirst + end.oldCount);
        Hunk h;
        h.oldFirst = first.oldFirst - before;
        h.oldCount = oldEnd - h.oldFirst;
        h.newFirst = first.newFirst - before;
        h.newCount = std::min(newN, end.newFirst + end.newCount + after) - h.newFirst;
        h.firstChange = i;
        h.changeCount = last - i + 1;
        hunks.push_back(h);
        i = last + 1;
    }
    return hunks;
}

std::string UnifiedDiff(std::string_view oldProgram, std::string_view newProgram,
                        const CompareResult& result, const std::string& oldName,
                        const std::string& newName, int context) {
    if (result.changes.empty()) {
        return {};
    }
    auto range = [](size_t first, size_t count) {
        // As the format has it: a side with no lines names the line before.
        std::string s = std::to_string(count == 0 ? first : first + 1);
        if (count != 1) {
            s += "," + std::to_string(count);
        }
        return s;
    };
    auto line = [](std::string& out, char mark, std::string_view program, const Block& b) {
        out += mark;
        out.append(program.substr(b.offset, b.length));
        out += '\n';
    };
    std::string out = "--- " + oldName + "\n+++ " + newName + "\n";
    for (const Hunk& h : GroupChanges(result, context)) {
        out +=
            "@@ -" + range(h.oldFirst, h.oldCount) + " +" + range(h.newFirst, h.newCount) + " @@\n";
        size_t o = h.oldFirst;
        size_t n = h.newFirst;
        for (size_t k = h.firstChange; k < h.firstChange + h.changeCount; ++k) {
            const Change& c = result.changes[k];
            for (; o < c.oldFirst; ++o, ++n) {
                line(out, ' ', oldProgram, result.oldBlocks[o]);
            }
            for (; o < c.oldFirst + c.oldCount; ++o) {
                line(out, '-', oldProgram, result.oldBlocks[o]);
            }
            for (; n < c.newFirst + c.newCount; ++n) {
                line(out, '+', newProgram, result.newBlocks[n]);
            }
        }
        for (; o < h.oldFirst + h.oldCount; ++o) {
            line(out, ' ', oldProgram, result.oldBlocks[o]);
        }
    }
    return out;
}

} // namespace vorl::history
