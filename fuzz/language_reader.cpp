// The language file reader on arbitrary bytes.
#include "text/language_table.h"

#include "fuzz_file.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzInputFile("language", data, size);
    vorl::LanguageTable table;
    if (table.LoadLanguageFile(path) != "OK") {
        std::abort();
    }
    if (table.HasText(0)) {
        std::abort(); // entry 0 is never set
    }
    for (int id = 1; id < vorl::LanguageTable::kSize; ++id) {
        if (table.GetText(id).size() > 399) {
            std::abort();
        }
    }
    return 0;
}
