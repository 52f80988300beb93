// The state of the one transfer that can be prepared or running at a time.
// The transfer engine owns it; the main window and the review window read and
// write its plain fields. The flags are how handlers that run inside a wait
// (a click, a trigger, a timer) tell the waiting sequence to stop.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorl {

struct TransferState {
    enum Operation : int { None = 0, Download = 1, Upload = 2 };

    int operation = None;
    bool abortRequested = false;   // set by Reset; ends every wait
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
    std::string fileName;        // the program to send or the file to receive into
    char eolChar = '\n';
    int64_t charsTotal = 0;
    int64_t charsTransferred = 0;
    uint16_t uploadEndTrigger = 0; // the End string of the running upload; 0 = none

    // End-of-block sequences by eobMode: CR LF, CR, LF.
    static constexpr std::array<std::string_view, 3> kEobSequences = {"\r\n", "\r", "\n"};
};

} // namespace vorl
