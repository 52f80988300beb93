#include "transfer/block_stream.h"

#include "transfer/block_filter.h"
#include "transfer/translation_table.h"

#include <gtest/gtest.h>

#include <random>

namespace vorl {
namespace {

class StringSink : public OutputSink {
public:
    void put(std::vector<uint8_t>& buffer, size_t size) override {
        text.append(reinterpret_cast<const char*>(buffer.data()), size);
    }
    std::string text;
};

// The block rules read plainly, the whole input at once.
std::string reference(const std::string& data, const BlockRules& rules, int* count = nullptr) {
    std::array<bool, 256> ends = rules.endsBlock;
    if (std::none_of(ends.begin(), ends.end(), [](bool b) { return b; })) {
        ends['\r'] = ends['\n'] = true;
    }
    std::vector<std::string> blocks;
    std::string block;
    bool pending = false;
    for (size_t i = 0; i < data.size(); ++i) {
        const auto b = static_cast<uint8_t>(data[i]);
        if (rules.skipped[b]) {
            continue;
        }
        if (ends[b]) {
            blocks.push_back(block);
            block.clear();
            pending = false;
            if (b == '\r' && i + 1 < data.size() && data[i + 1] == '\n') {
                ++i;
            }
            continue;
        }
        block += static_cast<char>(rules.toAscii != nullptr ? (*rules.toAscii)[b] : b);
        pending = true;
    }
    // A last line without a line end of which the filter keeps nothing is no
    // block.
    if (pending && (!rules.filter.active() || !FilterBlock(block, rules.filter).empty())) {
        blocks.push_back(block);
    }
    std::string out;
    int line = 0;
    int counted = 0;
    for (std::string b : blocks) {
        if (++line < rules.startBlock) {
            continue;
        }
        b += rules.eob;
        if (rules.filter.active()) {
            b = FilterBlock(b, rules.filter);
        }
        if (rules.dropEmpty && IsEmptyBlock(b)) {
            continue;
        }
        ++counted;
        if (rules.toTape != nullptr) {
            for (char& c : b) {
                c = static_cast<char>((*rules.toTape)[static_cast<uint8_t>(c)]);
            }
        }
        out += b;
    }
    if (count != nullptr) {
        *count = counted;
    }
    return out;
}

std::string run(const std::string& data, const BlockRules& rules, std::mt19937& random,
                int* blocks) {
    StringSink sink;
    BlockStream stream(rules, sink);
    size_t pos = 0;
    while (pos < data.size()) {
        const size_t n = std::min<size_t>(data.size() - pos, 1 + random() % 300);
        stream.feed(data.data() + pos, n);
        pos += n;
    }
    stream.finish();
    stream.flush();
    EXPECT_EQ(stream.bytesWritten(), static_cast<int64_t>(sink.text.size()));
    *blocks = static_cast<int>(stream.blocksCounted());
    return sink.text;
}

// Lines of a program with the things that need care mixed in: comments,
// blanks, sequence-number-only lines, every kind of line end, NULs, tabs,
// lower case and bytes above 127.
std::string randomProgram(std::mt19937& random) {
    static const char* const kWords[] = {
        "N10", " ",  "  ",       "G01", "X-12.5", "Y3.75", "Z0.",   "F250.", "(ROUGH CUT)",
        "(",   ")",  "\r\n",     "\r",  "\n",     "\r\n",  "\n",    "%",     ";",
        "\t",  "m3", "\xC3\xA9", "M30", "#1",     "/N20",  "S1200",
    };
    std::string program;
    const int words = static_cast<int>(random() % 600);
    for (int i = 0; i < words; ++i) {
        const unsigned pick = random() % 40;
        if (pick < std::size(kWords)) {
            program += kWords[pick];
        } else if (pick < 38) {
            program +=
                "X" + std::to_string(random() % 100000) + "." + std::to_string(random() % 1000);
        } else if (pick == 38) {
            program += std::string(1 + random() % 3, '\0');
        } else {
            program += "\r\n";
        }
    }
    return program;
}

TEST(BlockStream, MatchesThePlainRulesHoweverTheInputIsCut) {
    std::mt19937 random(4711);
    const TranslationTable tape = BuiltInTranslationTable();
    const EiaReader reader = InverseTranslation(tape);
    const char* const kLists[] = {"", ";", "%;", "\r", "\n", "\r\n", "X"};
    const char* const kEobs[] = {"\r\n", "\r", "\n", ""};
    for (int round = 0; round < 400; ++round) {
        BlockRules rules;
        rules.filter.stripNulls = random() % 2;
        rules.filter.stripSpaces = random() % 2;
        rules.filter.stripComments = random() % 2;
        rules.filter.filterChars = kLists[random() % std::size(kLists)];
        rules.eob = kEobs[random() % std::size(kEobs)];
        rules.dropEmpty = random() % 2;
        rules.startBlock = random() % 3 == 0 ? static_cast<int>(random() % 8) : 0;
        std::string data = randomProgram(random);
        switch (random() % 3) {
        case 0: // download, ASCII
            break;
        case 1: // download, EIA
            rules.toTape = &tape;
            break;
        case 2: // upload, EIA: a punched program with stray bytes
            for (char& c : data) {
                if (random() % 50 != 0) {
                    c = static_cast<char>(tape[static_cast<uint8_t>(c)]);
                }
            }
            rules.toAscii = &reader.toAscii;
            rules.endsBlock = reader.endsBlock;
            rules.skipped = reader.skipped;
            break;
        }
        int expectedBlocks = 0;
        int blocks = 0;
        const std::string expected = reference(data, rules, &expectedBlocks);
        rules.vector = true;
        ASSERT_EQ(run(data, rules, random, &blocks), expected) << "round " << round;
        ASSERT_EQ(blocks, expectedBlocks) << "round " << round;
        rules.vector = false;
        ASSERT_EQ(run(data, rules, random, &blocks), expected)
            << "round " << round << " byte by byte";
        ASSERT_EQ(blocks, expectedBlocks) << "round " << round;
    }
}

TEST(BlockStream, LastLineWithoutLineEnd) {
    // Whatever the length, the last line gets its EOB, also when it ends
    // exactly where a run of 32 bytes does.
    std::mt19937 random(1);
    BlockRules rules;
    rules.eob = "\r";
    for (size_t size = 1; size < 100; ++size) {
        std::string data(size, 'G');
        data[size / 3] = '\n';
        StringSink sink;
        BlockStream stream(rules, sink);
        stream.feed(data.data(), data.size());
        stream.finish();
        stream.flush();
        ASSERT_EQ(sink.text, reference(data, rules)) << size;
        ASSERT_EQ(sink.text.back(), '\r');
    }
}

TEST(BlockStream, LongBlocksAndRawBytes) {
    std::mt19937 random(7);
    BlockRules rules;
    rules.filter.stripSpaces = true;
    rules.eob = "\r\n";
    // A block far longer than the output buffer, and raw leader bytes.
    std::string data(3u << 20, 'G');
    for (size_t i = 0; i < data.size(); i += 7) {
        data[i] = ' ';
    }
    StringSink sink;
    BlockStream stream(rules, sink);
    stream.appendZeros(5);
    stream.feed(data.data(), data.size());
    stream.finish();
    stream.append("%", 1);
    stream.flush();
    std::string expected(5, '\0');
    expected += reference(data, rules) + "%";
    EXPECT_EQ(sink.text.size(), expected.size());
    EXPECT_TRUE(sink.text == expected);
    EXPECT_EQ(stream.blocksCounted(), 1);
}

} // namespace
} // namespace vorl
