// The configuration file reader on arbitrary bytes: it must stay inside the
// table, and what it read must survive a write and a second read exactly,
// every field of every machine.
#include "machines/config_file.h"

#include "fuzz_file.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzInputFile("config", data, size);
    vorl::MachineList list;
    const int n = vorl::ReadConfiguration(path, list, [] {});
    if (n < 0 || n > vorl::MachineList::kSlots || (n > 0 && list.count != n)) {
        std::abort();
    }
    if (n > 0) {
        // The writer leaves the deleted sections out.
        const std::string text = vorl::FormatConfiguration(list);
        const std::string copy = fuzzInputFile(
            "config-again", reinterpret_cast<const uint8_t*>(text.data()), text.size());
        vorl::MachineList again;
        const int m = vorl::ReadConfiguration(copy, again);
        int kept = 0;
        for (int i = 0; i < n; ++i) {
            if (list[i].capability == '?') {
                continue;
            }
            if (kept >= m || !(again[kept] == list[i])) {
                std::abort();
            }
            ++kept;
        }
        if (m != kept) {
            std::abort();
        }
    }
    return 0;
}
