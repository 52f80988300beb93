#include "transfer/block_stream.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define VORL_VECTOR_KERNEL 1
#endif

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

// The kSays bit of a table entry, for the vector step.
constexpr unsigned kSaysBit = 0x0200;

// For each 8-bit keep mask: the shuffle that packs the kept bytes of an
// 8-byte group to its front (0x80 clears the bytes after them).
struct PackTable {
    std::array<uint64_t, 256> shuffle{};
    constexpr PackTable() {
        for (unsigned mask = 0; mask < 256; ++mask) {
            uint64_t value = 0;
            unsigned out = 0;
            for (unsigned i = 0; i < 8; ++i) {
                if ((mask >> i) & 1) {
                    value |= uint64_t{i} << (8 * out++);
                }
            }
            for (; out < 8; ++out) {
                value |= uint64_t{0x80} << (8 * out);
            }
            shuffle[mask] = value;
        }
    }
};
constexpr PackTable kPack;

// The same shuffles for the second group of 8 bytes of 16.
struct PackTableHigh {
    std::array<uint64_t, 256> shuffle{};
    constexpr PackTableHigh() {
        for (unsigned mask = 0; mask < 256; ++mask) {
            shuffle[mask] = kPack.shuffle[mask] + 0x0808080808080808ull;
        }
    }
};
constexpr PackTableHigh kPackHigh;

} // namespace

// The filter tables in the form the vector step reads them. It takes the
// characters of rows 2 to 5 (blank to underscore: everything a program is
// usually made of); any other byte, line ends apart, goes to the slow path.
// A set of characters is 16 bytes: bit h of entry lo says whether character
// h*16+lo belongs to it.
struct BlockStream::VectorTables {
    static constexpr unsigned kFirstRow = 2;
    static constexpr unsigned kRows = 4;
    alignas(16) uint8_t slow[16]{};
    alignas(16) uint8_t keep[16]{};
    alignas(16) uint8_t says[16]{};
    // The output byte of character (kFirstRow+r)*16+lo.
    alignas(16) uint8_t lookup[kRows][16]{};
    bool identity = true; // output bytes equal input bytes
    uint64_t crEnds = 0;  // all ones when CR ends a block
    uint64_t lfEnds = 0;  // all ones when LF ends a block
    bool dropEmpty = false;
    unsigned eobSize = 0; // 0, 1 or 2 bytes
    uint8_t eob[2]{};
    // Whether the first and second EOB byte differ from the CR and the LF
    // they are written in place of.
    bool replaceFirst = true;
    bool replaceSecond = true;
};

BlockStream::BlockStream(const BlockRules& rules, OutputSink& sink) : rules_(rules), sink_(sink) {
    static_assert(kSaysBit == kSays);
    if (std::none_of(rules_.endsBlock.begin(), rules_.endsBlock.end(), [](bool b) { return b; })) {
        rules_.endsBlock[uint8_t(kCR)] = true;
        rules_.endsBlock[uint8_t(kLF)] = true;
    }
    const bool active = rules_.filter.active();
    auto output = [this](uint8_t c) { return rules_.toTape != nullptr ? (*rules_.toTape)[c] : c; };
    for (int raw = 0; raw < 256; ++raw) {
        const auto r = static_cast<uint8_t>(raw);
        const uint8_t c = rules_.toAscii != nullptr ? (*rules_.toAscii)[r] : r;
        for (const bool inComment : {false, true}) {
            bool after = false; // the comment state after c
            bool keep = true;
            if (active) {
                after = inComment;
                keep = filterCharacter(rules_.filter, after, c);
            }
            uint16_t entry = output(c);
            if (keep) {
                entry |= kKeep | (kNothing[c] ? 0 : kSays);
            }
            if (rules_.endsBlock[r] || rules_.skipped[r] || after != inComment) {
                entry |= kSlow;
            }
            (inComment ? comment_ : normal_)[r] = entry;
        }
    }
    bool eobComment = false; // a line-end character ends a comment before it is judged
    for (char c : rules_.eob) {
        if (!active || filterCharacter(rules_.filter, eobComment, static_cast<uint8_t>(c))) {
            eobOut_.push_back(static_cast<char>(output(static_cast<uint8_t>(c))));
        }
    }
    out_.resize(kFlushSize);

#ifdef VORL_VECTOR_KERNEL
    if (rules_.vector && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
        eobOut_.size() <= 2) {
        auto tables = std::make_shared<VectorTables>();
        constexpr unsigned first = VectorTables::kFirstRow;
        for (unsigned c = 0; c < 128; ++c) {
            const unsigned h = c >> 4;
            const unsigned lo = c & 15;
            const uint16_t entry = normal_[c];
            const auto bit = static_cast<uint8_t>(1u << h);
            const bool fastRow = h >= first && h < first + VectorTables::kRows;
            tables->slow[lo] |= (entry & kSlow) != 0 || !fastRow ? bit : 0;
            tables->keep[lo] |= (entry & kKeep) != 0 ? bit : 0;
            tables->says[lo] |= (entry & kSays) != 0 ? bit : 0;
            if (fastRow) {
                const auto out = static_cast<uint8_t>(entry & kOut);
                tables->lookup[h - first][lo] = out;
                tables->identity = tables->identity && ((entry & kSlow) != 0 || out == c);
            }
        }
        tables->crEnds = rules_.endsBlock[uint8_t(kCR)] ? ~uint64_t{0} : 0;
        tables->lfEnds = rules_.endsBlock[uint8_t(kLF)] ? ~uint64_t{0} : 0;
        tables->dropEmpty = rules_.dropEmpty;
        tables->eobSize = static_cast<unsigned>(eobOut_.size());
        std::copy(eobOut_.begin(), eobOut_.end(), tables->eob);
        // A single-byte EOB also replaces a lone LF, so it is always written.
        tables->replaceFirst = eobOut_.size() != 2 || tables->eob[0] != uint8_t(kCR);
        tables->replaceSecond = eobOut_.size() == 2 && tables->eob[1] != uint8_t(kLF);
        vector_ = std::move(tables);
    }
#endif
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

uint8_t* BlockStream::endBlock(uint8_t* o) {
    std::memcpy(o, eobOut_.data(), eobOut_.size());
    o += eobOut_.size();
    uint8_t* const begin = out_.data() + blockStart_;
    // The start block is a line of the program, as the operator chose it in
    // the program's text: empty blocks count here even though they are
    // dropped, so a restart never begins past the line that was marked.
    if (++lines_ < rules_.startBlock) {
        o = begin;
    } else if (rules_.dropEmpty && (says_ & kSays) == 0) {
        o = begin;
    } else {
        ++counted_;
        blockStart_ = static_cast<size_t>(o - out_.data());
    }
    inComment_ = false;
    says_ = 0;
    return o;
}

// A byte whose table entry says kSlow: not a plain character of the block.
uint8_t* BlockStream::slowByte(uint8_t* o, uint8_t raw) {
    if (rules_.skipped[raw]) {
        return o;
    }
    if (rules_.endsBlock[raw]) {
        pending_ = false;
        return endBlock(o);
    }
    const uint16_t entry = (inComment_ ? comment_ : normal_)[raw];
    *o = static_cast<uint8_t>(entry);
    o += (entry & kKeep) != 0 ? 1 : 0;
    says_ |= entry;
    inComment_ = !inComment_;
    pending_ = true;
    return o;
}

void BlockStream::feed(const void* data, size_t size) {
    if (size == 0) {
        return;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    const uint8_t* const end = p + size;
    // Worst case: every byte ends a block; the vector step may store up to
    // 8 bytes beyond what it keeps.
    uint8_t* o = ensureRoom(size * std::max<size_t>(eobOut_.size(), 1) + 64);
    if (skipLF_) {
        skipLF_ = false;
        if (*p == uint8_t(kLF)) {
            ++p;
        }
    }
    // The loop keeps its state in locals: stores through `o` may alias any
    // byte, so members would be reloaded after every character.
    const uint16_t* table = inComment_ ? comment_.data() : normal_.data();
    unsigned says = says_;
    bool pending = pending_;
    const bool vector = vector_ != nullptr;
    while (p != end) {
        // Blocks are ended 64 bytes at a time only once every block is written.
        if (vector && !inComment_ && end - p >= 64 && lines_ + 1 >= rules_.startBlock) {
            p += vectorRun(p, end, o, says, pending);
        }
        // Byte by byte, through the next byte that is not a plain character.
        while (p != end) {
            const uint8_t raw = *p++;
            const uint16_t entry = table[raw];
            if ((entry & kSlow) == 0) [[likely]] {
                *o = static_cast<uint8_t>(entry);
                o += (entry >> 8) & 1;
                says |= entry;
                pending = true;
                continue;
            }
            says_ = says;
            pending_ = pending;
            o = slowByte(o, raw);
            says = says_;
            pending = pending_;
            table = inComment_ ? comment_.data() : normal_.data();
            if (raw == uint8_t(kCR) && rules_.endsBlock[raw]) {
                if (p == end) {
                    skipLF_ = true;
                } else if (*p == uint8_t(kLF)) {
                    ++p;
                }
            }
            break;
        }
    }
    says_ = says;
    pending_ = pending;
    used_ = static_cast<size_t>(o - out_.data());
    flushIfFull();
}

#ifdef VORL_VECTOR_KERNEL
namespace {

#define VORL_AVX2 __attribute__((target("avx2,bmi,bmi2,popcnt")))
#define VORL_AVX2_INLINE __attribute__((target("avx2,bmi,bmi2,popcnt"), always_inline)) inline

VORL_AVX2_INLINE uint32_t byteMask(__m256i v) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(v));
}

// 16 bytes in both halves.
VORL_AVX2_INLINE __m256i row16(const uint8_t* bytes) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(bytes)));
}

// The bytes that belong to `set`: `low` holds their low nibbles, `bit` the
// bit of their row. Bytes above 127 have no row bit and come out as members;
// they are stops anyway.
VORL_AVX2_INLINE uint32_t members(__m256i set, __m256i low, __m256i bit) {
    const __m256i rows = _mm256_shuffle_epi8(set, low);
    return byteMask(_mm256_cmpeq_epi8(_mm256_and_si256(rows, bit), bit));
}

// The table lookup of the characters of rows 2 to 5 (other bytes give
// unspecified results): the four rows looked up by the low nibble, then bits 4
// and 5 of the character's place in those rows choose among them.
VORL_AVX2_INLINE __m256i translate(const __m256i (&lookup)[4], __m256i v) {
    const __m256i place = _mm256_sub_epi8(v, _mm256_set1_epi8(32));
    const __m256i bit4 = _mm256_slli_epi16(place, 3); // as the high bit of each byte
    const __m256i bit5 = _mm256_slli_epi16(place, 2);
    const __m256i rows23 = _mm256_blendv_epi8(_mm256_shuffle_epi8(lookup[0], place),
                                              _mm256_shuffle_epi8(lookup[1], place), bit4);
    const __m256i rows45 = _mm256_blendv_epi8(_mm256_shuffle_epi8(lookup[2], place),
                                              _mm256_shuffle_epi8(lookup[3], place), bit4);
    return _mm256_blendv_epi8(rows23, rows45, bit5);
}

// Stores the bytes of `bytes` selected by `keep` one after another at `o`
// (writing up to 8 bytes beyond them) and returns the end.
VORL_AVX2_INLINE uint8_t* pack(__m128i bytes, uint32_t keep, uint8_t* o) {
    const uint32_t low = keep & 0xFF;
    const uint32_t high = (keep >> 8) & 0xFF;
    const __m128i shuffle = _mm_castpd_si128(_mm_loadh_pd(
        _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kPack.shuffle[low]))),
        reinterpret_cast<const double*>(&kPackHigh.shuffle[high])));
    const __m128i packed = _mm_shuffle_epi8(bytes, shuffle);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), packed);
    o += std::popcount(low);
    // The high half straight from the register (a builtin store, no alignment).
    _mm_storeh_pi(reinterpret_cast<__m64*>(o), _mm_castsi128_ps(packed));
    return o + std::popcount(high);
}

} // namespace

// Bytes of value `fill` where `mask` has a bit, the others from `v`.
VORL_AVX2_INLINE __m256i replaceAt(__m256i v, uint32_t mask, uint8_t fill) {
    const __m256i byteOfBit = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2,
                                               2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bitOfByte = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    const __m256i bits = _mm256_and_si256(
        _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(mask)), byteOfBit), bitOfByte);
    return _mm256_blendv_epi8(v, _mm256_set1_epi8(static_cast<char>(fill)),
                              _mm256_cmpeq_epi8(bits, bitOfByte));
}

// The tables of VectorTables in registers.
struct VectorConstants {
    __m256i slowSet, keepSet, saysSet;
    __m256i lookup[4];
};

// What the 64 bytes at p are. Bit i of each mask stands for byte i.
struct Classified {
    __m256i v[2];
    uint64_t pairLf; // the LF of a CR LF pair
    uint64_t ends;   // line-end bytes: CR and LF that end blocks, pair LFs
    uint64_t starts; // where a block ends: a CR LF pair, a lone CR or LF
    uint64_t stop;   // bytes the slow path has to take
    uint64_t says;   // kept characters that say something
    uint64_t keep;   // characters the filter keeps
};

// The state the vector step carries from one run of bytes to the next.
struct VectorState {
    uint8_t* o;
    uint8_t* blockStart;
    int64_t counted;
    unsigned says;
    bool pending;
};

// Bits below position k, k up to 64.
VORL_AVX2_INLINE uint64_t bitsBelow(unsigned k) {
    return _bzhi_u64(~uint64_t{0}, k);
}

// The masks of 32 bytes, each in its half of a 64-bit mask.
struct HalfMasks {
    uint64_t cr, lf, high, slow, says, keep;
};

VORL_AVX2_INLINE void classifyHalf(__m256i v, const VectorConstants& c, unsigned shift,
                                   HalfMasks& m) {
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i rowBits = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0,
                                             1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i low = _mm256_and_si256(v, nibble);
    const __m256i bit =
        _mm256_shuffle_epi8(rowBits, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
    m.cr |= uint64_t{byteMask(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(kCR)))} << shift;
    m.lf |= uint64_t{byteMask(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(kLF)))} << shift;
    m.high |= uint64_t{byteMask(v)} << shift;
    m.slow |= uint64_t{members(c.slowSet, low, bit)} << shift;
    m.says |= uint64_t{members(c.saysSet, low, bit)} << shift;
    m.keep |= uint64_t{members(c.keepSet, low, bit)} << shift;
}

template <bool DropEmpty>
VORL_AVX2_INLINE Classified classify(const uint8_t* p, const BlockStream::VectorTables& t,
                                     const VectorConstants& c, unsigned saysBefore) {
    Classified k;
    k.v[0] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    k.v[1] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    HalfMasks m{};
    classifyHalf(k.v[0], c, 0, m);
    classifyHalf(k.v[1], c, 32, m);
    const uint64_t cr = m.cr & t.crEnds;
    k.pairLf = m.lf & (cr << 1);
    k.ends = cr | (m.lf & t.lfEnds) | k.pairLf;
    k.starts = k.ends & ~k.pairLf;
    // Above 127, slow other than a line end, a CR whose LF may be in the next
    // bytes, a lone line end that needs a two-byte EOB.
    k.stop = m.high | (m.slow & ~k.ends) | (cr >> 63 << 63) |
             (t.eobSize == 2 ? k.starts & ~(k.pairLf >> 1) : 0);
    k.says = m.says & ~k.ends;
    k.keep = m.keep & ~k.ends;
    if constexpr (DropEmpty) {
        // A block that is empty ends on the slow path, which drops it. A block
        // holds something when a carry from one of its characters that says
        // something (or from before these bytes) runs up through the other
        // bytes to its end: only line-end bytes stop a carry.
        const uint64_t reached = ~k.ends + k.says + ((saysBefore & kSaysBit) != 0 ? 1 : 0);
        k.stop |= k.starts & ~reached;
    }
    return k;
}

// Writes what the first n of the classified bytes give (none of them a stop).
template <bool Translate>
VORL_AVX2_INLINE void emit(const Classified& k, unsigned n, const BlockStream::VectorTables& t,
                           const VectorConstants& c, VectorState& s) {
    const uint64_t valid = bitsBelow(n);
    const uint64_t starts = k.starts & valid;
    const uint64_t startedLf = k.pairLf & (starts << 1);
    const uint64_t keep =
        (k.keep & valid) | (t.eobSize >= 1 ? starts : 0) | (t.eobSize == 2 ? startedLf : 0);
    uint8_t* const base = s.o;
    for (int half = 0; half < 2; ++half) {
        __m256i out = k.v[half];
        if constexpr (Translate) {
            out = translate(c.lookup, out);
        }
        const unsigned shift = 32 * half;
        if (t.replaceFirst) {
            out = replaceAt(out, static_cast<uint32_t>(starts >> shift), t.eob[0]);
        }
        if (t.replaceSecond) {
            out = replaceAt(out, static_cast<uint32_t>(startedLf >> shift), t.eob[1]);
        }
        const auto kept = static_cast<uint32_t>(keep >> shift);
        s.o = pack(_mm256_castsi256_si128(out), kept & 0xFFFF, s.o);
        s.o = pack(_mm256_extracti128_si256(out, 1), kept >> 16, s.o);
    }

    // Where the last block ended in these bytes, if one did.
    const unsigned lastStart = 63 - static_cast<unsigned>(std::countl_zero(starts | 1));
    const unsigned last = lastStart + 1 + static_cast<unsigned>((startedLf >> lastStart >> 1) & 1);
    const uint64_t says = k.says & valid;
    // Every block ended here is kept (an empty one to drop stops the step),
    // so each is a line and a counted block alike.
    s.counted += std::popcount(starts);
    // Selections rather than branches: whether a block ended here is anybody's
    // guess from one run of bytes to the next.
    const bool ended = starts != 0;
    uint8_t* const endOfLast = base + std::popcount(keep & bitsBelow(last));
    const unsigned saysAfter = (says & ~bitsBelow(last)) != 0 ? kSaysBit : 0;
    const unsigned saysAll = s.says | (says != 0 ? kSaysBit : 0);
    s.blockStart = ended ? endOfLast : s.blockStart;
    s.says = ended ? saysAfter : saysAll;
    s.pending = ended ? n > last : s.pending || n > 0;
}

// Takes 64 bytes at a time from p for as long as the slow path is not needed
// and returns how many bytes it took. The loop itself only takes whole runs
// of 64 bytes, so that the next load never waits for this one's result; the
// part of a run before a stop is written after it.
template <bool Translate, bool DropEmpty>
VORL_AVX2_INLINE size_t runVector(const uint8_t* const begin, const uint8_t* const end,
                                  const BlockStream::VectorTables& t, VectorState& s) {
    static_assert(BlockStream::VectorTables::kFirstRow == 2 &&
                  BlockStream::VectorTables::kRows == 4);
    const VectorConstants c{
        row16(t.slow),
        row16(t.keep),
        row16(t.says),
        {row16(t.lookup[0]), row16(t.lookup[1]), row16(t.lookup[2]), row16(t.lookup[3])}};
    const uint8_t* p = begin;
    while (end - p >= 64) {
        const Classified k = classify<DropEmpty>(p, t, c, s.says);
        if (k.stop != 0) [[unlikely]] {
            break;
        }
        emit<Translate>(k, 64, t, c, s);
        p += 64;
    }
    if (end - p >= 64) {
        const Classified k = classify<DropEmpty>(p, t, c, s.says);
        const auto n = static_cast<unsigned>(std::countr_zero(k.stop));
        emit<Translate>(k, n, t, c, s);
        p += n;
    }
    return static_cast<size_t>(p - begin);
}

VORL_AVX2 size_t BlockStream::vectorRun(const uint8_t* const begin, const uint8_t* const end,
                                        uint8_t*& oRef, unsigned& saysRef, bool& pendingRef) {
    const VectorTables& t = *vector_;
    VectorState s{oRef, out_.data() + blockStart_, counted_, saysRef, pendingRef};
    size_t n;
    if (t.identity) {
        n = t.dropEmpty ? runVector<false, true>(begin, end, t, s)
                        : runVector<false, false>(begin, end, t, s);
    } else {
        n = t.dropEmpty ? runVector<true, true>(begin, end, t, s)
                        : runVector<true, false>(begin, end, t, s);
    }
    oRef = s.o;
    saysRef = s.says;
    pendingRef = s.pending;
    lines_ += s.counted - counted_;
    counted_ = s.counted;
    blockStart_ = static_cast<size_t>(s.blockStart - out_.data());
    return n;
}
#else
size_t BlockStream::vectorRun(const uint8_t*, const uint8_t*, uint8_t*&, unsigned&, bool&) {
    return 0;
}
#endif

void BlockStream::finish() {
    skipLF_ = false;
    // A last line without a line end of which the filter kept nothing (a
    // control's End string, trailing NULs) is no block: it would leave an
    // empty one behind, one line end more than the program had.
    if (pending_ && used_ == blockStart_) {
        pending_ = false;
        inComment_ = false;
        says_ = 0;
        return;
    }
    if (pending_) {
        uint8_t* o = ensureRoom(eobOut_.size() + 4);
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
