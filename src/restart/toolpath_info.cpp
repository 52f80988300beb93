#include "restart/toolpath_info.h"

#include <cmath>
#include <cstdio>

namespace vorl {
namespace {

constexpr double kInch = 25.4;

double shown(const Toolpath& path, double mm) {
    return path.inch ? mm / kInch : mm;
}

// A length in the program's units: 3 decimals in millimetres, 4 in inches,
// without trailing zeros.
std::string number(const Toolpath& path, double mm) {
    char text[64];
    std::snprintf(text, sizeof text, path.inch ? "%.4f" : "%.3f", shown(path, mm));
    std::string s = text;
    while (s.find('.') != std::string::npos && (s.back() == '0' || s.back() == '.')) {
        const bool point = s.back() == '.';
        s.pop_back();
        if (point) {
            break;
        }
    }
    return s == "-0" ? "0" : s;
}

const char* unitName(const Toolpath& path) {
    return path.inch ? "in" : "mm";
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string toolName(const PathTool& tool) {
    return tool.word.empty() ? std::string("no tool") : tool.word;
}

} // namespace

std::string GroupedNumber(long long value) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return value < 0 ? "-" + digits : digits;
}

std::string RunTimeText(double seconds) {
    const auto whole = static_cast<long long>(std::ceil(std::max(0.0, seconds) - 1e-6));
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
    return text;
}

std::string UnknownPathText(const Toolpath& path) {
    if (path.unknownFrom == 0) {
        return {};
    }
    return "path unknown from block " + GroupedNumber(path.unknownFrom) + ": " + path.unknownWhy;
}

std::string ExtentsText(const Toolpath& path) {
    if (!path.extents.any) {
        return "no moves drawn";
    }
    std::string text;
    for (int i = 0; i < 3; ++i) {
        text += i == 0 ? "" : ", ";
        text += "XYZ"[i];
        text +=
            " " + number(path, path.extents.min[i]) + " to " + number(path, path.extents.max[i]);
    }
    return text + " " + unitName(path);
}

std::string RunTimeSummary(const Toolpath& path) {
    if (!path.timeKnown) {
        return "not known: " + path.timeWhy;
    }
    return "about " + RunTimeText(path.seconds());
}

std::string ToolpathInfoText(const Toolpath& path, const std::string& name) {
    std::string t;
    t += "Program:  " + name + " (" + GroupedNumber(path.blocks) + " blocks, " +
         (path.inch ? "inch" : "metric") + ")\n";
    t += "Extents:  " + ExtentsText(path) + "\n";
    t += "Feed:     " + GroupedNumber(path.feedMoves) + " moves (" + GroupedNumber(path.arcMoves) +
         " arcs), " + number(path, path.feedLength) + " " + unitName(path) + "\n";
    t += "Rapid:    " + GroupedNumber(path.rapidMoves) + " moves, " +
         number(path, path.rapidLength) + " " + unitName(path) + "\n";
    t += "Holes:    " + GroupedNumber(path.holeCount) + "\n";
    t += "Tools:    ";
    for (size_t i = 0; i < path.tools.size(); ++i) {
        const PathTool& tool = path.tools[i];
        t += (i == 0 ? "" : ", ") + toolName(tool);
        if (tool.firstBlock > 0) {
            t += " (block " + GroupedNumber(tool.firstBlock) + ")";
        }
    }
    t += path.tools.empty() ? "none\n" : "\n";
    t += "Run time: " + RunTimeSummary(path);
    if (path.timeKnown) {
        char rate[64];
        std::snprintf(rate, sizeof rate, "%.0f", shown(path, path.rapidRate));
        t += " (feed " + RunTimeText(path.feedSeconds) + ", rapid " +
             RunTimeText(path.rapidSeconds) + " at " + GroupedNumber(std::atoll(rate)) + " " +
             unitName(path) + "/min, dwell " + RunTimeText(path.dwellSeconds) + ")";
    }
    t += "\n";
    if (path.unknownFrom != 0) {
        std::string unknown = UnknownPathText(path);
        unknown[0] = 'P';
        t += unknown + "\n";
    }
    for (const std::string& note : path.notes) {
        t += "Note:     " + note + "\n";
    }
    return t;
}

std::string ToolpathInfoJson(const Toolpath& path, const std::string& name) {
    std::string j = "{\"program\":" + jsonString(name);
    j += ",\"units\":\"" + std::string(path.inch ? "inch" : "mm") + "\"";
    j += ",\"blocks\":" + std::to_string(path.blocks);
    j += ",\"extents\":";
    if (path.extents.any) {
        j += "{";
        for (int i = 0; i < 3; ++i) {
            j += std::string(i == 0 ? "" : ",") + "\"" + "xyz"[i] + "\":[" +
                 number(path, path.extents.min[i]) + "," + number(path, path.extents.max[i]) + "]";
        }
        j += "}";
    } else {
        j += "null";
    }
    j += ",\"feedMoves\":" + std::to_string(path.feedMoves);
    j += ",\"arcMoves\":" + std::to_string(path.arcMoves);
    j += ",\"rapidMoves\":" + std::to_string(path.rapidMoves);
    j += ",\"holes\":" + std::to_string(path.holeCount);
    j += ",\"feedLength\":" + number(path, path.feedLength);
    j += ",\"rapidLength\":" + number(path, path.rapidLength);
    j += ",\"tools\":[";
    for (size_t i = 0; i < path.tools.size(); ++i) {
        j += std::string(i == 0 ? "" : ",") + "{\"tool\":" + jsonString(path.tools[i].word) +
             ",\"block\":" + std::to_string(path.tools[i].firstBlock) +
             ",\"feedLength\":" + number(path, path.tools[i].feedLength) + "}";
    }
    j += "]";
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.1f", path.seconds());
    j += ",\"runTimeSeconds\":" + std::string(path.timeKnown ? seconds : "null");
    j += ",\"runTimeWhy\":" + (path.timeKnown ? std::string("null") : jsonString(path.timeWhy));
    std::snprintf(seconds, sizeof seconds, "%.0f", shown(path, path.rapidRate));
    j += ",\"rapidRate\":" + std::string(seconds);
    j += ",\"unknownFrom\":" + std::to_string(path.unknownFrom);
    j += ",\"unknownWhy\":" +
         (path.unknownFrom == 0 ? std::string("null") : jsonString(path.unknownWhy));
    j += ",\"notes\":[";
    for (size_t i = 0; i < path.notes.size(); ++i) {
        j += (i == 0 ? "" : ",") + jsonString(path.notes[i]);
    }
    return j + "]}\n";
}

std::string ToolpathDescription(const Toolpath& path) {
    std::string d = "Extents " + ExtentsText(path) + ". " + GroupedNumber(path.feedMoves) +
                    " feed moves, " + GroupedNumber(path.rapidMoves) + " rapids, " +
                    GroupedNumber(path.holeCount) + " holes, " +
                    GroupedNumber(static_cast<long long>(path.tools.size())) + " tools. Run time " +
                    RunTimeSummary(path) + ".";
    if (path.unknownFrom != 0) {
        std::string unknown = UnknownPathText(path);
        unknown[0] = 'P';
        d += " " + unknown + ".";
    }
    return d;
}

} // namespace vorl
