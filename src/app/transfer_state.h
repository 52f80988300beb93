// The state of the one transfer that can be prepared or running at a time,
// held by the main window. The transfer engine and the review window read and
// write these plain fields; the flags are how handlers that run inside a wait
// loop tell the waiting code to stop.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorl {

struct TransferState {
    enum Operation : int { None = 0, Download = 1, Upload = 2 };

    int operation = None;
    bool abortRequested = false;   // set by Reset; ends every wait loop
    bool protocolFinished = false; // the protocol's finish event has run
    bool waitingForTrigger = false;
    bool senderActive = false; // the block sender runs
    bool senderCancel = false; // asks the block sender to stop at the next block
    bool senderStopped = false;
    bool uploadEndAssumed = false; // upload ended by silence, file waits for Stop
    bool uploadEndReceived = false;
    bool refilterNeeded = false; // start block or prefix changed after Connect
    bool delayPending = false;   // a block delay runs; cleared by Timer1
    int startBlock = 0;          // alternate start block, 0 = none
    std::string prefixText;      // sent before the first block, empty = none
    std::string tempFileName;    // the prepared or received temporary file
    char eolChar = '\n';
    int charsTotal = 0;
    int charsTransferred = 0;
    int uploadEndTrigger = 0;

    // End-of-block sequences by eobMode: CR LF, CR, LF.
    static constexpr std::array<std::string_view, 3> kEobSequences = {"\r\n", "\r", "\n"};
};

} // namespace vorl
