#include "protocols/block_check.h"

#include <gtest/gtest.h>

#include <string>

namespace vorl {
namespace {

const uint8_t* bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

TEST(BlockCheck, CrcTableIsThatOfPolynomial1021) {
    EXPECT_EQ(CrcTable[0], 0x0000);
    EXPECT_EQ(CrcTable[1], 0x1021);
    EXPECT_EQ(CrcTable[255], 0x1EF0);
}

TEST(BlockCheck, AugmentedCrcNeedsTwoZeroBytesToGiveTheXmodemCrc) {
    const std::string check = "123456789";
    EXPECT_EQ(BlockCrc(bytes(check), check.size()), 0x31C3); // CRC-16/XMODEM check value

    uint16_t raw = 0;
    for (char c : check)
        raw = peUpdateCrc(uint8_t(c), raw);
    EXPECT_NE(raw, 0x31C3);
    raw = peUpdateCrc(0, peUpdateCrc(0, raw));
    EXPECT_EQ(raw, 0x31C3);
}

TEST(BlockCheck, CrcOfAFilledBlockAndChecksumWrapAtEightBits) {
    std::string block(128, '\x1A');
    EXPECT_EQ(BlockChecksum(bytes(block), block.size()), uint8_t(128 * 0x1A));
    std::string ff(3, '\xFF');
    EXPECT_EQ(BlockChecksum(bytes(ff), ff.size()), 0xFD);
    EXPECT_EQ(peUpdateChecksum(0xFF, 0x101), 0x200u);
}

} // namespace
} // namespace vorl
