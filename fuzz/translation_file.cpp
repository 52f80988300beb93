// Translation files are written by hand and may hold anything. Reading one
// must never touch memory outside the table, and since every line sets an
// entry to a fixed value, reading the same file twice must give the same table
// as reading it once. The inverse table must stay consistent with the table.
#include "transfer/translation_table.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vorl::TranslationTable once = vorl::BuiltInTranslationTable();
    vorl::ReadTranslationFile(text, once);
    vorl::TranslationTable twice = once;
    vorl::ReadTranslationFile(text, twice);
    if (once != twice) {
        __builtin_trap();
    }
    const vorl::EiaReader reader = vorl::InverseTranslation(once);
    for (int c = 0; c < 256; ++c) {
        const uint8_t code = once[static_cast<size_t>(c)];
        if (code == vorl::kNoEiaCode || code == 0 || reader.endsBlock[code]) {
            continue;
        }
        // The code reads back as a character that is punched as that code.
        if (once[reader.toAscii[code]] != code) {
            __builtin_trap();
        }
    }
    return 0;
}
