#include "transfer/block_filter.h"

namespace vorl {

FilterSettings downloadFilter(const MachineConfig& machine) {
    return {machine.downloadStripNulls != 0, machine.downloadStripSpaces != 0,
            machine.downloadStripComments != 0, machine.downloadFilterChars};
}

FilterSettings uploadFilter(const MachineConfig& machine) {
    return {machine.uploadStripNulls != 0, machine.uploadStripSpaces != 0,
            machine.uploadStripComments != 0, machine.uploadFilterChars};
}

std::string_view asciiEob(const MachineConfig& machine) {
    return machine.eobBytes();
}

std::string_view downloadEob(const MachineConfig& machine) {
    return machine.isEia() ? std::string_view("\r") : asciiEob(machine);
}

uint8_t downloadEolChar(const MachineConfig& machine, const TranslationTable& table) {
    if (machine.isEia()) {
        return table[static_cast<uint8_t>(kCR)];
    }
    return machine.eobBytes().back(); // LF, or CR where a CR alone ends a block
}

bool filterCharacter(const FilterSettings& filter, bool& inComment, uint8_t c) {
    if (filter.stripNulls && c == 0) {
        return false;
    }
    if (filter.stripSpaces && c == ' ' && !inComment) {
        return false;
    }
    if (c == '(') {
        inComment = true;
    }
    const bool closing = c == ')' && inComment && filter.stripComments;
    if (c == ')' || c == uint8_t(kCR) || c == uint8_t(kLF)) {
        inComment = false;
    }
    if (inComment && filter.stripComments) {
        return false;
    }
    if (c != 0 && filter.filterChars.find(static_cast<char>(c)) != std::string::npos) {
        return false;
    }
    return !closing;
}

std::string FilterBlock(std::string_view block, const FilterSettings& filter) {
    std::string out;
    out.reserve(block.size());
    bool inComment = false;
    for (char c : block) {
        if (filterCharacter(filter, inComment, static_cast<uint8_t>(c))) {
            out.push_back(c);
        }
    }
    return out;
}

bool IsEmptyBlock(std::string_view block) {
    static constexpr std::string_view kNothing("0123456789)Nn \r\n\0", 17);
    for (char c : block) {
        if (kNothing.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

std::string ConvertPrefix(std::string_view prefix, const MachineConfig& machine,
                          const TranslationTable& table) {
    std::string out;
    out.reserve(prefix.size() + 2);
    for (char c : prefix) {
        // A line end of the other kind than the machine's end of block goes.
        if ((c == kLF || c == kCR) && asciiEob(machine).find(c) == std::string_view::npos) {
            continue;
        }
        out.push_back(c);
    }
    if (!out.empty() && out.back() != kCR && out.back() != kLF) {
        out += asciiEob(machine);
    }
    if (machine.isEia()) {
        for (char& c : out) {
            c = static_cast<char>(table[static_cast<uint8_t>(c)]);
        }
    }
    return out;
}

} // namespace vorl
