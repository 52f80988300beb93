// The simulated controller: what a machine tool's control does with the bytes
// of its serial line. It does no I/O and reads no clock: the event loop hands
// it received bytes and the time, takes the bytes it wants sent, and asks it
// when it next needs to run.
//
// How it works. The control is in one of four states:
//   Idle       looks for the download Start and the upload Start strings;
//   Receiving  a download: every byte is program data until the Stop string;
//   Sending    an upload: Ready string, a pause, the program, End string;
//   AwaitStop  upload sent, waiting for the computer's Stop string (a Start
//              string is still honoured, so a lost Stop does not wedge it).
// An empty trigger string skips its step. With an empty download Start
// string the control is always ready to receive: the first byte that is not
// part of an upload Start string begins a download (without a Ready string:
// nobody asked; the operator's `download` command sends it).
//
// Program data of a download is exactly the bytes after the Start string up
// to, not including, the Stop string (all bytes after the Start string when
// the Stop string is empty). Bytes that could be the beginning of the Stop
// string are held back until they either complete it or turn out to be data.
//
// The receive buffer models a control that consumes the program while it
// machines: every byte of a download fills it by one, it drains at a fixed
// rate, XOFF goes out when it reaches the high-water mark and XON when it has
// drained to the low-water mark. Bytes arriving while it is full are
// overflow: a real control would stop with an alarm. Each XOFF keeps a count
// of the bytes that still arrived after it, until its XON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "options.h"

namespace vorl::sim {

constexpr char kXon = 0x11;  // DC1
constexpr char kXoff = 0x13; // DC3

// Finds any of a few trigger strings in a byte stream, first match wins.
class TriggerScanner {
public:
    // Patterns by caller's index; empty patterns never match.
    void setPatterns(std::vector<std::pair<int, std::string>> patterns);
    // Feeds one byte. Bytes that can no longer be part of a match are appended
    // to `released` in stream order. Returns the index of a completed pattern
    // (its bytes are consumed) or -1.
    int feed(char byte, std::string& released);
    // The bytes held as a possible beginning of a pattern; clears them.
    std::string takeHeld();

private:
    bool isPrefix() const;
    std::vector<std::pair<int, std::string>> patterns_;
    std::string held_;
};

// What the controller does outside itself.
class ControllerOutput {
public:
    virtual ~ControllerOutput() = default;
    virtual void programBegun() = 0; // a download begins: the received file starts afresh
    virtual void programData(const std::string& bytes) = 0;
    virtual std::optional<std::string> loadProgram() = 0; // for an upload; empty on error
    // level 0: errors and overflow, 1: events, 2: every XOFF and XON.
    virtual void message(int level, const std::string& text) = 0;
};

enum class State { Idle, Receiving, Sending, AwaitStop };
const char* stateName(State s);

struct Counters {
    int64_t bytesReceived = 0;
    int64_t bytesSent = 0;
    int64_t ignoredBytes = 0; // outside a download and not part of a trigger string
    int64_t downloads = 0;
    int64_t downloadsCompleted = 0;
    int64_t programBytes = 0; // of the current or last download
    int64_t uploads = 0;
    int64_t uploadsCompleted = 0;
    int64_t uploadBytes = 0; // program bytes handed to the line in the current or last upload
    int64_t triggersSeen[kTriggerCount] = {}; // strings from the computer
    int64_t triggersSent[kTriggerCount] = {}; // strings to the computer
    int64_t bufferLevel = 0;
    int64_t bufferPeak = 0;
    int64_t xoffSent = 0;
    int64_t xonSent = 0;
    bool flowHeld = false;          // our XOFF is in force
    int64_t afterXoffMax = 0;       // largest count of bytes after one XOFF
    std::vector<int64_t> afterXoff; // per XOFF, the first kAfterXoffKept of them
    int64_t overflow = 0;
    int64_t hostXoff = 0; // XOFF/XON from the computer (with --honour-xoff)
    int64_t hostXon = 0;
    bool hostHeld = false;
    int64_t requests = 0;       // request programs punched out
    int64_t punches = 0;        // programs punched out by the operator's `punch`
    int64_t readTimeouts = 0;   // waits to read given up
    bool waitingToRead = false; // after a request, until a download begins
    // From a request's End string handed to the line to the answer's first
    // byte (its download Start string), in ms: the largest, and how many.
    int64_t requestAnswerMaxMs = 0;
    int64_t requestAnswers = 0;
    int64_t errors = 0;
    std::string lastError;

    static constexpr size_t kAfterXoffKept = 1000;
};

class Controller {
public:
    Controller(const SimOptions& options, ControllerOutput& out, int64_t nowNs);

    void received(const char* data, size_t n, int64_t nowNs);
    // Runs what is due: buffer drain and XON, upload pause and pacing.
    void tick(int64_t nowNs);
    // When tick() must next run (monotonic ns), or -1 when only input or
    // writable output can change anything.
    int64_t nextDeadline() const;

    // Commands of the operator at the control.
    void startUpload(int64_t nowNs);
    // The operator punches out `program` (an upload the control starts, with
    // the Ready and End strings); with `thenRead` the control waits to read
    // once it has gone out: a remote request. `request`: counted as one.
    void punch(int64_t nowNs, std::string program, bool request);
    // The operator punches out `program` right behind the control's next
    // answer to a download (its End string), in the same write: a control
    // that answers and punches out at once.
    void punchBehindAnswer(std::string program);
    // The operator starts a download: the Ready string goes out at once.
    void beginDownload(int64_t nowNs);
    void reset(int64_t nowNs);
    // With manual answers: gives the answer that waits, if any.
    void answer(int64_t nowNs);
    // The answer waiting for the command: "download_ready", "download_end",
    // "upload" or "" for none.
    std::string answerPending() const;
    // Program data held back as a possible Stop string is data after all.
    void finish();

    // Bytes for the line. `urgent` (our XON/XOFF) goes first and is never
    // held; `output` waits while the computer's XOFF holds us.
    std::string& urgent() { return urgent_; }
    std::string& output() { return output_; }
    bool outputHeld() const { return counters_.hostHeld; }
    void noteSent(size_t n) {
        counters_.bytesSent += static_cast<int64_t>(n);
        if (n > 0 && reportDue_ < 1)
            reportDue_ = 1; // the counts moved: a report within the interval
    }

    State state() const { return state_; }
    const Counters& counters() const { return counters_; }
    // Whether the report should be rewritten: 2 at once (a step of a
    // transfer), 1 soon (counts moved), 0 not. Clears the mark.
    int takeReportDue();

private:
    // Returns false when busy. `cued`: by the Start string, which is answered.
    bool beginDownload(int64_t nowNs, bool cued);
    void byteIn(char b, int64_t nowNs);
    void receivingByte(char b);
    void unmatchedOutside(char b, int64_t nowNs);
    void onTrigger(int index, int64_t nowNs);
    void enter(State s);
    void drain(int64_t nowNs);
    void sendXoff();
    void sendXon();
    void flushData();
    void queueTrigger(int index);
    void answerOrHold(int index);
    void pumpUpload(int64_t nowNs);
    void endDownload();
    bool beginSending(int64_t nowNs, std::optional<std::string> program);
    void readTimedOut(int64_t nowNs);
    void error(const std::string& text);

    const SimOptions& opt_;
    ControllerOutput& out_;
    State state_ = State::Idle;
    Counters counters_;
    TriggerScanner scanner_;
    std::string urgent_;
    std::string output_;
    std::string data_; // program data waiting to go to `out_`
    int reportDue_ = 2;
    int pendingAnswer_ = -1; // TriggerIndex of the cue whose answer waits

    int64_t nsPerChar_ = 0; // drain; 0: at once
    int64_t drainMark_ = 0; // time up to which the drain is accounted
    int64_t overflowThisDownload_ = 0;
    int64_t afterXoffCurrent_ = 0;

    // Upload.
    std::string program_;
    size_t programPos_ = 0;
    bool endQueued_ = false;
    int64_t gapEnd_ = 0;
    int64_t nsPerSendChar_ = 0; // 0: unpaced
    int64_t chunk_ = 256;
    int64_t nextChunk_ = 0;
    bool readAfterUpload_ = false;            // a request: wait to read once it is out
    std::optional<std::string> behindAnswer_; // punchBehindAnswer's program
    bool burstDue_ = false;                   // the answer it waits for has gone out
    void punchBurst(int64_t nowNs);

    // A control waiting to read: since when nothing came (monotonic ns).
    int64_t nsReadTimeout_ = 0; // 0: never gives up
    int64_t readSince_ = 0;
};

} // namespace vorl::sim
