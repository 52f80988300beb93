// The transfer engine on a real line, with a plain view that records what it
// is shown: the simulated machine tool on a pty, a pty drained by a thread,
// or an lrzsz peer behind socat. Every wait has a deadline; none sleeps.
#pragma once

#include "machines/machine_config.h"
#include "serial/ui/qt_delivery.h"
#include "sim_process.h"
#include "transfer/transfer_engine.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vorl::test {

using sim::test::Report;
using sim::test::SimProcess;
using sim::test::TempDir;

constexpr std::chrono::milliseconds kDeadline{15000};

class FakeView : public TransferView {
public:
    std::vector<std::string> statuses; // every text shown, in order
    std::string status, operation, machineName, fileName;
    std::map<Panel, std::string> panels;
    int progress = 0;
    std::string goCaption = "Connect";
    bool goEnabled = false;
    bool reviewEnabled = false;
    bool monitoring = false;
    std::vector<std::string> messages, errors;
    std::optional<std::string> openAnswer, saveAnswer;
    bool commandLineFile = false;

    bool sawStatus(const std::string& text) const;

    void ShowStatus(const std::string& text) override;
    void ShowOperation(const std::string& text) override { operation = text; }
    void ShowMachine(const std::string& text) override { machineName = text; }
    void ShowFileName(const std::string& text) override { fileName = text; }
    void ShowPanel(Panel panel, const std::string& text) override { panels[panel] = text; }
    void ShowProgress(int percent) override { progress = percent; }
    void ShowGoButton(const std::string& caption, bool enabled) override {
        goCaption = caption;
        goEnabled = enabled;
    }
    void EnableReview(bool enabled) override { reviewEnabled = enabled; }
    void SetLightMonitoring(bool on) override { monitoring = on; }
    void PutLightsOut() override {}
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void ShowError(const std::string& text) override { errors.push_back(text); }
    std::optional<std::string> AskOpenFile(const FileQuestion&) override { return openAnswer; }
    std::optional<std::string> AskSaveFile(const FileQuestion&) override { return saveAnswer; }
    bool HasCommandLineFile() override { return commandLineFile; }
    void ForgetCommandLineFile() override { commandLineFile = false; }
};

// A pty whose master side a thread reads into `received` as it comes.
class PtyDrain {
public:
    PtyDrain();
    ~PtyDrain();
    const std::string& path() const { return path_; }
    std::string received();
    void send(const std::string& bytes);
    // The far side goes away, as an unplugged adapter does.
    void hangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::mutex m_;
    std::string received_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// The simulated machine tool on its own pty, its files in `dir`.
struct SimMachine {
    SimMachine(const TempDir& dir, std::vector<std::string> args);
    Report report() const;
    // Runs the event loop until the report satisfies `ready`.
    Report waitFor(const std::function<bool(const Report&)>& ready);
    std::string received() const;

    const TempDir& dir;
    SimProcess process;
};

long long num(const Report& r, const std::string& key);

// Runs the event loop until `cond` holds or the deadline passes.
bool runUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline = kDeadline);
// Runs `action` once, from the event loop, as soon as `cond` holds.
void whenever(QObject* owner, std::function<bool()> cond, std::function<void()> action);

// Runs a shell command with socat on a new pty linked at `link`, in
// `workDir`; the command reads and writes a socket pair, not a terminal:
// lrzsz on a pty of its own can lose its last answer as it exits. lrzsz
// refuses file names with a directory in them.
class SocatPeer {
public:
    SocatPeer(const std::string& link, const std::string& command, const std::string& workDir);
    ~SocatPeer();
    // Waits for the command to end; its exit status, or -1 on the deadline.
    int wait(std::chrono::milliseconds deadline = kDeadline);

private:
    int pid_ = -1;
};

class EngineTest : public ::testing::Test {
protected:
    static constexpr int kPort = 7; // COM 7 is the port of the machine under test

    EngineTest();
    ~EngineTest() override;

    // Points COM 7 at `path`.
    void usePort(const std::string& path);
    // A program of `blocks` numbered blocks with LF line ends.
    static std::string program(int blocks);
    std::string writeProgram(const std::string& name, const std::string& bytes);
    void chooseDownload(const std::string& path);
    void chooseUpload(const std::string& path);
    void click() { engine->cmdGoClick(); }
    std::string prepared() const;

    TempDir dir;
    MachineList machines;
    MachineConfig& m;
    FakeView view;
    std::shared_ptr<QtDelivery> delivery;
    std::unique_ptr<TTransferEngine> engine;
};

} // namespace vorl::test
