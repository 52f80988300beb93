// Builds legacy binary configuration files byte by byte, little-endian, the
// way the older program dumped its machine table.
#pragma once

#include "machines/machine_config.h"

#include <cstdint>
#include <string>

namespace vorl::test {

class LegacyBuilder {
public:
    LegacyBuilder() { bytes_.push_back('\x01'); } // the leading byte of no meaning

    LegacyBuilder& u8(uint8_t v) {
        bytes_.push_back(static_cast<char>(v));
        return *this;
    }
    LegacyBuilder& i16(int16_t v) {
        const auto u = static_cast<uint16_t>(v);
        return u8(u & 0xFF).u8(u >> 8);
    }
    LegacyBuilder& i32(int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        return u8(u & 0xFF).u8((u >> 8) & 0xFF).u8((u >> 16) & 0xFF).u8(u >> 24);
    }
    LegacyBuilder& str(const std::string& s) {
        i16(static_cast<int16_t>(s.size()));
        bytes_ += s;
        return *this;
    }
    // A string with a length field that does not match its bytes.
    LegacyBuilder& badLength(int16_t length) { return i16(length); }

    LegacyBuilder& record(const MachineConfig& m) {
        u8(static_cast<uint8_t>(m.capability));
        str(m.name).str(m.uploadExtension).str(m.downloadExtension);
        str(m.uploadDirectory).str(m.downloadDirectory);
        i16(m.port).i32(m.baudRate);
        i16(m.dataBits).i16(m.stopBits).i16(m.parity).i16(m.handshake).i16(m.protocol);
        i32(m.blockDelay);
        i16(m.eobMode).i16(m.charCode);
        i16(m.downloadStripNulls).i16(m.downloadStripSpaces).i16(m.downloadStripComments);
        i16(m.uploadStripNulls).i16(m.uploadStripSpaces).i16(m.uploadStripComments);
        i16(m.punchLeader).i16(m.punchTrailer).i16(m.leaderLength);
        str(m.downloadFilterChars).str(m.uploadFilterChars);
        for (const auto& t : m.triggers) {
            str(t);
        }
        return *this;
    }

    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

} // namespace vorl::test
