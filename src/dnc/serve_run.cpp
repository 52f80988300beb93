#include "dnc/serve_run.h"

#include "dnc/end_signals.h"
#include "dnc/exit_codes.h"
#include "dnc/leftovers.h"
#include "dnc/served_line.h"
#include "dnc/service_config.h"
#include "dnc/service_log.h"
#include "dnc/transfer_run.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <unistd.h>
#include <vector>

namespace vorl::dnc {
namespace {

// The status file, written whole beside itself and renamed over it. A status
// that cannot be written is said once, on standard error (the journal) and in
// the service's log: `vorl-dnc status` would otherwise say the service has not
// run while it serves.
class StatusFile {
public:
    StatusFile(std::string path, ServiceLog& log) : path_(std::move(path)), log_(log) {}
    void write(const std::vector<std::string>& order,
               const std::map<std::string, std::string>& states, bool running);

private:
    std::string path_;
    ServiceLog& log_;
    bool failing_ = false;
};

void StatusFile::write(const std::vector<std::string>& order,
                       const std::map<std::string, std::string>& states, bool running) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string text = "pid=" + std::to_string(::getpid()) + "\nrunning=" + (running ? "1" : "0") +
                       "\nupdated=" + stamp + "\n";
    for (const std::string& machine : order) {
        text += machine + "\t" + states.at(machine) + "\n";
    }
    const std::string next = path_ + ".new";
    int error = 0;
    {
        std::ofstream out(next, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            error = errno != 0 ? errno : EIO;
        }
    }
    if (error == 0 && std::rename(next.c_str(), path_.c_str()) != 0) {
        error = errno;
    }
    if (error != 0 && !failing_) {
        log_.event("service", "ERROR: the status file " + path_ +
                                  " cannot be written: " + std::strerror(error) +
                                  " (vorl-dnc status cannot show this service)");
    } else if (error == 0 && failing_) {
        log_.event("service", "the status file " + path_ + " is written again");
    }
    failing_ = error != 0;
}

std::string readAll(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// What serve and status read: the machine file and the service file beside it.
struct Service {
    MachineList machines;
    ShopFiles shop;
    ServiceConfig config;
    std::string warning; // for the service's log
};

// Reads them, found as the other commands find the machine file; false, with
// the reason on standard error, when either cannot be read.
bool loadService(const DncCommandLine& line, const std::string& programDir, Service& service) {
    auto& [machines, shop, config, warning] = service;
    std::string why;
    if (!LoadShop(line.config, programDir, machines, shop, why, warning)) {
        std::fprintf(stderr, "vorl-dnc: %s\n", why.c_str());
        return false;
    }
    std::string errors;
    if (!ReadServiceConfig(ServiceFilePath(shop.configPath), config, errors)) {
        std::fprintf(stderr, "%s", errors.c_str());
        return false;
    }
    return true;
}

// The history the lines record in, when its settings have one; what it finds
// goes to the service's log: its failures, and programs changed at a control.
std::shared_ptr<history::HistoryRecorder> openHistory(const std::string& configPath,
                                                      ServiceLog& log) {
    std::string why;
    auto recorder = history::OpenHistory(configPath, why);
    if (!why.empty()) {
        log.event("service", "nothing is recorded in the history: " +
                                 why.substr(0, why.find_last_not_of('\n') + 1));
    }
    if (!recorder) {
        return recorder;
    }
    recorder->onFailure = [&log](const std::string& text) { log.event("service", text); };
    recorder->onRecorded = [&log](const history::TransferEvent& e, const history::RecordResult& r) {
        if (e.direction == history::Direction::Received && r.controlChangedBlocks > 0) {
            const std::string program = e.program.substr(0, e.program.find_last_of('.'));
            log.event(e.machine, program + " changed at the control: " +
                                     std::to_string(r.controlChangedBlocks) +
                                     (r.controlChangedBlocks == 1 ? " block" : " blocks"));
        }
    };
    return recorder;
}

} // namespace

int RunService(const DncCommandLine& line, const std::string& programDir) {
    // A file size limit makes a write fail (the program is then not saved,
    // and said so) instead of ending the whole service.
    std::signal(SIGXFSZ, SIG_IGN);
    Service files;
    if (!loadService(line, programDir, files)) {
        return kExitUsage;
    }
    auto& [machines, shop, config, warning] = files;
    ServiceLog log(config.logDirectory);
    StatusFile statusFile(config.statusFile, log);
    if (!warning.empty()) {
        log.event("service", warning);
    }
    // Declared after the log it writes to and destroyed before it: at the
    // end it records what the lines handed it last.
    const std::shared_ptr<history::HistoryRecorder> recorder = openHistory(shop.configPath, log);

    // Every enabled line names one machine of the machine file.
    std::vector<std::pair<int, LineService>> served;
    for (const LineService& s : config.lines) {
        if (!s.enabled) {
            continue;
        }
        int tag = 0;
        for (int i = 1; i < machines.count; ++i) {
            if (machines[i].name == s.machine &&
                (machines[i].canDownload() || machines[i].canUpload())) {
                tag = i;
                break;
            }
        }
        if (tag == 0) {
            std::fprintf(stderr, "vorl-dnc: %s: no machine named '%s' in %s\n", config.path.c_str(),
                         s.machine.c_str(), shop.configPath.c_str());
            return kExitUsage;
        }
        served.emplace_back(tag, s);
    }
    if (served.empty()) {
        std::fprintf(stderr, "vorl-dnc: %s serves no machine\n", config.path.c_str());
        return kExitUsage;
    }

    // Before any line starts, so that what is cleared up is earlier runs'.
    ClearUpLeftovers(machines, served, log);

    std::vector<std::string> order;
    std::map<std::string, std::string> states;
    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<ServedLine*> lines;
    for (auto& [tag, service] : served) {
        order.push_back(machines[tag].name);
        states[machines[tag].name] = "starting";
        auto thread = std::make_unique<QThread>();
        auto* served =
            new ServedLine(machines, tag, service, log, shop.translationPath, config.retrySecs);
        served->useHistory(recorder);
        served->moveToThread(thread.get());
        QObject::connect(served, &ServedLine::stateChanged, QCoreApplication::instance(),
                         [&](const QString& machine, const QString& state) {
                             states[machine.toStdString()] = state.toStdString();
                             statusFile.write(order, states, true);
                         });
        thread->start();
        lines.push_back(served);
        threads.push_back(std::move(thread));
    }
    statusFile.write(order, states, true);
    log.event("service",
              "serving " + std::to_string(lines.size()) + " machine(s) from " + config.path);
    // The status file is rewritten now and then even when no line changes,
    // so that `status` of a service that died says when it was last alive.
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, QCoreApplication::instance(),
                     [&] { statusFile.write(order, states, true); });
    heartbeat.start(static_cast<int>(config.heartbeatSecs * 1000));

    size_t stoppedLines = 0;
    for (ServedLine* served : lines) {
        QObject::connect(served, &ServedLine::stopped, QCoreApplication::instance(), [&] {
            if (++stoppedLines == lines.size()) {
                QCoreApplication::exit(kExitDone);
            }
        });
        QMetaObject::invokeMethod(served, "start", Qt::QueuedConnection);
    }
    EndSignals endSignals;
    bool stopping = false;
    QObject::connect(&endSignals, &EndSignals::arrived, QCoreApplication::instance(), [&](int) {
        if (stopping) {
            return;
        }
        stopping = true;
        log.event("service", "stopping");
        for (ServedLine* served : lines) {
            QMetaObject::invokeMethod(served, "stop", Qt::QueuedConnection);
        }
    });
    const int status = QCoreApplication::exec();
    heartbeat.stop();
    for (size_t i = 0; i < threads.size(); ++i) {
        threads[i]->quit();
        threads[i]->wait();
        delete lines[i];
    }
    for (auto& [machine, state] : states) {
        state = "stopped";
    }
    statusFile.write(order, states, false);
    log.event("service", "stopped");
    return status;
}

int ShowServiceStatus(const DncCommandLine& line, const std::string& programDir) {
    Service files;
    if (!loadService(line, programDir, files)) {
        return kExitUsage;
    }
    const ServiceConfig& config = files.config;
    bool ok = false;
    std::string text = readAll(config.statusFile, ok);
    if (!ok && !config.statusFileNamed) {
        // Run by systemd, the service kept its status in the unit's runtime
        // folder, which an operator's shell does not name.
        text = readAll(kUnitStatusFile, ok);
    }
    if (!ok) {
        std::fprintf(stderr, "vorl-dnc: no status in %s: the service has not run\n",
                     config.statusFile.c_str());
        return kExitFile;
    }
    std::string out;
    long pid = 0;
    bool running = false;
    std::string updated;
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        if (eol == std::string::npos) {
            eol = text.size();
        }
        const std::string row = text.substr(at, eol - at);
        at = eol + 1;
        if (row.rfind("pid=", 0) == 0) {
            pid = std::atol(row.c_str() + 4);
        } else if (row.rfind("running=", 0) == 0) {
            running = row == "running=1";
        } else if (row.rfind("updated=", 0) == 0) {
            updated = row.substr(8);
        } else if (const size_t tab = row.find('\t'); tab != std::string::npos) {
            out += row.substr(0, tab) + ": " + row.substr(tab + 1) + "\n";
        }
    }
    // A service killed without its last word leaves states that are over.
    if (running && (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))) {
        running = false;
    }
    std::printf("%s%s", running ? "" : ("not running (last seen " + updated + ")\n").c_str(),
                out.c_str());
    return kExitDone;
}

} // namespace vorl::dnc
