#include "dnc/served_line.h"

#include "dnc/dnc_view.h"
#include "dnc/leftovers.h"
#include "dnc/program_names.h"
#include "dnc/service_log.h"
#include "platform/port_map.h"
#include "serial/ui/qt_delivery.h"
#include "transfer/temp_file.h"
#include "transfer/transfer_engine.h"

#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace vorl::dnc {
namespace {

namespace fs = std::filesystem;
using Kind = TransferOutcome::Kind;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string directoryOr(const std::string& dir) {
    return dir.empty() ? std::string(".") : dir;
}

// A name from the control as the log shows it: cut to a sane length (the log
// escapes what is not printable).
std::string shown(const std::string& name) {
    constexpr size_t kShown = 80;
    if (name.size() <= kShown) {
        return name;
    }
    return name.substr(0, kShown) + "... (" + std::to_string(name.size()) + " bytes)";
}

// The short program that answers a request with no program to send: the
// control shows its comment, so the operator sees why. Only what a comment
// may hold goes into it.
std::string notFoundProgram(const std::string& why) {
    std::string comment = "NOT FOUND ";
    for (const char c : why) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || c == ' ' || c == '-' || c == '.' || c == '_' || c == ',' ||
            c == ':') {
            comment += static_cast<char>(std::toupper(u));
        }
        if (comment.size() >= 64) {
            break;
        }
    }
    return "%\nO9999 (" + comment + ")\nM30\n%\n";
}

// The directory entry of a program just renamed into it survives a power cut
// only once the directory itself is on the disk.
void syncDirectory(const std::string& path) {
    const int fd = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

ServedLine::ServedLine(const MachineList& machines, int tag, LineService service, ServiceLog& log,
                       std::string translationFile, double retrySecs)
    : machines_(machines), tag_(tag), service_(std::move(service)), log_(log),
      translationFile_(std::move(translationFile)), retrySecs_(retrySecs) {}

ServedLine::~ServedLine() {
    // The engine goes first: its port's notices come through the delivery.
    engine_.reset();
    if (!notFoundFile_.empty()) {
        deleteTempFile(notFoundFile_);
    }
}

std::string ServedLine::name() const {
    return machines_[tag_].name;
}

void ServedLine::log(const std::string& text) {
    log_.event(name(), text);
}

void ServedLine::setState(const std::string& state) {
    if (state != state_) {
        state_ = state;
        Q_EMIT stateChanged(QString::fromStdString(name()), QString::fromStdString(state));
    }
}

// Each step starts from the event loop, never from inside the engine's
// report of the step before.
void ServedLine::later(void (ServedLine::*step)()) {
    QTimer::singleShot(0, this, step);
}

void ServedLine::start() {
    delivery_ = std::make_shared<QtDelivery>();
    view_ = std::make_unique<DncView>(-1, false, true);
    view_->onEnded = [this](const TransferOutcome& outcome) { ended(outcome); };
    view_->onError = [this](const std::string& text) { log(text); };
    // Idle once the line listens (from then on nothing the control sends is
    // thrown away as what came before the upload); receiving once the
    // control answers, until the line listens again.
    view_->onWaiting = [this](bool waiting) {
        // A wait for the control's answer within a request's answer ends
        // after answer_timeout: nobody is there to press Reset.
        if (phase_ == Phase::Sending) {
            if (!waiting) {
                answerTimer_->stop();
            } else if (service_.answerTimeoutSecs > 0) {
                answerTimer_->start(static_cast<int>(service_.answerTimeoutSecs * 1000));
            }
            return;
        }
        if (phase_ != Phase::Listening) {
            return;
        }
        if (!waiting) {
            setState("receiving");
        } else if (!announcedIdle_) {
            announcedIdle_ = true;
            setState("idle");
        }
    };
    view_->begin();
    engine_ = std::make_unique<TTransferEngine>(machines_, *view_, delivery_);
    engine_->translationFile = translationFile_;
    // A program punched out is recorded once it is saved under its number,
    // and a request is no program.
    engine_->history = history_;
    engine_->recordReceives = false;
    engine_->Protocol1.SetHandshakeWait(182);
    engine_->endUploadAtEndString = service_.endAtEndString;
    // The control hears that its program arrived only once it is saved.
    engine_->answerWhenSaved = true;
    // A control punches out unasked, with or without its Ready string.
    engine_->uploadReadyOptional = true;
    // A program the control punches out between two transfers waits in the
    // open port for the next listen.
    engine_->keepPortOpen = true;
    engine_->Protocol1.SetAsciiEOFTimeout(
        static_cast<uint32_t>(std::max(1.0, service_.endSilenceSecs * 1000 / 55)));

    auto timer = [this](bool single) {
        auto* t = new QTimer(this);
        t->setSingleShot(single);
        return t;
    };
    retry_ = timer(true);
    connect(retry_, &QTimer::timeout, this, &ServedLine::listen);
    delay_ = timer(true);
    lineCheck_ = timer(false);
    connect(lineCheck_, &QTimer::timeout, this, &ServedLine::checkLine);
    lineCheck_->start(static_cast<int>(retrySecs_ * 1000));
    answerTimer_ = timer(true);
    connect(answerTimer_, &QTimer::timeout, this, &ServedLine::noAnswer);
    progress_ = timer(false);
    connect(progress_, &QTimer::timeout, this, [this] {
        setState("sending " + sending_ + " " + std::to_string(view_->percent()) + " %");
    });

    const MachineConfig& m = machines_[tag_];
    spool_ = SpoolPath(m.uploadDirectory, tag_);
    log("served on COM " + std::to_string(m.port) +
        (service_.remoteRequest ? ", remote request" : "") +
        (service_.autoReceive ? ", auto receive" : ""));
    if (!m.triggers[UploadStart].empty()) {
        log("warning: the machine's upload Start string is sent to the control whenever the "
            "line listens again; leave it empty for a control that punches out by itself");
    }
    listen();
}

void ServedLine::listen() {
    if (phase_ == Phase::Stopped) {
        return;
    }
    if (inGo_ > 0) {
        // The engine's sequence is still on the stack: listen once it is out.
        listenOwed_ = true;
        return;
    }
    phase_ = Phase::Listening;
    answerTimer_->stop();
    announcedIdle_ = false;
    progress_->stop();
    view_->receiveTarget = spool_;
    engine_->mnuCommUploadClick(tag_);
    later(&ServedLine::go);
}

// Connect, then Transmit or Receive; the end comes to ended().
void ServedLine::go() {
    if (phase_ == Phase::Stopped) {
        return;
    }
    ++inGo_;
    engine_->cmdGoClick();
    if (phase_ != Phase::Stopped && engine_->goState() != TTransferEngine::GoState::Connect) {
        if (!lineUp_) {
            lineUp_ = true;
            log(everOpened_ ? "line is back" : "line opened");
        }
        everOpened_ = true;
        if (phase_ == Phase::Sending) {
            setState("sending " + sending_);
        }
        engine_->cmdGoClick();
    } // else the port did not open: ended() has it
    if (--inGo_ == 0 && phase_ == Phase::Stopped) {
        finishStop(); // stop() came during a wait of the engine
    } else if (inGo_ == 0 && listenOwed_) {
        listenOwed_ = false;
        later(&ServedLine::listen);
    }
}

// The control did not answer a request's answer in time: the line gives up
// the program and listens again.
void ServedLine::noAnswer() {
    if (phase_ != Phase::Sending) {
        return;
    }
    char secs[32];
    std::snprintf(secs, sizeof secs, "%g", service_.answerTimeoutSecs);
    log("the control did not answer within " + std::string(secs) + " s (" + view_->lastStatus() +
        "): sending " + sending_ + " given up");
    phase_ = Phase::GivingUp;
    progress_->stop();
    engine_->cmdResetClick();
    listen();
}

// Only the port knows that a device it listens on has gone; a line that
// waits for a control's first character asks it now and then.
//
// Only a failure seen at two checks in a row counts: a device that is really
// gone stays failed, and one check more costs a few seconds at most.
void ServedLine::checkLine() {
    const bool failed = (phase_ == Phase::Listening || phase_ == Phase::Sending) &&
                        engine_->ComPort1.Open() && engine_->ComPort1.GetLineFailure() != 0;
    failedChecks_ = failed ? failedChecks_ + 1 : 0;
    if (failedChecks_ >= 2) {
        failedChecks_ = 0;
        // Whatever the line was doing: a sending line waits in the engine,
        // which Reset lets go.
        phase_ = Phase::GivingUp;
        engine_->cmdResetClick();
        lineDown("the device failed or hung up");
    }
}

void ServedLine::lineDown(const std::string& why) {
    if (phase_ == Phase::Stopped) {
        return;
    }
    if (lineUp_) {
        lineUp_ = false;
        char every[32];
        std::snprintf(every, sizeof every, "%g", retrySecs_);
        const int port = machines_[tag_].port;
        // A line that never opened was never there to be lost.
        log(std::string(everOpened_ ? "line lost" : "cannot open the line") + " (COM " +
            std::to_string(port) + ", " + platform::ComPortPath(port) + ": " + why +
            "); trying again every " + every + " s");
    }
    phase_ = Phase::WaitingForLine;
    answerTimer_->stop();
    progress_->stop();
    setState("waiting for the line");
    retry_->start(static_cast<int>(retrySecs_ * 1000));
}

void ServedLine::ended(const TransferOutcome& outcome) {
    if (phase_ == Phase::Stopped) {
        return;
    }
    const std::string status = view_->lastStatusFor(machines_[tag_].port);
    if (outcome.kind == Kind::PortFailed) {
        QTimer::singleShot(0, this, [this, status] { lineDown(status); });
        return;
    }
    if (phase_ == Phase::Listening) {
        switch (outcome.kind) {
        case Kind::Done:
            later(&ServedLine::received);
            return;
        case Kind::EndAssumed:
            if (!machines_[tag_].triggers[UploadEnd].empty()) {
                // A control that has an End string and did not send it has
                // stopped halfway: what came is no program to keep.
                log("receive ended by silence without the End string after " +
                    std::to_string(engine_->Protocol1.BytesTransferred()) + " bytes: not saved");
                QTimer::singleShot(0, this, [this] {
                    engine_->cmdResetClick();
                    listen();
                });
                return;
            }
            // Silence is this control's only end: saved as Stop saves it.
            QTimer::singleShot(0, this, [this] { engine_->cmdStopClick(); });
            return;
        case Kind::Failed:
            if (engine_->ComPort1.Open() && engine_->ComPort1.GetLineFailure() == 0) {
                notSaved(status); // the line is well: the program could not be written
                return;
            }
            log("receive failed: " + status);
            QTimer::singleShot(0, this, [this, status] {
                engine_->cmdResetClick();
                lineDown(status);
            });
            return;
        case Kind::FileFailed:
            notSaved(status);
            return;
        default:
            log("receive failed: " + status);
            later(&ServedLine::listen);
            return;
        }
    }
    if (phase_ == Phase::Sending) {
        answerTimer_->stop();
        if (outcome.kind == Kind::Done) {
            log("sent " + sending_ + " (" + std::to_string(engine_->transfer.charsTotal) +
                " bytes)");
        } else {
            log("sending " + sending_ + " failed: " + status);
        }
        if (!notFoundFile_.empty()) {
            deleteTempFile(notFoundFile_);
            notFoundFile_.clear();
        }
        if (outcome.kind == Kind::Failed) {
            QTimer::singleShot(0, this, [this, status] {
                engine_->cmdResetClick();
                lineDown(status);
            });
        } else {
            later(&ServedLine::listen);
        }
    }
}

// A program came but could not be written: the control is not told that it
// arrived, so it still holds it, and the log says so loudly.
void ServedLine::notSaved(const std::string& why) {
    log("ERROR: a program received (" + std::to_string(engine_->Protocol1.BytesTransferred()) +
        " bytes) was NOT SAVED and the control was not answered: " + why);
    QTimer::singleShot(0, this, [this] {
        engine_->cmdResetClick();
        listen();
    });
}

void ServedLine::received() {
    const MachineConfig& m = machines_[tag_];
    const std::string program = readAll(spool_);
    if (service_.remoteRequest) {
        if (const auto wanted =
                FindRequest(program, service_.requestPattern, service_.requestLines)) {
            std::remove(spool_.c_str());
            // The request itself has arrived: the control hears so at once.
            engine_->AnswerUploadEnd();
            answerRequest(*wanted);
            return;
        }
    }
    if (!service_.autoReceive) {
        log("received " + std::to_string(program.size()) +
            " bytes that are no request: not kept (auto receive is off), not answered");
        std::remove(spool_.c_str());
        later(&ServedLine::listen);
        return;
    }
    const std::string number = ProgramNumber(program).value_or("NONAME");
    std::string why;
    const auto saved =
        SaveWithoutOverwrite(spool_, directoryOr(m.uploadDirectory),
                             ApplyTemplate(service_.receiveFile, number, m.uploadExtension), &why);
    if (saved) {
        syncDirectory(*saved);
        engine_->AnswerUploadEnd();
        log("received " + number + " (" + std::to_string(program.size()) + " bytes): " + *saved);
        // Under the name it was meant to have, also when it was saved beside
        // a program of that name: then it is tied to what was sent as that.
        engine_->RecordInHistory(history::Direction::Received, *saved,
                                 ApplyTemplate(service_.receiveFile, number, m.uploadExtension));
    } else {
        log("ERROR: received " + number + " (" + std::to_string(program.size()) +
            " bytes) was NOT SAVED and the control was not answered: " + why);
        std::remove(spool_.c_str());
    }
    later(&ServedLine::listen);
}

// A request for `wanted`: the program, or the not-found program with the
// reason.
void ServedLine::answerRequest(const std::string& wanted) {
    const MachineConfig& m = machines_[tag_];
    const std::string directory = directoryOr(m.downloadDirectory);
    std::string why = RefuseName(wanted);
    // What the control shows: never a path of this computer.
    std::string told = why;
    std::optional<std::string> path;
    if (why.empty()) {
        told = "not a program of the folder";
        const std::string fileName =
            ApplyTemplate(service_.requestFile, wanted, m.downloadExtension);
        path = FileInside(directory, fileName, &why);
        std::error_code ec;
        if (path && !fs::exists(*path, ec)) {
            // Another letter case, when only one program fits.
            if (const auto other = FindIgnoringCase(directory, fileName)) {
                path = FileInside(directory, *other, &why);
            }
        }
    }
    if (!why.empty()) {
        log("request for '" + shown(wanted) + "' refused: " + why);
        answerWith(notFoundProgram("NAME REFUSED: " + told), "refusal of '" + shown(wanted) + "'");
        return;
    }
    std::error_code ec;
    if (!fs::is_regular_file(*path, ec)) {
        log("request for " + wanted + ": not found (" + *path + ")");
        answerWith(notFoundProgram(wanted), "not-found answer for " + wanted);
        return;
    }
    log("request for " + wanted + ": " + *path);
    sendBack(*path, wanted);
}

void ServedLine::answerWith(const std::string& text, const std::string& what) {
    notFoundFile_ = createTempFileName("dnf");
    std::ofstream(notFoundFile_, std::ios::binary) << text;
    sendBack(notFoundFile_, what);
}

void ServedLine::sendBack(const std::string& path, const std::string& name) {
    phase_ = Phase::Sending;
    sending_ = name;
    // The operator switches the control to read meanwhile; the port stays
    // open.
    engine_->cmdResetClick();
    setState("sending " + name);
    delay_->disconnect();
    connect(delay_, &QTimer::timeout, this, [this, path] {
        engine_->SetFileName(path);
        engine_->recordSends = path != notFoundFile_; // the answer is no program
        view_->sendFile = path;
        engine_->mnuCommDownloadClick(tag_);
        progress_->start(1000);
        go();
    });
    delay_->start(static_cast<int>(service_.requestDelaySecs * 1000));
}

void ServedLine::stop() {
    phase_ = Phase::Stopped;
    retry_->stop();
    delay_->stop();
    answerTimer_->stop();
    lineCheck_->stop();
    progress_->stop();
    engine_->cmdResetClick(); // a program half received is not saved
    if (inGo_ == 0) {
        finishStop();
    }
}

void ServedLine::finishStop() {
    std::remove(spool_.c_str());
    engine_.reset();
    log("stopped");
    Q_EMIT stopped();
}

} // namespace vorl::dnc
