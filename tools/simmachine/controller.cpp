#include "controller.h"

#include <algorithm>
#include <cmath>

namespace vorl::sim {

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

const char* triggerName(int index) {
    static const char* names[kTriggerCount] = {"download Start", "download Ready", "download Stop",
                                               "download End",   "upload Start",   "upload Ready",
                                               "upload Stop",    "upload End"};
    return names[index];
}

int64_t nsPer(double charsPerSecond) {
    if (charsPerSecond <= 0)
        return 0;
    return std::max<int64_t>(1, std::llround(kNsPerSecond / charsPerSecond));
}

} // namespace

const char* stateName(State s) {
    switch (s) {
    case State::Idle:
        return "idle";
    case State::Receiving:
        return "receiving";
    case State::Sending:
        return "sending";
    case State::AwaitStop:
        return "await_stop";
    }
    return "?";
}

void TriggerScanner::setPatterns(std::vector<std::pair<int, std::string>> patterns) {
    patterns_.clear();
    for (auto& p : patterns)
        if (!p.second.empty())
            patterns_.push_back(std::move(p));
}

bool TriggerScanner::isPrefix() const {
    for (const auto& p : patterns_)
        if (p.second.compare(0, held_.size(), held_) == 0)
            return true;
    return false;
}

int TriggerScanner::feed(char byte, std::string& released) {
    held_.push_back(byte);
    for (;;) {
        for (const auto& p : patterns_) {
            if (p.second == held_) {
                held_.clear();
                return p.first;
            }
        }
        if (held_.empty() || isPrefix())
            return -1;
        // The oldest held byte cannot start a match; the rest still might.
        released.push_back(held_.front());
        held_.erase(0, 1);
    }
}

std::string TriggerScanner::takeHeld() {
    std::string h;
    h.swap(held_);
    return h;
}

Controller::Controller(const SimOptions& options, ControllerOutput& out, int64_t nowNs)
    : opt_(options), out_(out) {
    nsPerChar_ = nsPer(opt_.rate);
    drainMark_ = nowNs;
    nsPerSendChar_ = nsPer(opt_.sendRate);
    nsReadTimeout_ = std::llround(opt_.readTimeout * kNsPerSecond);
    if (nsPerSendChar_ > 0)
        chunk_ = std::max<int64_t>(1, std::llround(opt_.sendRate / 50));
    enter(State::Idle);
}

void Controller::enter(State s) {
    state_ = s;
    std::vector<std::pair<int, std::string>> p;
    const auto& t = opt_.triggers;
    switch (s) {
    case State::Idle:
        p = {{DownloadStart, t[DownloadStart]}, {UploadStart, t[UploadStart]}};
        break;
    case State::Receiving:
        p = {{DownloadStop, t[DownloadStop]}};
        break;
    case State::Sending:
        p = {{UploadStop, t[UploadStop]}};
        break;
    case State::AwaitStop:
        p = {{UploadStop, t[UploadStop]},
             {DownloadStart, t[DownloadStart]},
             {UploadStart, t[UploadStart]}};
        break;
    }
    scanner_.setPatterns(std::move(p));
    reportDue_ = 2;
}

void Controller::received(const char* data, size_t n, int64_t nowNs) {
    drain(nowNs);
    // An upload whose End string has gone to the line is over, even when the
    // computer's answer comes before the next tick has seen that.
    if (state_ == State::Sending && endQueued_ && output_.empty())
        pumpUpload(nowNs);
    if (state_ == State::Receiving)
        readSince_ = nowNs; // a byte of the program: the wait starts again
    for (size_t i = 0; i < n; ++i) {
        char b = data[i];
        ++counters_.bytesReceived;
        if (counters_.flowHeld) {
            ++afterXoffCurrent_;
            counters_.afterXoffMax = std::max(counters_.afterXoffMax, afterXoffCurrent_);
            if (counters_.xoffSent <= static_cast<int64_t>(Counters::kAfterXoffKept))
                counters_.afterXoff.back() = afterXoffCurrent_;
        }
        byteIn(b, nowNs);
    }
    flushData();
    if (burstDue_)
        punchBurst(nowNs);
    if (reportDue_ < 1)
        reportDue_ = 1;
}

void Controller::byteIn(char b, int64_t nowNs) {
    if (opt_.honourXoff && (b == kXoff || b == kXon)) {
        bool hold = b == kXoff;
        ++(hold ? counters_.hostXoff : counters_.hostXon);
        if (hold != counters_.hostHeld) {
            counters_.hostHeld = hold;
            out_.message(2, hold ? "XOFF from the computer: holding" : "XON from the computer");
            reportDue_ = 2;
        }
        return;
    }
    if (state_ == State::Receiving) {
        receivingByte(b);
        return;
    }
    std::string released;
    int match = scanner_.feed(b, released);
    for (size_t i = 0; i < released.size(); ++i) {
        unmatchedOutside(released[i], nowNs);
        if (state_ == State::Receiving) {
            // A download began with this byte: everything after it is its data.
            std::string tail = released.substr(i + 1);
            if (match >= 0)
                tail += opt_.triggers[static_cast<size_t>(match)];
            tail += scanner_.takeHeld();
            for (char c : tail)
                receivingByte(c);
            return;
        }
    }
    if (match >= 0)
        onTrigger(match, nowNs);
}

void Controller::unmatchedOutside(char b, int64_t nowNs) {
    if ((state_ == State::Idle || state_ == State::AwaitStop) &&
        opt_.triggers[DownloadStart].empty()) {
        // Nobody asked whether we are ready: no Ready string.
        beginDownload(nowNs, false);
        receivingByte(b);
        return;
    }
    ++counters_.ignoredBytes;
}

void Controller::receivingByte(char b) {
    if (counters_.bufferLevel >= opt_.bufferSize) {
        ++counters_.overflow;
        if (overflowThisDownload_++ == 0)
            out_.message(0, "OVERFLOW: a character arrived with the receive buffer full (" +
                                std::to_string(opt_.bufferSize) + " characters)");
        reportDue_ = 2;
    } else if (nsPerChar_ > 0) {
        ++counters_.bufferLevel;
        counters_.bufferPeak = std::max(counters_.bufferPeak, counters_.bufferLevel);
    }
    if (opt_.sendXoff && !counters_.flowHeld && nsPerChar_ > 0 &&
        counters_.bufferLevel >= opt_.xoffAt)
        sendXoff();

    std::string released;
    int match = scanner_.feed(b, released);
    data_ += released;
    counters_.programBytes += static_cast<int64_t>(released.size());
    if (match == DownloadStop) {
        ++counters_.triggersSeen[DownloadStop];
        endDownload();
    }
}

void Controller::endDownload() {
    flushData();
    ++counters_.downloadsCompleted;
    out_.message(1, "download complete: " + std::to_string(counters_.programBytes) +
                        " bytes of program data");
    if (overflowThisDownload_ > 0)
        out_.message(0, "OVERFLOW: " + std::to_string(overflowThisDownload_) +
                            " characters of this download arrived with the buffer full");
    answerOrHold(DownloadStop);
    enter(State::Idle);
    burstDue_ = behindAnswer_.has_value();
}

void Controller::punchBehindAnswer(std::string program) {
    behindAnswer_ = std::move(program);
}

// The program, Ready and End string included, goes into the output behind the
// answer still there: one write carries both.
void Controller::punchBurst(int64_t nowNs) {
    burstDue_ = false;
    std::string program = std::move(*behindAnswer_);
    behindAnswer_.reset();
    if (!beginSending(nowNs, std::move(program)))
        return;
    ++counters_.punches;
    output_ += program_;
    programPos_ = program_.size();
    counters_.uploadBytes = static_cast<int64_t>(program_.size());
    gapEnd_ = nowNs;
    endQueued_ = true;
    queueTrigger(UploadEnd);
}

void Controller::onTrigger(int index, int64_t nowNs) {
    ++counters_.triggersSeen[index];
    out_.message(1, std::string(triggerName(index)) + " string received");
    switch (index) {
    case DownloadStart:
        beginDownload(nowNs, true);
        break;
    case UploadStart:
        if (opt_.manualAnswers)
            pendingAnswer_ = UploadStart;
        else
            startUpload(nowNs);
        break;
    case UploadStop:
        if (state_ == State::AwaitStop)
            enter(State::Idle);
        break;
    default:
        break;
    }
    reportDue_ = 2;
}

void Controller::beginDownload(int64_t nowNs) {
    if (beginDownload(nowNs, false))
        queueTrigger(DownloadReady);
}

bool Controller::beginDownload(int64_t nowNs, bool cued) {
    if (state_ == State::Receiving || state_ == State::Sending)
        return false;
    flushData();
    ++counters_.downloads;
    counters_.programBytes = 0;
    overflowThisDownload_ = 0;
    out_.programBegun();
    out_.message(1, "download " + std::to_string(counters_.downloads) + " begins");
    if (cued)
        answerOrHold(DownloadStart);
    if (counters_.waitingToRead) {
        const int64_t ms = (nowNs - readSince_) / 1000000;
        counters_.requestAnswerMaxMs = std::max(counters_.requestAnswerMaxMs, ms);
        ++counters_.requestAnswers;
    }
    counters_.waitingToRead = false;
    readSince_ = nowNs;
    enter(State::Receiving);
    return true;
}

void Controller::startUpload(int64_t nowNs) {
    beginSending(nowNs, std::nullopt);
}

void Controller::punch(int64_t nowNs, std::string program, bool request) {
    if (!beginSending(nowNs, std::move(program)))
        return;
    ++(request ? counters_.requests : counters_.punches);
    readAfterUpload_ = request;
    counters_.waitingToRead = false;
}

bool Controller::beginSending(int64_t nowNs, std::optional<std::string> program) {
    if (state_ == State::Receiving || state_ == State::Sending) {
        out_.message(0, "upload refused: the control is busy (" + std::string(stateName(state_)) +
                            ")");
        return false;
    }
    if (!program)
        program = out_.loadProgram();
    if (!program) {
        error("upload refused: no program to send");
        return false;
    }
    readAfterUpload_ = false;
    program_ = std::move(*program);
    programPos_ = 0;
    endQueued_ = false;
    ++counters_.uploads;
    counters_.uploadBytes = 0;
    out_.message(1, "upload " + std::to_string(counters_.uploads) +
                        " begins: " + std::to_string(program_.size()) + " bytes");
    queueTrigger(UploadReady);
    gapEnd_ = nowNs + opt_.readyGapMs * 1000000;
    nextChunk_ = gapEnd_;
    enter(State::Sending);
    return true;
}

void Controller::pumpUpload(int64_t nowNs) {
    if (state_ != State::Sending || nowNs < gapEnd_ || counters_.hostHeld || !output_.empty())
        return;
    if (programPos_ < program_.size()) {
        if (nsPerSendChar_ > 0 && nowNs < nextChunk_)
            return;
        size_t n = std::min(program_.size() - programPos_, static_cast<size_t>(chunk_));
        output_.append(program_, programPos_, n);
        programPos_ += n;
        counters_.uploadBytes += static_cast<int64_t>(n);
        if (nsPerSendChar_ > 0) {
            int64_t span = static_cast<int64_t>(n) * nsPerSendChar_;
            nextChunk_ = std::max(nextChunk_, nowNs - span) + span;
        }
        return;
    }
    if (!endQueued_) {
        endQueued_ = true;
        queueTrigger(UploadEnd);
        if (!output_.empty())
            return;
    }
    // Everything, End string included, has gone to the line.
    ++counters_.uploadsCompleted;
    program_.clear();
    out_.message(1, "upload complete: " + std::to_string(counters_.uploadBytes) + " bytes sent");
    enter(opt_.triggers[UploadStop].empty() ? State::Idle : State::AwaitStop);
    if (readAfterUpload_) {
        // The operator switches the control to read and waits for the answer.
        readAfterUpload_ = false;
        counters_.waitingToRead = true;
        readSince_ = nowNs;
        out_.message(1, "waiting to read");
    }
}

void Controller::reset(int64_t nowNs) {
    drain(nowNs);
    if (state_ == State::Receiving) {
        std::string held = scanner_.takeHeld();
        data_ += held;
        counters_.programBytes += static_cast<int64_t>(held.size());
        flushData();
    }
    if (state_ == State::Sending)
        output_.clear();
    program_.clear();
    pendingAnswer_ = -1;
    readAfterUpload_ = false;
    counters_.waitingToRead = false;
    counters_.bufferLevel = 0;
    counters_.hostHeld = false;
    if (counters_.flowHeld)
        sendXon();
    out_.message(1, "reset");
    enter(State::Idle);
}

void Controller::finish() {
    if (state_ == State::Receiving) {
        std::string held = scanner_.takeHeld();
        data_ += held;
        counters_.programBytes += static_cast<int64_t>(held.size());
    }
    flushData();
}

void Controller::drain(int64_t nowNs) {
    if (nsPerChar_ == 0 || counters_.bufferLevel == 0) {
        drainMark_ = nowNs;
    } else if (nowNs > drainMark_) {
        int64_t chars = (nowNs - drainMark_) / nsPerChar_;
        if (chars >= counters_.bufferLevel) {
            counters_.bufferLevel = 0;
            drainMark_ = nowNs;
        } else {
            counters_.bufferLevel -= chars;
            drainMark_ += chars * nsPerChar_;
        }
        if (chars > 0 && reportDue_ < 1)
            reportDue_ = 1;
    }
    if (counters_.flowHeld && counters_.bufferLevel <= opt_.xonAt)
        sendXon();
}

void Controller::sendXoff() {
    urgent_.push_back(kXoff);
    counters_.flowHeld = true;
    ++counters_.xoffSent;
    afterXoffCurrent_ = 0;
    if (counters_.afterXoff.size() < Counters::kAfterXoffKept)
        counters_.afterXoff.push_back(0);
    out_.message(2, "XOFF sent at " + std::to_string(counters_.bufferLevel) + " characters");
    reportDue_ = 2;
}

void Controller::sendXon() {
    urgent_.push_back(kXon);
    counters_.flowHeld = false;
    ++counters_.xonSent;
    out_.message(2, "XON sent");
    reportDue_ = 2;
}

void Controller::queueTrigger(int index) {
    const std::string& s = opt_.triggers[static_cast<size_t>(index)];
    if (s.empty())
        return;
    output_ += s;
    ++counters_.triggersSent[index];
    out_.message(1, std::string(triggerName(index)) + " string sent: " + printable(s));
}

// The answer to a download cue: at once, or on the `answer` command.
void Controller::answerOrHold(int cue) {
    int reply = cue == DownloadStart ? DownloadReady : DownloadEnd;
    if (opt_.triggers[static_cast<size_t>(reply)].empty())
        return;
    if (opt_.manualAnswers) {
        pendingAnswer_ = cue;
        out_.message(1, std::string(triggerName(reply)) + " string waits for the answer command");
    } else {
        queueTrigger(reply);
    }
}

void Controller::answer(int64_t nowNs) {
    int cue = pendingAnswer_;
    pendingAnswer_ = -1;
    reportDue_ = 2;
    if (cue == DownloadStart)
        queueTrigger(DownloadReady);
    else if (cue == DownloadStop)
        queueTrigger(DownloadEnd);
    else if (cue == UploadStart)
        startUpload(nowNs);
    else
        out_.message(0, "no answer waits");
}

std::string Controller::answerPending() const {
    switch (pendingAnswer_) {
    case DownloadStart:
        return "download_ready";
    case DownloadStop:
        return "download_end";
    case UploadStart:
        return "upload";
    default:
        return "";
    }
}

void Controller::flushData() {
    if (data_.empty())
        return;
    out_.programData(data_);
    data_.clear();
}

void Controller::error(const std::string& text) {
    ++counters_.errors;
    counters_.lastError = text;
    out_.message(0, text);
    reportDue_ = 2;
}

void Controller::tick(int64_t nowNs) {
    drain(nowNs);
    pumpUpload(nowNs);
    if (nsReadTimeout_ > 0 && (counters_.waitingToRead || state_ == State::Receiving) &&
        nowNs - readSince_ >= nsReadTimeout_)
        readTimedOut(nowNs);
}

// What a control does when the program it waits for does not come: it stops
// reading with an alarm, keeping what it had, and is idle again.
void Controller::readTimedOut(int64_t nowNs) {
    ++counters_.readTimeouts;
    counters_.waitingToRead = false;
    if (state_ == State::Receiving) {
        out_.message(0, "read timed out within a download after " +
                            std::to_string(counters_.programBytes) + " bytes");
        reset(nowNs);
    } else {
        out_.message(0, "read timed out: no program came");
    }
    reportDue_ = 2;
}

int64_t Controller::nextDeadline() const {
    int64_t next = -1;
    auto consider = [&next](int64_t t) {
        if (next < 0 || t < next)
            next = t;
    };
    if (counters_.flowHeld && nsPerChar_ > 0)
        consider(drainMark_ + (counters_.bufferLevel - opt_.xonAt) * nsPerChar_);
    if (nsReadTimeout_ > 0 && (counters_.waitingToRead || state_ == State::Receiving))
        consider(readSince_ + nsReadTimeout_);
    if (state_ == State::Sending && !counters_.hostHeld && output_.empty()) {
        if (programPos_ < program_.size())
            consider(std::max(gapEnd_, nsPerSendChar_ > 0 ? nextChunk_ : 0));
        else
            consider(gapEnd_);
    }
    return next;
}

int Controller::takeReportDue() {
    int due = reportDue_;
    reportDue_ = 0;
    return due;
}

} // namespace vorl::sim
