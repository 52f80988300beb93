// One machine tool served by `vorl-dnc serve`: its own thread, transfer
// engine, port and delivery, so that a fault on one line never stalls
// another.
//
// How it works. The line listens: an upload into a spool file in the
// machine's upload directory, which the engine fills and filters as the
// window's Receive does and which waits for the control's first character
// without limit. A program that arrives is a remote request when the
// request pattern matches its first lines: the named program of the
// download directory, or a short "not found" program, goes back after the
// delay through the engine's download (the machine's EOB, tape code and
// leader). Otherwise, with auto receive, it is saved under its program
// number, never over another program. Then the line listens again. A port
// that cannot be opened, or a line that goes away, is tried again every few
// seconds. Each step is logged; the state is reported for the status file.
#pragma once

#include "dnc/service_config.h"
#include "history/history_recorder.h"
#include "machines/machine_config.h"

#include <QObject>
#include <QString>

#include <memory>
#include <string>

class QTimer;

namespace vorl {
class QtDelivery;
class TTransferEngine;
struct TransferOutcome;
} // namespace vorl

namespace vorl::dnc {

class DncView;
class ServiceLog;

class ServedLine : public QObject {
    Q_OBJECT

public:
    ServedLine(const MachineList& machines, int tag, LineService service, ServiceLog& log,
               std::string translationFile, double retrySecs);
    ~ServedLine() override;

    // The history its transfers are recorded in (null: none); before start.
    void useHistory(std::shared_ptr<history::HistoryRecorder> recorder) {
        history_ = std::move(recorder);
    }

    // Both run on the line's thread (queued).
    Q_INVOKABLE void start();
    // Stops as Reset does: a program being received is not saved. Then
    // `stopped`.
    Q_INVOKABLE void stop();

Q_SIGNALS:
    // "idle", "receiving", "sending P1234 37 %", "waiting for the line".
    void stateChanged(const QString& machine, const QString& state);
    void stopped();

private:
    // GivingUp: a transfer abandoned, until the line listens again.
    enum class Phase { Listening, Sending, GivingUp, WaitingForLine, Stopped };

    void listen();
    void go();
    void ended(const TransferOutcome& outcome);
    void received();
    void notSaved(const std::string& why);
    void answerRequest(const std::string& wanted);
    void answerWith(const std::string& text, const std::string& what);
    void sendBack(const std::string& path, const std::string& name);
    void noAnswer();
    void lineDown(const std::string& why);
    void checkLine();
    void finishStop();
    void later(void (ServedLine::*step)());
    void setState(const std::string& state);
    void log(const std::string& text);
    std::string name() const;

    MachineList machines_;
    int tag_;
    LineService service_;
    ServiceLog& log_;
    std::string translationFile_;
    double retrySecs_;

    std::shared_ptr<history::HistoryRecorder> history_;
    std::unique_ptr<DncView> view_;
    std::shared_ptr<QtDelivery> delivery_;
    std::unique_ptr<TTransferEngine> engine_;
    QTimer* retry_ = nullptr;       // the next try of a lost line
    QTimer* delay_ = nullptr;       // the request's delay before the answer
    QTimer* lineCheck_ = nullptr;   // a listening line that goes away
    QTimer* progress_ = nullptr;    // the state while sending
    QTimer* answerTimer_ = nullptr; // a wait for the control's answer while sending

    Phase phase_ = Phase::Listening;
    bool lineUp_ = true;
    bool everOpened_ = false;    // the port has been open since the start
    bool listenOwed_ = false;    // listen once the engine's sequence is out
    bool announcedIdle_ = false; // this listen has been reported as idle
    int failedChecks_ = 0;       // checks in a row that found the line failed
    int inGo_ = 0;               // go() on the stack: the engine waits in its own loop
    std::string spool_;
    std::string sending_;      // the name of the program going out
    std::string notFoundFile_; // the not-found program, deleted once sent
    std::string state_;
};

} // namespace vorl::dnc
