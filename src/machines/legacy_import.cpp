#include "machines/legacy_import.h"

#include <cstdint>
#include <filesystem>
#include <fstream>

namespace vorl {
namespace {

constexpr int16_t kMaxLegacyString = 60;

// Reads from the file with its length known, so no read passes its end.
class LegacyReader {
public:
    LegacyReader(std::ifstream& in, uint64_t length) : in_(in), remaining_(length) {}

    bool atEnd() const { return remaining_ == 0; }

    bool bytes(char* out, uint64_t n) {
        if (n > remaining_) {
            cutShort_ = true;
            return false;
        }
        if (n > 0 && !in_.read(out, static_cast<std::streamsize>(n))) {
            cutShort_ = true;
            return false;
        }
        remaining_ -= n;
        return true;
    }

    template <typename T> bool number(T& out) {
        unsigned char raw[sizeof(T)];
        if (!bytes(reinterpret_cast<char*>(raw), sizeof(T))) {
            return false;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            v |= uint64_t{raw[i]} << (8 * i);
        }
        out = static_cast<T>(v);
        return true;
    }

    bool string(std::string& out) {
        int16_t length = 0;
        if (!number(length)) {
            return false;
        }
        if (length < 0 || length > kMaxLegacyString) {
            badLength_ = true;
            return false;
        }
        out.assign(static_cast<size_t>(length), '\0');
        return bytes(out.data(), static_cast<uint64_t>(length));
    }

    bool badLength() const { return badLength_; }
    bool cutShort() const { return cutShort_; }

private:
    std::ifstream& in_;
    uint64_t remaining_;
    bool badLength_ = false;
    bool cutShort_ = false;
};

bool readRecord(LegacyReader& r, MachineConfig& m) {
    char cap = 0;
    if (!r.bytes(&cap, 1)) {
        return false;
    }
    m.capability = cap;
    for (std::string* s : {&m.name, &m.uploadExtension, &m.downloadExtension, &m.uploadDirectory,
                           &m.downloadDirectory}) {
        if (!r.string(*s)) {
            return false;
        }
    }
    if (!r.number(m.port) || !r.number(m.baudRate)) {
        return false;
    }
    for (int16_t* f : {&m.dataBits, &m.stopBits, &m.parity, &m.handshake, &m.protocol}) {
        if (!r.number(*f)) {
            return false;
        }
    }
    if (!r.number(m.blockDelay)) {
        return false;
    }
    for (int16_t* f : {&m.eobMode, &m.charCode, &m.downloadStripNulls, &m.downloadStripSpaces,
                       &m.downloadStripComments, &m.uploadStripNulls, &m.uploadStripSpaces,
                       &m.uploadStripComments, &m.punchLeader, &m.punchTrailer, &m.leaderLength}) {
        if (!r.number(*f)) {
            return false;
        }
    }
    if (!r.string(m.downloadFilterChars) || !r.string(m.uploadFilterChars)) {
        return false;
    }
    for (std::string& t : m.triggers) {
        if (!r.string(t)) {
            return false;
        }
    }
    return true;
}

} // namespace

LegacyImportResult ImportLegacyConfiguration(const std::string& path, MachineList& list) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return {-1, LegacyImportStatus::CannotOpen};
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {-1, LegacyImportStatus::CannotOpen};
    }
    file.seekg(0, std::ios::end);
    const std::streamoff length = file.tellg();
    file.seekg(0, std::ios::beg);
    if (length < 0 || !file) {
        return {-1, LegacyImportStatus::CannotOpen};
    }
    LegacyReader reader(file, static_cast<uint64_t>(length));

    // The records are read into a scratch table first: a fatal length must
    // leave the machine table as it was.
    MachineList read;
    int taken = 0;
    char ignored = 0;
    bool damaged = !reader.bytes(&ignored, 1);
    while (!damaged) {
        MachineConfig record;
        if (!readRecord(reader, record)) {
            if (reader.badLength()) {
                return {0, LegacyImportStatus::Fatal};
            }
            damaged = true;
            break;
        }
        read[taken++] = std::move(record);
        if (reader.atEnd()) {
            break;
        }
        if (taken == MachineList::kSlots) {
            damaged = true; // more records than the table holds
            break;
        }
    }
    for (int i = 0; i < taken; ++i) {
        list[i] = std::move(read[i]);
    }
    list.count = taken;
    return {taken, damaged ? LegacyImportStatus::Damaged : LegacyImportStatus::Ok};
}

} // namespace vorl
