#include "machines/config_file.h"

#include "platform/replaced_file.h"
#include "text/trim.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl {
namespace {

namespace fs = std::filesystem;

// A decimal integer; text that is not one (or does not fit 32 bits) gives 0.
int32_t parseNumber(std::string_view s) {
    s = Trim(s);
    size_t i = 0;
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        i = 1;
    }
    if (i == s.size()) {
        return 0;
    }
    int64_t value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return 0;
        }
        value = value * 10 + (s[i] - '0');
        if (value > int64_t{INT32_MAX} + 1) {
            return 0;
        }
    }
    value = negative ? -value : value;
    if (value > INT32_MAX || value < INT32_MIN) {
        return 0;
    }
    return static_cast<int32_t>(value);
}

// Up to five numbers of a "," separated list; `taken` is how many there were.
struct NumberList {
    std::array<int32_t, 5> values{};
    int taken = 0;
};

NumberList parseNumberList(std::string_view value) {
    NumberList list;
    std::string text(value);
    text += ',';
    size_t pos = 0;
    while (list.taken < 5) {
        const size_t comma = text.find(',', pos);
        if (comma == std::string::npos) {
            break;
        }
        list.values[static_cast<size_t>(list.taken++)] =
            parseNumber(std::string_view(text).substr(pos, comma - pos));
        pos = comma + 1;
    }
    return list;
}

int16_t to16(int32_t v) {
    return static_cast<int16_t>(v);
}

// Stores a number group; returns false when the count of numbers is wrong.
bool storeNumbers(int key, std::string_view value, MachineConfig& m) {
    const NumberList n = parseNumberList(value);
    const auto& v = n.values;
    int expected = 0;
    switch (key) {
    case 5: // PORTSPEED=
        m.port = to16(v[0]);
        m.baudRate = v[1];
        expected = 2;
        break;
    case 6: // BITS=
        m.dataBits = to16(v[0]);
        m.stopBits = to16(v[1]);
        m.parity = to16(v[2]);
        expected = 3;
        break;
    case 7: // SHAKEPROTO=
        m.handshake = to16(v[0]);
        m.protocol = to16(v[1]);
        expected = 2;
        break;
    case 8: // DELAYS=
        m.blockDelay = v[0];
        expected = 1;
        break;
    case 9: // EOBCC=
        m.eobMode = to16(v[0]);
        m.charCode = to16(v[1]);
        expected = 2;
        break;
    case 10: // FSPECDN=
        m.downloadStripNulls = to16(v[0]);
        m.downloadStripSpaces = to16(v[1]);
        m.downloadStripComments = to16(v[2]);
        expected = 3;
        break;
    case 11: // FSPECUP=
        m.uploadStripNulls = to16(v[0]);
        m.uploadStripSpaces = to16(v[1]);
        m.uploadStripComments = to16(v[2]);
        expected = 3;
        break;
    case 12: // LEADER=
        m.punchLeader = to16(v[0]);
        m.punchTrailer = to16(v[1]);
        m.leaderLength = to16(v[2]);
        expected = 3;
        break;
    default:
        return true;
    }
    return n.taken == expected;
}

int findKey(std::string_view key) {
    for (size_t i = 0; i < kConfigKeys.size(); ++i) {
        if (kConfigKeys[i] == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Reads lines that end with a line feed; a last line without one is never
// returned. Only the first kMaxReadLine characters of a line are kept.
class LineReader {
public:
    explicit LineReader(std::istream& in) : in_(in) {}

    std::optional<std::string> next() {
        std::string line;
        std::streambuf* buf = in_.rdbuf();
        for (;;) {
            const int c = buf->sbumpc();
            if (c == std::char_traits<char>::eof()) {
                return std::nullopt;
            }
            if (c == '\n') {
                return line;
            }
            if (line.size() < kMaxReadLine) {
                line.push_back(static_cast<char>(c));
            }
        }
    }

private:
    std::istream& in_;
};

// A name, directory, extension or capability letter is written as it is, all
// but the few bytes a line cannot carry as they are: a line feed would end the
// line, blanks and control characters at the end of a value are trimmed away
// with the line's end, and a "]" would end a name. Such a byte is written as a
// carriage return followed by the byte + 64 (a line feed as CR "J", a final
// blank as CR "`"), and a carriage return itself as CR "M". No file ever held
// a carriage return inside a value (the line's own CR LF end is trimmed), so
// older files read as they always did.
constexpr char kPlainEscape = '\r';

std::string plainValue(std::string_view s, bool name) {
    std::string out;
    out.reserve(s.size() + 2);
    for (size_t i = 0; i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        const bool escaped = b == '\n' || b == kPlainEscape || (name && b == ']') ||
                             (!name && i + 1 == s.size() && IsBlankOrControl(s[i]));
        if (escaped) {
            out += kPlainEscape;
            out += static_cast<char>((b + 64) & 0xFF);
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string plainBytes(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == kPlainEscape && i + 1 < value.size()) {
            out += static_cast<char>((static_cast<unsigned char>(value[++i]) + 256 - 64) & 0xFF);
        } else {
            out += value[i];
        }
    }
    return out;
}

// A value keeps at most as many bytes as fit a line after its key, counted
// after decoding: what the dialogs let through always comes back whole,
// however many of its bytes the file writes as pairs.
std::string limited(std::string bytes, size_t keyLength) {
    if (bytes.size() > kMaxConfigLine - keyLength) {
        bytes.resize(kMaxConfigLine - keyLength);
    }
    return bytes;
}

void appendLine(std::string& out, std::string_view key, std::string_view value) {
    out.append(key);
    out.append(value);
    out.push_back('\n');
}

void appendNumbers(std::string& out, std::string_view key, std::initializer_list<int32_t> nums) {
    out.append(key);
    bool first = true;
    for (int32_t n : nums) {
        if (!first) {
            out.push_back(',');
        }
        out.append(std::to_string(n));
        first = false;
    }
    out.push_back('\n');
}

} // namespace

int ReadConfiguration(const std::string& path, MachineList& list,
                      const ConfigDamageReport& onDamaged, int* stoppedAtLine) {
    if (stoppedAtLine != nullptr) {
        *stoppedAtLine = 0;
    }
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        return 0;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return 0;
    }
    if (file.peek() == 'M') {
        return 0;
    }
    LineReader reader(file);
    if (!reader.next()) {
        list.count = 0;
        return 0;
    }
    int section = -1;
    bool damageReported = false;
    int lineNumber = 1;
    const auto stop = [&] {
        if (stoppedAtLine != nullptr) {
            *stoppedAtLine = lineNumber;
        }
    };
    while (auto raw = reader.next()) {
        ++lineNumber;
        const std::string_view line = Trim(*raw);
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[') {
            if (section + 1 >= MachineList::kSlots) {
                stop();
                break; // the table is full: a 51st section ends the reading
            }
            ++section;
            // The name needs a "]" at the third position or later; "[]" leaves
            // the (empty) name of a fresh slot as it is.
            const size_t close = line.find(']');
            if (close != std::string_view::npos && close >= 2) {
                list[section].name = limited(plainBytes(line.substr(1, close - 1)), 2);
            }
            continue;
        }
        const size_t eq = line.find('=');
        const int key = eq == std::string_view::npos ? -1 : findKey(line.substr(0, eq + 1));
        if (key < 0) {
            stop();
            break; // stray text ends the reading; the sections read so far stay
        }
        if (section < 0) {
            continue; // a key line before the first section belongs to no machine
        }
        const std::string_view value = line.substr(eq + 1);
        if (value.empty()) {
            continue;
        }
        MachineConfig& m = list[section];
        const size_t keyLength = eq + 1;
        switch (key) {
        case 0:
            m.capability = plainBytes(value).front();
            break;
        case 1:
            m.downloadDirectory = limited(plainBytes(value), keyLength);
            break;
        case 2:
            m.uploadDirectory = limited(plainBytes(value), keyLength);
            break;
        case 3:
            m.downloadExtension = limited(plainBytes(value), keyLength);
            break;
        case 4:
            m.uploadExtension = limited(plainBytes(value), keyLength);
            break;
        case 13:
            m.downloadFilterChars = limited(DecodeControlText(value), keyLength);
            break;
        case 14:
            m.uploadFilterChars = limited(DecodeControlText(value), keyLength);
            break;
        default:
            if (key >= 15) {
                m.triggers[static_cast<size_t>(key - 15)] =
                    limited(DecodeControlText(value), keyLength);
            } else if (!storeNumbers(key, value, m) && !damageReported) {
                damageReported = true;
                if (onDamaged) {
                    onDamaged();
                }
            }
            break;
        }
    }
    list.count = section + 1;
    return list.count;
}

std::string FormatConfiguration(const MachineList& list) {
    std::string out;
    out.append(kConfigHeader);
    out.push_back('\n');
    const int count = std::min<int>(std::max(list.count, 0), MachineList::kSlots);
    for (int i = 0; i < count; ++i) {
        const MachineConfig& m = list[i];
        if (m.capability == '?') {
            continue;
        }
        out.push_back('[');
        out.append(plainValue(m.name, true));
        out.append("]\n");
        appendLine(out, kConfigKeys[0], plainValue(std::string(1, m.capability), false));
        const std::pair<int, const std::string*> strings[] = {{1, &m.downloadDirectory},
                                                              {2, &m.uploadDirectory},
                                                              {3, &m.downloadExtension},
                                                              {4, &m.uploadExtension}};
        for (const auto& [key, s] : strings) {
            if (!s->empty()) {
                appendLine(out, kConfigKeys[static_cast<size_t>(key)], plainValue(*s, false));
            }
        }
        appendNumbers(out, kConfigKeys[5], {m.port, m.baudRate});
        appendNumbers(out, kConfigKeys[6], {m.dataBits, m.stopBits, m.parity});
        appendNumbers(out, kConfigKeys[7], {m.handshake, m.protocol});
        appendNumbers(out, kConfigKeys[8], {m.blockDelay});
        appendNumbers(out, kConfigKeys[9], {m.eobMode, m.charCode});
        appendNumbers(out, kConfigKeys[10],
                      {m.downloadStripNulls, m.downloadStripSpaces, m.downloadStripComments});
        appendNumbers(out, kConfigKeys[11],
                      {m.uploadStripNulls, m.uploadStripSpaces, m.uploadStripComments});
        appendNumbers(out, kConfigKeys[12], {m.punchLeader, m.punchTrailer, m.leaderLength});
        if (!m.downloadFilterChars.empty()) {
            appendLine(out, kConfigKeys[13], EncodeControlText(m.downloadFilterChars));
        }
        if (!m.uploadFilterChars.empty()) {
            appendLine(out, kConfigKeys[14], EncodeControlText(m.uploadFilterChars));
        }
        for (size_t t = 0; t < m.triggers.size(); ++t) {
            if (!m.triggers[t].empty()) {
                appendLine(out, kConfigKeys[15 + t], EncodeControlText(m.triggers[t]));
            }
        }
    }
    return out;
}

namespace {

std::string backupName(const std::string& path, int n) {
    return path + ".bak" + (n == 1 ? std::string() : std::to_string(n));
}

std::optional<std::string> fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

bool writeAll(int fd, std::string_view content) {
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool ReplaceFileContent(const std::string& path, std::string_view content) {
    if (path.empty()) {
        return false;
    }
    // A machine file without write permission is still replaced (and keeps
    // its permissions), as it always was.
    ReplacedFile file(path, false);
    return file.open().empty() && writeAll(file.fd(), content) && file.commit().empty();
}

int WriteConfiguration(const std::string& path, const MachineList& list) {
    if (!ReplaceFileContent(path, FormatConfiguration(list))) {
        return -1;
    }
    return list.count;
}

std::optional<std::string> KeepUnreadableConfiguration(const std::string& path) {
    // (A missing file sets `ec` too: only the type found counts.)
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (!fs::exists(status) || fs::is_directory(path, ec)) {
        return std::string();
    }
    if (fs::is_regular_file(status) && fs::file_size(path, ec) == 0 && !ec) {
        return std::string();
    }
    for (int n = 1; n <= 9; ++n) {
        const std::string candidate = backupName(path, n);
        if (fs::exists(fs::symlink_status(candidate, ec))) {
            continue;
        }
        fs::rename(path, candidate, ec);
        if (ec) {
            return std::nullopt;
        }
        return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> KeepCopyOfConfiguration(const std::string& path) {
    const std::optional<std::string> content = fileContent(path);
    if (!content) {
        return std::nullopt;
    }
    std::error_code ec;
    for (int n = 1; n <= 9; ++n) {
        const std::string candidate = backupName(path, n);
        if (!fs::exists(fs::symlink_status(candidate, ec))) {
            if (!ReplaceFileContent(candidate, *content)) {
                return std::nullopt;
            }
            return candidate;
        }
        if (fileContent(candidate) == content) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::string_view DefaultConfiguration() {
    return "VORL Configuration File - Do Not Edit\n"
           "[]\n"
           "CAP=T\n"
           "PORTSPEED=1,4800\n"
           "BITS=8,1,0\n"
           "SHAKEPROTO=0,0\n"
           "DELAYS=0\n"
           "EOBCC=0,0\n"
           "FSPECDN=0,0,0\n"
           "FSPECUP=0,0,0\n"
           "LEADER=0,0,0\n";
}

bool WriteDefaultConfiguration(const std::string& path) {
    return ReplaceFileContent(path, DefaultConfiguration());
}

} // namespace vorl
