// Types and constants shared by the protocol component, its engine and the
// protocols: protocol kinds, block checks, write-fail actions, line-end
// translations, status values, option bits and the control characters.
#pragma once

#include "serial/errors.h"

#include <cstdint>

namespace vorl {

// Order and values are those of the stored settings; only ptNoProtocol,
// ptXmodem, ptXmodemCRC, ptXmodem1K and ptAscii are ever selected (an Xmodem
// handshake may turn the engine's own type into ptXmodem1KG for a transfer).
enum TProtocolType : uint8_t {
    ptNoProtocol,
    ptXmodem,
    ptXmodemCRC,
    ptXmodem1K,
    ptXmodem1KG,
    ptYmodem,
    ptYmodemG,
    ptZmodem,
    ptKermit,
    ptAscii,
    ptBPlus,
};

enum TBlockCheckMethod : uint8_t {
    bcmNone,
    bcmChecksum,
    bcmChecksum2,
    bcmCrc16,
    bcmCrc32,
    bcmCrcK,
};

// What a receive does when its file already exists.
enum TWriteFailAction : uint8_t {
    wfWriteNone,   // overwrite
    wfWriteFail,   // skip the file (status psCantWriteFile, finish -6012)
    wfWriteRename, // write to the name with "$" as its first letter
    wfWriteAnyway, // overwrite
    wfWriteResume, // overwrite (resuming is not offered)
};

enum TAsciiEOLTranslation : uint8_t {
    aetNone,
    aetStrip,       // drop the character
    aetAddCRBefore, // LF goes out (or is stored) as CR LF
    aetAddLFAfter,  // CR goes out (or is stored) as CR LF
};

// Status values beyond those errors.h names.
inline constexpr int32_t psBlockOutOfSequence = 4716;
inline constexpr int32_t psAbortNoCarrier = 4717;
inline constexpr int32_t psAbort = 4730;

// Engine option bits (TProtocolData::Options).
inline constexpr uint32_t apIncludeDirectory = 1;
inline constexpr uint32_t apHonorDirectory = 2;
inline constexpr uint32_t apRTSLowForWrite = 4;
inline constexpr uint32_t apAbortNoCarrier = 8;
inline constexpr uint32_t apBP2KTransmit = 128;
inline constexpr uint32_t apAsciiSuppressCtrlZ = 256;

// Status event Options.
inline constexpr uint16_t kStatusFirst = 1;
inline constexpr uint16_t kStatusLast = 2;

// Log codes of OnProtocolLog.
enum TProtocolLogCode : uint16_t {
    lfReceiveStart = 0,
    lfReceiveOk = 1,
    lfReceiveFail = 2,
    lfReceiveSkip = 3,
    lfTransmitStart = 4,
    lfTransmitOk = 5,
    lfTransmitFail = 6,
    lfTransmitSkip = 7,
};

// Control characters on the line.
inline constexpr uint8_t cSOH = 0x01;
inline constexpr uint8_t cSTX = 0x02;
inline constexpr uint8_t cEOT = 0x04;
inline constexpr uint8_t cACK = 0x06;
inline constexpr uint8_t cBS = 0x08;
inline constexpr uint8_t cLF = 0x0A;
inline constexpr uint8_t cCR = 0x0D;
inline constexpr uint8_t cNAK = 0x15;
inline constexpr uint8_t cCAN = 0x18;
inline constexpr uint8_t cCtrlZ = 0x1A;

// Fill behind the data of a file's last block, and the ASCII end-of-file mark.
inline constexpr uint8_t BlockFillChar = cCtrlZ;

// Size of the file window through which files are read and written.
inline constexpr int32_t kWorkBufferSize = 8192;

} // namespace vorl
