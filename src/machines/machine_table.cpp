#include "machines/machine_table.h"

#include <algorithm>
#include <memory>

namespace vorl {
namespace {

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int usedSlots(const MachineList& list) {
    return std::clamp(list.count, 0, MachineList::kSlots);
}

template <typename Pred>
std::vector<MachineMenuEntry> entries(const MachineList& list, std::string_view prefix, Pred pred) {
    std::vector<MachineMenuEntry> out;
    for (int i = 0; i < usedSlots(list); ++i) {
        if (pred(list[i])) {
            out.push_back({std::string(prefix) + list[i].name, i});
        }
    }
    return out;
}

} // namespace

MachineConfig NewMachineDefaults() {
    MachineConfig m;
    m.capability = 'D';
    m.uploadExtension = ".ncc";
    m.downloadExtension = ".ncc";
    m.port = 2;
    m.baudRate = 4800;
    m.dataBits = 8;
    m.stopBits = 1;
    return m;
}

int ColumnBreakIndex(int items) {
    return items >= 26 ? (items + 1) / 2 : -1;
}

std::vector<MachineMenuEntry> EditMachineEntries(const MachineList& list) {
    return entries(list, {}, [](const MachineConfig& m) { return m.isEditable(); });
}

std::vector<MachineMenuEntry> DownloadMachineEntries(const MachineList& list,
                                                     std::string_view prefix) {
    return entries(list, prefix, [](const MachineConfig& m) { return m.canDownload(); });
}

std::vector<MachineMenuEntry> UploadMachineEntries(const MachineList& list,
                                                   std::string_view prefix) {
    return entries(list, prefix, [](const MachineConfig& m) { return m.canUpload(); });
}

std::vector<int> CommandLineMachineCandidates(const MachineList& list, std::string_view prefix,
                                              bool upload) {
    std::vector<int> found;
    for (int i = 0; i < usedSlots(list); ++i) {
        const MachineConfig& m = list[i];
        if (!(upload ? m.canUpload() : m.canDownload()) || m.name.size() < prefix.size()) {
            continue;
        }
        if (std::equal(prefix.begin(), prefix.end(), m.name.begin(),
                       [](char a, char b) { return upper(a) == upper(b); })) {
            found.push_back(i);
        }
    }
    return found;
}

int ChooseCommandLineMachine(const MachineList& list, std::string_view prefix) {
    const std::vector<int> found = CommandLineMachineCandidates(list, prefix);
    return found.size() == 1 ? found.front() : 0; // none, or ambiguous: select none
}

void CompactMachineList(MachineList& list) {
    const int used = usedSlots(list);
    int kept = 0;
    int selected = 0;
    for (int i = 0; i < used; ++i) {
        if (list[i].capability == '?') {
            continue;
        }
        if (i == list.selected) {
            selected = kept;
        }
        if (kept != i) {
            list[kept] = std::move(list[i]);
        }
        ++kept;
    }
    for (int i = kept; i < used; ++i) {
        list[i] = MachineConfig{};
    }
    list.count = kept;
    list.selected = selected;
}

SaveAndReloadResult SaveAndReloadMachines(const std::string& path, MachineList& list,
                                          const ConfigDamageReport& onDamaged) {
    SaveAndReloadResult result;
    const MachineList before = list;
    CompactMachineList(list);
    result.written = WriteConfiguration(path, list) >= 0;
    auto reread = std::make_unique<MachineList>();
    result.sections = ReadConfiguration(path, *reread, onDamaged, &result.stoppedAtLine);
    if (result.sections == 0) {
        list = before;
        return result;
    }
    reread->selected = 0;
    if (result.written) {
        reread->selected = list.selected;
    } else if (list.selected > 0 && list.selected < list.count) {
        const std::string& name = list[list.selected].name;
        int matches = 0;
        for (int i = 1; i < reread->count; ++i) {
            if ((*reread)[i].isEditable() && (*reread)[i].name == name) {
                reread->selected = i;
                ++matches;
            }
        }
        if (matches != 1) {
            reread->selected = 0;
        }
    }
    list = std::move(*reread);
    return result;
}

} // namespace vorl
