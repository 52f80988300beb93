// What the Xmodem family's transmit and receive halves share (xmodem.cpp,
// xmodem_receive.cpp): the block buffer's size, the mode bookkeeping and the
// receive state machine the frame runs.
#pragma once

#include "protocols/protocol_engine.h"

namespace vorl::xm {

// Block buffer: start character, number, complement, up to 1024 data bytes,
// two check bytes. Transmit builds the whole block in it; receive collects
// from the number on.
constexpr size_t kXmBufferSize = 1029;

// Sets the protocol type from the modes in force.
void recomputeType(TProtocolData& P);
// Counts an error of the block in hand and of the transfer.
void countError(TProtocolData& P);

// The receive state machine: runs the function of the present state.
void rxState(TProtocolData& P, uint32_t msg, uint32_t first);
// What the frame does after a receive state has run.
FrameNext rxNext(const TProtocolData& P);

} // namespace vorl::xm
