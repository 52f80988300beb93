#include "protocols/block_check.h"

namespace vorl {

namespace {

constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = uint16_t(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        t[i] = crc;
    }
    return t;
}

} // namespace

const std::array<uint16_t, 256> CrcTable = makeCrcTable();

uint16_t BlockCrc(const uint8_t* data, size_t len) {
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i)
        crc = peUpdateCrc(data[i], crc);
    crc = peUpdateCrc(0, crc);
    return peUpdateCrc(0, crc);
}

uint8_t BlockChecksum(const uint8_t* data, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 0; i < len; ++i)
        sum = peUpdateChecksum(data[i], sum);
    return uint8_t(sum);
}

} // namespace vorl
