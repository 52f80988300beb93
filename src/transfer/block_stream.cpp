#include "transfer/block_stream.h"

#include <algorithm>
#include <cstring>

namespace vorl {
namespace {

constexpr size_t kFlushSize = size_t{1} << 20;

// The characters IsEmptyBlock allows.
constexpr std::array<bool, 256> makeNothingTable() {
    std::array<bool, 256> t{};
    for (char c : std::string_view("0123456789)Nn \r\n\0", 17)) {
        t[static_cast<uint8_t>(c)] = true;
    }
    return t;
}
constexpr std::array<bool, 256> kNothing = makeNothingTable();

} // namespace

BlockStream::BlockStream(const BlockRules& rules, OutputSink& sink)
    : rules_(rules), sink_(sink), filterActive_(rules.filter.active()) {
    if (std::none_of(rules_.endsBlock.begin(), rules_.endsBlock.end(), [](bool b) { return b; })) {
        rules_.endsBlock[uint8_t(kCR)] = true;
        rules_.endsBlock[uint8_t(kLF)] = true;
    }
    for (uint8_t c :
         {uint8_t(0), uint8_t(' '), uint8_t('('), uint8_t(')'), uint8_t(kCR), uint8_t(kLF)}) {
        special_[c] = true;
    }
    for (char c : rules_.filter.filterChars) {
        special_[static_cast<uint8_t>(c)] = true;
    }
    out_.resize(kFlushSize);
}

uint8_t* BlockStream::ensureRoom(size_t extra) {
    if (out_.size() - used_ < extra) {
        out_.resize(std::max(out_.size() * 2, used_ + extra));
    }
    return out_.data() + used_;
}

void BlockStream::append(const void* data, size_t size) {
    uint8_t* o = ensureRoom(size);
    std::memcpy(o, data, size);
    used_ += size;
    blockStart_ = used_;
    flushIfFull();
}

void BlockStream::appendZeros(size_t count) {
    while (count > 0) {
        const size_t n = std::min(count, kFlushSize);
        std::memset(ensureRoom(n), 0, n);
        used_ += n;
        blockStart_ = used_;
        count -= n;
        flushIfFull();
    }
}

// The character filter, one character at a time (the rules of FilterBlock).
inline uint8_t* BlockStream::put(uint8_t* o, uint8_t c) {
    if (filterActive_ && (special_[c] || inComment_)) {
        const FilterSettings& f = rules_.filter;
        if (f.stripNulls && c == 0) {
            return o;
        }
        if (f.stripSpaces && c == ' ' && !inComment_) {
            return o;
        }
        if (c == '(') {
            inComment_ = true;
        }
        const bool closing = c == ')' && inComment_ && f.stripComments;
        if (c == ')' || c == kCR || c == kLF) {
            inComment_ = false;
        }
        if (inComment_ && f.stripComments) {
            return o;
        }
        if (c != 0 && f.filterChars.find(static_cast<char>(c)) != std::string::npos) {
            return o;
        }
        if (closing) {
            return o;
        }
    }
    nonEmpty_ = nonEmpty_ || !kNothing[c];
    *o++ = c;
    return o;
}

uint8_t* BlockStream::endBlock(uint8_t* o) {
    for (char c : rules_.eob) {
        o = put(o, static_cast<uint8_t>(c));
    }
    uint8_t* const begin = out_.data() + blockStart_;
    if (rules_.dropEmpty && !nonEmpty_) {
        o = begin;
    } else if (++counted_ < rules_.startBlock) {
        o = begin;
    } else {
        if (rules_.toTape != nullptr) {
            const TranslationTable& t = *rules_.toTape;
            for (uint8_t* p = begin; p != o; ++p) {
                *p = t[*p];
            }
        }
        blockStart_ = static_cast<size_t>(o - out_.data());
    }
    inComment_ = false;
    nonEmpty_ = false;
    return o;
}

void BlockStream::feed(const void* data, size_t size) {
    if (size == 0) {
        return;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    // Worst case: every byte ends a block that gets a two-byte EOB.
    uint8_t* o = ensureRoom(size * (rules_.eob.size() + 1) + 4);
    size_t i = 0;
    if (skipLF_) {
        skipLF_ = false;
        if (p[0] == uint8_t(kLF)) {
            i = 1;
        }
    }
    const TranslationTable* toAscii = rules_.toAscii;
    for (; i < size; ++i) {
        const uint8_t raw = p[i];
        if (rules_.skipped[raw]) {
            continue;
        }
        if (rules_.endsBlock[raw]) {
            o = endBlock(o);
            pending_ = false;
            if (raw == uint8_t(kCR)) {
                if (i + 1 == size) {
                    skipLF_ = true;
                } else if (p[i + 1] == uint8_t(kLF)) {
                    ++i;
                }
            }
            continue;
        }
        pending_ = true;
        o = put(o, toAscii != nullptr ? (*toAscii)[raw] : raw);
    }
    used_ = static_cast<size_t>(o - out_.data());
    flushIfFull();
}

void BlockStream::finish() {
    skipLF_ = false;
    if (pending_) {
        uint8_t* o = ensureRoom(rules_.eob.size() + 4);
        used_ = static_cast<size_t>(endBlock(o) - out_.data());
        pending_ = false;
    }
}

void BlockStream::flushIfFull() {
    if (blockStart_ >= kFlushSize) {
        flush();
    }
}

void BlockStream::flush() {
    if (blockStart_ == 0) {
        return;
    }
    // The unfinished block moves to the front of the next buffer.
    tail_.assign(out_.begin() + static_cast<std::ptrdiff_t>(blockStart_),
                 out_.begin() + static_cast<std::ptrdiff_t>(used_));
    const size_t size = blockStart_;
    sink_.put(out_, size);
    written_ += static_cast<int64_t>(size);
    if (out_.size() < std::max(kFlushSize, tail_.size())) {
        out_.resize(std::max(kFlushSize, tail_.size()));
    }
    std::copy(tail_.begin(), tail_.end(), out_.begin());
    used_ = tail_.size();
    blockStart_ = 0;
}

} // namespace vorl
