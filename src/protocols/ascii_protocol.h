// The ASCII protocol: a file goes out as plain characters, with optional
// line-end translation and pauses after each character and each line; a
// receive takes characters into a file until the sender falls silent. No
// handshake, no blocks on the line, no checks.
//
// The file is read and written in blocks of 60 characters. Pauses that fit
// into 250 ms per call are timed inside the call; longer ones wait on the
// tick timer (rounded up to whole ticks). A Ctrl-Z in the file is never sent.
// A receive ends when nothing has arrived for EOFTimeout ticks; every
// character received by then is in the file. Told of the data trigger that
// finds the sender's End string, it ends as soon as that string has arrived
// and every character waiting then is taken: a sender that has said it is
// done sends nothing more until it is answered.
#pragma once

#include "protocols/protocol_engine.h"

namespace vorl {

int32_t ascReinit(TProtocolData& P);
void ascDonePart(TProtocolData& P);
// Each setter returns ecBadProtocolFunction when the engine does not run ASCII.
int32_t ascSetDelays(TProtocolData& P, uint32_t charDelayMs, uint32_t lineDelayMs);
int32_t ascSetEOLChar(TProtocolData& P, uint8_t c);
int32_t ascSetEOLTranslation(TProtocolData& P, TAsciiEOLTranslation cr, TAsciiEOLTranslation lf);
int32_t ascSetEOFTimeout(TProtocolData& P, uint32_t ticks);
// For the next receive: the sender's End string (empty: silence alone ends
// it), and a string dropped when the data begins with it (the sender's
// optional Ready string; empty: none).
int32_t ascSetEndString(TProtocolData& P, const std::string& end, const std::string& lead);
int32_t ascGetLineNumber(const TProtocolData& P);

void ascPrepareTransmit(TProtocolData& P);
void ascTransmit(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second);
void ascPrepareReceive(TProtocolData& P);
void ascReceive(TProtocolData& P, uint32_t msg, uint32_t first, uint32_t second);

// Milliseconds as ticks, rounded up.
uint32_t ascDelayTicks(uint32_t ms);

} // namespace vorl
