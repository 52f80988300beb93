// One machine tool's settings (one section of the configuration file) and the
// machine table the main window keeps them in.
//
// Strings are raw bytes as the file and the line carry them; trigger and filter
// strings may hold control characters (stored in the file in caret notation).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorl {

// Index of the eight trigger strings of a machine. An empty string means the
// step is skipped.
enum TriggerIndex : int {
    DownloadStart = 0, // sent to the controller to make it start receiving
    DownloadReady = 1, // sent by the controller when it is ready to receive
    DownloadStop = 2,  // sent to the controller when the data is complete
    DownloadEnd = 3,   // sent by the controller to acknowledge completion
    UploadStart = 4,   // sent to the controller when the computer is ready to receive
    UploadReady = 5,   // sent by the controller at the start of an upload
    UploadStop = 6,    // sent to the controller to acknowledge the end of an upload
    UploadEnd = 7,     // sent by the controller when it has finished sending
};
constexpr int kTriggerCount = 8;

// The numbers the file stores for a machine's handshake, protocol, end of
// block and character code.
enum HandshakeCode : int16_t {
    kHandshakeNone = 0,
    kHandshakeXonXoff = 1,
    kHandshakeHardware = 2,
    kHandshakeXonXoffAndHardware = 3,
};
enum ProtocolCode : int16_t {
    kProtocolAscii = 0,
    kProtocolXmodem = 1,
    kProtocolXmodemCrc = 2,
    kProtocolXmodem1K = 3,
};
enum EobCode : int16_t { kEobCrLf = 0, kEobCr = 1, kEobLf = 2 };
enum CharCode : int16_t { kCharCodeAscii = 0, kCharCodeEia = 1 };

struct MachineConfig {
    // 'D' download only, 'U' upload only, 'B' both, 'X' neither, 'T' terminal
    // entry, '?' deleted (skipped by the writer). 0 in a never-filled slot.
    char capability = 0;
    std::string name;              // empty for the terminal entry
    std::string uploadExtension;   // with leading dot
    std::string downloadExtension; // with leading dot
    std::string uploadDirectory;
    std::string downloadDirectory;
    int16_t port = 0;      // 1-9 = COM 1 ... COM 9
    int32_t baudRate = 0;  // bits per second
    int16_t dataBits = 0;  // 5-8
    int16_t stopBits = 0;  // 1-2
    int16_t parity = 0;    // 0 none, 1 odd, 2 even
    int16_t handshake = 0; // HandshakeCode
    int16_t protocol = 0;  // ProtocolCode
    int16_t eobMode = 0;   // EobCode
    int16_t charCode = 0;  // CharCode
    int16_t downloadStripNulls = 0;
    int16_t downloadStripSpaces = 0;
    int16_t downloadStripComments = 0;
    int16_t uploadStripNulls = 0;
    int16_t uploadStripSpaces = 0;
    int16_t uploadStripComments = 0;
    int16_t punchLeader = 0;
    int16_t punchTrailer = 0;
    int16_t leaderLength = 0;        // feet, 0-9
    int32_t blockDelay = 0;          // milliseconds
    std::string downloadFilterChars; // removed when sending
    std::string uploadFilterChars;   // removed when receiving
    std::array<std::string, kTriggerCount> triggers{};

    bool operator==(const MachineConfig&) const = default;

    bool canDownload() const { return capability == 'D' || capability == 'B'; }
    bool canUpload() const { return capability == 'U' || capability == 'B'; }
    // Listed in the Edit Machine menu.
    bool isEditable() const { return capability != 'T' && capability != '?'; }

    // The codes above, asked by name.
    bool usesXonXoff() const {
        return handshake == kHandshakeXonXoff || handshake == kHandshakeXonXoffAndHardware;
    }
    bool usesAsciiProtocol() const { return protocol == kProtocolAscii; }
    bool isEia() const { return charCode == kCharCodeEia; }
    // The bytes that end a block on an ASCII line: CR LF unless CR or LF alone
    // is chosen.
    std::string_view eobBytes() const {
        switch (eobMode) {
        case kEobCr:
            return "\r";
        case kEobLf:
            return "\n";
        default:
            return "\r\n";
        }
    }
};

// The machine table: 50 slots in file order. Slot 0 is the terminal entry, so
// `selected` == 0 means that no machine is selected.
struct MachineList {
    static constexpr int kSlots = 50;
    std::array<MachineConfig, kSlots> slots{};
    int32_t count = 0;
    int32_t selected = 0;

    MachineConfig& operator[](int i) { return slots.at(static_cast<size_t>(i)); }
    const MachineConfig& operator[](int i) const { return slots.at(static_cast<size_t>(i)); }
};

} // namespace vorl
