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

bool ConvertPrefix(std::string_view prefix, const MachineConfig& machine,
                   const TranslationTable& table, std::string& out, std::string& error) {
    out.clear();
    const bool eia = machine.isEia();
    FilterSettings filter = downloadFilter(machine);
    filter.stripComments = filter.stripComments || eia;
    const std::string eob(downloadEob(machine));
    int number = 0;
    while (!prefix.empty()) {
        // A CR LF pair, a lone CR and a lone LF each end a line.
        const size_t end = prefix.find_first_of("\r\n");
        const std::string_view line = prefix.substr(0, end);
        prefix.remove_prefix(end == std::string_view::npos ? prefix.size() : end + 1);
        if (end != std::string_view::npos && line.data()[end] == kCR && !prefix.empty() &&
            prefix.front() == kLF) {
            prefix.remove_prefix(1);
        }
        ++number;
        std::string block = std::string(line) + eob;
        if (filter.active()) {
            block = FilterBlock(block, filter);
        }
        if (filter.stripComments && IsEmptyBlock(block)) {
            continue;
        }
        if (eia) {
            for (char& c : block) {
                uint8_t code = table[static_cast<uint8_t>(c)];
                if (code == kNoEiaCode && c >= 'a' && c <= 'z') {
                    code = table[static_cast<uint8_t>(c - 'a' + 'A')];
                }
                if (code == kNoEiaCode) {
                    error = "Line " + std::to_string(number) + " of the prefix holds \"" +
                            std::string(1, c) +
                            "\", which has no EIA tape code: change the prefix before sending.";
                    out.clear();
                    return false;
                }
                c = static_cast<char>(code);
            }
        }
        out += block;
    }
    return true;
}

} // namespace vorl
