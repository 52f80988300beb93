// Test support: a protocol component on a scripted line, with its events
// recorded, and helpers to build and take apart Xmodem blocks.
#pragma once

#include "protocols/block_check.h"
#include "protocols/protocol.h"
#include "scripted_line.h"
#include "temp_dir.h"
#include "test_pattern.h"

#include <csignal>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace vorl::test {

struct Side {
    explicit Side(TProtocolType type, uint16_t handle = 0x7F00, uint32_t outSize = 4096)
        : delivery(std::make_shared<LoopDelivery>()),
          line(std::make_shared<ScriptedLine>(handle, outSize)), proto(delivery) {
        proto.SetLine(line);
        proto.SetProtocolType(type);
        proto.SetHandshakeWait(18);
        proto.SetHandshakeRetry(5);
        proto.SetXYmodemBlockWait(18);
        proto.SetTransmitTimeout(182);
        proto.SetStatusInterval(18);
        proto.OnProtocolStatus = [this](TCustomProtocol& cp, uint16_t options) {
            statusOptions.push_back(options);
            statusCodes.push_back(cp.GetProtocolStatus());
        };
        proto.OnProtocolError = [this](TCustomProtocol&, int32_t code) { errors.push_back(code); };
        proto.OnProtocolFinish = [this](TCustomProtocol&, int32_t code) {
            finishes.push_back(code);
        };
        proto.OnProtocolLog = [this](TCustomProtocol&, uint16_t code) { logs.push_back(code); };
    }

    bool finished() {
        delivery->pump();
        return !finishes.empty();
    }
    int32_t code() const { return finishes.empty() ? 1 : finishes.front(); }

    std::shared_ptr<LoopDelivery> delivery;
    std::shared_ptr<ScriptedLine> line;
    TProtocol proto;
    std::vector<uint16_t> statusOptions;
    std::vector<int32_t> statusCodes;
    std::vector<int32_t> errors;
    std::vector<int32_t> finishes;
    std::vector<uint16_t> logs;
};

// Files of the process cannot grow past `bytes` while it lives: a write
// beyond fails as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved_;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit saved_ {};
    void (*oldHandler_)(int) = nullptr;
};

// One Xmodem block as it goes on the line.
inline std::string XmBlock(uint8_t num, std::string data, bool crc, size_t len = 128) {
    data.resize(len, '\x1A');
    std::string b;
    b += char(len == 1024 ? 0x02 : 0x01);
    b += char(num);
    b += char(255 - num);
    b += data;
    auto* p = reinterpret_cast<const uint8_t*>(data.data());
    if (crc) {
        uint16_t c = BlockCrc(p, data.size());
        b += char(c >> 8);
        b += char(c & 0xFF);
    } else {
        b += char(BlockChecksum(p, data.size()));
    }
    return b;
}

struct ParsedBlock {
    uint8_t start = 0; // SOH, STX, or EOT / CAN / BS for a lone control byte
    uint8_t num = 0;
    std::string data;
    bool checkOk = false;
};

// Takes apart what an Xmodem sender put on the line.
inline std::vector<ParsedBlock> ParseSent(const std::string& s, bool crc) {
    std::vector<ParsedBlock> out;
    size_t i = 0;
    while (i < s.size()) {
        ParsedBlock b;
        b.start = uint8_t(s[i]);
        if (b.start != 0x01 && b.start != 0x02) {
            out.push_back(b);
            ++i;
            continue;
        }
        size_t len = b.start == 0x01 ? 128 : 1024;
        size_t total = 3 + len + (crc ? 2 : 1);
        if (i + total > s.size())
            break;
        b.num = uint8_t(s[i + 1]);
        b.data = s.substr(i + 3, len);
        b.checkOk = XmBlock(b.num, b.data, crc, len) == s.substr(i, total) &&
                    uint8_t(s[i + 2]) == uint8_t(255 - b.num);
        out.push_back(b);
        i += total;
    }
    return out;
}

} // namespace vorl::test
