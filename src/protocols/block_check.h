// Block checks of the protocols: the 8-bit checksum and the CRC-16 of the
// CCITT polynomial 0x1021, both updated one byte at a time.
//
// peUpdateCrc is the augmented form: it shifts the byte in at the bottom, so
// a CRC over a block equals the usual CRC-16/XMODEM (initial 0, no reflection,
// no final XOR) only after two more updates with the byte 0. BlockCrc does
// exactly that.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vorl {

// The 256-entry table of polynomial 0x1021 (entry 1 is 0x1021).
extern const std::array<uint16_t, 256> CrcTable;

inline uint32_t peUpdateChecksum(uint8_t byte, uint32_t sum) {
    return sum + byte;
}

inline uint16_t peUpdateCrc(uint8_t byte, uint16_t crc) {
    return uint16_t(CrcTable[crc >> 8] ^ uint16_t(crc << 8) ^ byte);
}

// CRC-16/XMODEM of `len` bytes: augmented updates plus the two zero bytes.
uint16_t BlockCrc(const uint8_t* data, size_t len);
// Low 8 bits of the sum of `len` bytes.
uint8_t BlockChecksum(const uint8_t* data, size_t len);

} // namespace vorl
