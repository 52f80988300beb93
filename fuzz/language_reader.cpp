// The language file reader on arbitrary bytes: every text it keeps is valid
// UTF-8 of at most 399 characters, whatever the line's encoding, and a file
// in UTF-8 gives texts that are pieces of it (never a character cut in two
// and the rest taken for another code page).
#include "text/language_table.h"

#include "fuzz_file.h"

#include <cstdlib>

namespace {

// The number of characters of `s`, or -1 when it is not valid UTF-8.
long utf8Characters(const std::string& s) {
    long count = 0;
    for (size_t i = 0; i < s.size(); ++count) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t length = c < 0x80                 ? 1
                        : c >= 0xC2 && c <= 0xDF ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
        if (length == 0 || i + length > s.size()) {
            return -1;
        }
        char32_t u = length == 1 ? c : c & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) {
                return -1;
            }
            u = (u << 6) | (t & 0x3F);
        }
        const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if ((length > 1 && u < least) || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) {
            return -1;
        }
        i += length;
    }
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzInputFile("language", data, size);
    vorl::LanguageTable table;
    if (table.LoadLanguageFile(path) != "OK") {
        std::abort();
    }
    if (table.HasText(0)) {
        std::abort(); // entry 0 is never set
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    const bool inputIsUtf8 = utf8Characters(input) >= 0;
    for (int id = 1; id < vorl::LanguageTable::kSize; ++id) {
        const std::string& text = table.GetText(id);
        const long characters = utf8Characters(text);
        if (characters < 0 || characters > 399) {
            std::abort();
        }
        if (inputIsUtf8 && input.find(text) == std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
