// Test support for transfers between our components and lrzsz over a pty
// line: random data, the three Xmodem variants, and a fixture that runs our
// sender against rx or sx against our receiver.
#pragma once

#include "pty_support.h"
#include "temp_dir.h"
#include "transfer_fixture.h"

#include <gtest/gtest.h>

#include <random>

namespace vorl::test {

using namespace std::chrono_literals;

inline std::string RandomData(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = char(rng() & 0xFF);
    return s;
}

struct Variant {
    TProtocolType type;
    const char* name;
};

inline std::string PrintVariant(const ::testing::TestParamInfo<Variant>& info) {
    return info.param.name;
}

inline const Variant kVariants[] = {
    {ptXmodem, "Xmodem"}, {ptXmodemCRC, "XmodemCRC"}, {ptXmodem1K, "Xmodem1K"}};

class Interop : public ::testing::TestWithParam<Variant> {
protected:
    // Our sender to rx over `relay`; returns rx's file.
    std::string sendToRx(PtyRelay& relay, const std::string& data, PortSide& side) {
        writeBytes(dir.file("out.nc"), data);
        side.proto.SetHandshakeWait(36);
        side.proto.SetHandshakeRetry(10);
        side.proto.SetXYmodemBlockWait(54);
        side.proto.SetTransmitTimeout(364);
        side.proto.SetFileMask(dir.file("out.nc"));
        side.proto.StartTransmit();
        std::vector<std::string> argv = {"rx", "-b", "-t", "20"};
        if (GetParam().type != ptXmodem)
            argv.push_back("-c");
        argv.push_back("in.nc");
        rxResult = -1;
        PeerProcess rx(argv, relay, dir.path().string());
        EXPECT_TRUE(side.waitFinish(120s))
            << "state " << int(side.proto.Data().Xm.XmodemState) << " block "
            << side.proto.BlockNumber() << " lastblock " << side.proto.Data().LastBlock << " ofs "
            << side.proto.Data().FileOfs;
        EXPECT_TRUE(rx.wait(30s));
        rxResult = rx.exitCode();
        return readBytes(dir.file("in.nc"));
    }

    // sx to our receiver over `relay`; returns our file.
    std::string receiveFromSx(PtyRelay& relay, const std::string& data, PortSide& side) {
        writeBytes(dir.file("src.nc"), data);
        std::vector<std::string> argv = {"sx", "-b"};
        if (GetParam().type == ptXmodem1K)
            argv.push_back("-k");
        argv.push_back("src.nc");
        PeerProcess sx(argv, relay, dir.path().string());
        side.proto.SetHandshakeWait(36);
        side.proto.SetXYmodemBlockWait(36);
        side.proto.SetFileName(dir.file("got.nc"));
        side.proto.StartReceive();
        EXPECT_TRUE(side.waitFinish(120s));
        EXPECT_TRUE(sx.wait(30s));
        sxResult = sx.exitCode();
        return readBytes(dir.file("got.nc"));
    }

    size_t sentLength(size_t size) const {
        size_t bs = GetParam().type == ptXmodem1K ? 1024 : 128;
        return (size + bs - 1) / bs * bs;
    }
    size_t sxLength(size_t size) const {
        return GetParam().type == ptXmodem1K ? SxOneKLength(size) : (size + 127) / 128 * 128;
    }
    static std::string filled(const std::string& data, size_t length) {
        return data + std::string(length - data.size(), '\x1A');
    }

    TempDir dir;
    int rxResult = -1;
    int sxResult = -1;
};

} // namespace vorl::test
