// What the transfer engine's benchmarks share: a view that only keeps the
// status, a machine on COM 8, a pty whose far side a thread reads as a serial
// line at a given speed would bring the bytes in, and a CPU clock.
#pragma once

#include "transfer/transfer_engine.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace vorl::bench {

class StatusView : public TransferView {
public:
    std::string status;
    bool sawXoff = false;
    std::optional<std::string> file;

    void ShowStatus(const std::string& text) override;
    void ShowOperation(const std::string&) override {}
    void ShowMachine(const std::string&) override {}
    void ShowFileName(const std::string&) override {}
    void ShowPanel(Panel, const std::string&) override {}
    void ShowProgress(int) override {}
    void ShowGoButton(const std::string&, bool) override {}
    void EnableReview(bool) override {}
    void SetLightMonitoring(bool) override {}
    void PutLightsOut() override {}
    void ShowMessage(const std::string& text) override;
    void ShowError(const std::string& text) override;
    std::optional<std::string> AskOpenFile(const FileQuestion&) override { return file; }
    std::optional<std::string> AskSaveFile(const FileQuestion&) override { return file; }
    bool HasCommandLineFile() override { return false; }
    void ForgetCommandLineFile() override {}
};

constexpr int kBenchPort = 8;

// A machine on COM 8 with the given handshake and speed, 8N1, LF.
MachineList benchMachines(int handshake, int32_t baud);

// A part program of about `bytes` characters, blocks of 25 to 40.
std::string partProgram(size_t bytes);
std::string writeTemp(const std::string& name, const std::string& bytes);

// A pty. A thread reads its master side no faster than `cps` characters a
// second (0: as fast as they come), as a serial line brings them in.
class LinePty {
public:
    explicit LinePty(int64_t cps);
    ~LinePty();
    const std::string& path() const { return path_; }
    int slave() const { return slave_; }
    int64_t received() const { return received_; }
    // Waits until `count` characters have been read; the time of the last.
    std::chrono::steady_clock::time_point waitFor(int64_t count);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    int64_t cps_;
    std::atomic<int64_t> received_{0};
    std::atomic<int64_t> lastAt_{0};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// Processor time of the whole process (all threads), in seconds.
double processCpuSeconds();

} // namespace vorl::bench
