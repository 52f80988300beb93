// The configuration file reader on arbitrary bytes: it must stay inside the
// table, and what it read must survive a write and a second read.
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
        // The writer's output must read back to the same sections (less the
        // deleted ones, which it leaves out).
        int kept = 0;
        for (int i = 0; i < n; ++i) {
            kept += list[i].capability != '?';
        }
        const std::string text = vorl::FormatConfiguration(list);
        const std::string copy = fuzzInputFile(
            "config-again", reinterpret_cast<const uint8_t*>(text.data()), text.size());
        vorl::MachineList again;
        if (vorl::ReadConfiguration(copy, again) != kept) {
            std::abort();
        }
    }
    return 0;
}
