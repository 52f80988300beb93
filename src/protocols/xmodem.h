// The Xmodem family: Xmodem (128-byte blocks, 8-bit checksum), Xmodem CRC
// (128-byte blocks, CRC-16) and Xmodem 1K (1024-byte blocks, CRC-16), plus
// the streaming G mode a receiver may ask for.
//
// A block on the line: SOH (128) or STX (1024), the block number (low 8 bits,
// from 1, 255 is followed by 0), its complement, the data, then the checksum
// or the CRC high byte first. The receiver decides the check: "C" asks for
// CRC, NAK for the checksum, "G" for CRC without acknowledgements. The last
// block is filled with Ctrl-Z; the receiver writes every block whole. The end
// is EOT, which the receiver confirms on a repeated EOT (or on silence after
// one). Either side cancels with CAN CAN CAN BS BS BS.
#pragma once

#include "protocols/protocol_engine.h"

namespace vorl {

// Re-initialises the record for an Xmodem type with the given modes.
int32_t xmReinit(TProtocolData& P, bool crc, bool oneK, bool g);
// Each setter returns ecBadProtocolFunction when the engine runs no Xmodem type.
int32_t xmSetCRCMode(TProtocolData& P, bool on);
int32_t xmSet1KMode(TProtocolData& P, bool on);
int32_t xmSetGMode(TProtocolData& P, bool on);
int32_t xmSetBlockWait(TProtocolData& P, uint32_t ticks);
void xmCancel(TProtocolData& P);

void xmPrepareTransmit(TProtocolData& P);
void xmTransmit(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second);
void xmPrepareReceive(TProtocolData& P);
void xmReceive(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second);

bool IsXmodemType(TProtocolType t);

} // namespace vorl
