// The legacy binary configuration import on arbitrary bytes: never past the
// table, never past the end of the file.
#include "machines/legacy_import.h"

#include "fuzz_file.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzInputFile("legacy", data, size);
    vorl::MachineList list;
    const vorl::LegacyImportResult r = vorl::ImportLegacyConfiguration(path, list);
    if (r.count < 0 || r.count > vorl::MachineList::kSlots) {
        std::abort();
    }
    if (r.status != vorl::LegacyImportStatus::Fatal && list.count != r.count) {
        std::abort();
    }
    for (int i = 0; i < r.count; ++i) {
        for (const std::string* s : {&list[i].name, &list[i].downloadDirectory}) {
            if (s->size() > 60) {
                std::abort();
            }
        }
    }
    return 0;
}
