#include "dnc/transfer_run.h"

#include "app/command_line.h"
#include "app/file_locations.h"
#include "dnc/dnc_view.h"
#include "dnc/end_signals.h"
#include "dnc/exit_codes.h"
#include "machines/config_file.h"
#include "machines/machine_table.h"
#include "platform/port_map.h"
#include "platform/replaced_file.h"
#include "serial/ticks.h"
#include "serial/ui/qt_delivery.h"
#include "text/language_table.h"
#include "transfer/temp_file.h"
#include "transfer/transfer_engine.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vorl::dnc {
namespace {

namespace fs = std::filesystem;
using Kind = TransferOutcome::Kind;

std::string encoded(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// Why `path` cannot be sent, or empty when it can.
std::string unreadable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return path + ": not a regular file";
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return path + ": " + std::strerror(errno);
    }
    return {};
}

// Why a program cannot be received into `path`, or empty when it can.
std::string machineNames(const MachineList& machines, const std::vector<int>& slots) {
    std::string names;
    for (int slot : slots) {
        names += "\n  " + machines[slot].name;
    }
    return names;
}

} // namespace

std::shared_ptr<history::HistoryRecorder>
OpenHistoryReportingOnStderr(const std::string& configPath) {
    std::string why;
    auto recorder = history::OpenHistory(configPath, why);
    if (!why.empty()) {
        std::fprintf(stderr, "vorl-dnc: nothing is recorded in the history: %s", why.c_str());
    }
    if (recorder) {
        recorder->onFailure = [](const std::string& text) {
            std::fprintf(stderr, "vorl-dnc: %s\n", text.c_str());
        };
    }
    return recorder;
}

bool LoadShop(const std::string& config, const std::string& programDir, MachineList& machines,
              ShopFiles& shop, std::string& why, std::string& warning) {
    // The window's files: the machine file, its port map and translation file,
    // the language file.
    const FileLocations files =
        LocateFiles(QFile::decodeName(programDir.c_str()) + "/vorl", UserConfigDirectory());
    const MachineFiles machineFiles = UseMachineFiles(files, QFile::decodeName(config.c_str()));
    Language().LoadLanguageFile(encoded(files.languageFile));
    shop.configPath = encoded(machineFiles.configPath);
    shop.translationPath = encoded(machineFiles.translationPath);
    bool damaged = false;
    if (ReadConfiguration(shop.configPath, machines, [&] { damaged = true; }) == 0) {
        why = "cannot read the machine file " + shop.configPath;
        return false;
    }
    if (damaged) {
        warning = Text(TextId::ConfigFileDamaged);
    }
    return true;
}

int RunTransfer(const DncCommandLine& line, const std::string& programDir) {
    const bool upload = line.command == DncCommandLine::Command::Receive;
    DncView view(STDERR_FILENO, ::isatty(STDERR_FILENO) == 1, line.quiet);

    MachineList machines;
    ShopFiles shop;
    std::string why;
    std::string warning;
    if (!LoadShop(line.config, programDir, machines, shop, why, warning)) {
        view.error(why);
        return kExitUsage;
    }
    view.error(warning);
    const std::string& configPath = shop.configPath;
    const std::vector<int> chosen = CommandLineMachineCandidates(machines, line.machine, upload);
    if (chosen.size() != 1) {
        const char* kind = upload ? "upload" : "download";
        if (chosen.empty()) {
            view.error("no " + std::string(kind) + " machine's name starts with '" + line.machine +
                       "'; the " + kind + " machines in " + configPath + " are:" +
                       machineNames(machines, CommandLineMachineCandidates(machines, "", upload)));
        } else {
            view.error("'" + line.machine + "' fits several " + kind +
                       " machines; give more of the name:" + machineNames(machines, chosen));
        }
        return kExitUsage;
    }
    const int tag = chosen.front();

    std::string program;
    if (!upload) {
        program = LongFileName(line.file);
        if (const std::string why = unreadable(program); !why.empty()) {
            view.error(why);
            return kExitFile;
        }
    }

    auto delivery = std::make_shared<QtDelivery>();
    TTransferEngine engine(machines, view, delivery);
    view.error(recoveredMessage(engine.leftovers()));
    engine.translationFile = shop.translationPath;
    engine.Protocol1.SetHandshakeWait(182); // as the window sets it
    // Nobody is there to press Stop: the End string ends the receive.
    engine.endUploadAtEndString = true;
    if (line.silenceSecs > 0) {
        engine.Protocol1.SetAsciiEOFTimeout(static_cast<uint32_t>(Secs2Ticks(line.silenceSecs)));
    }
    engine.history = OpenHistoryReportingOnStderr(shop.configPath);

    int exitCode = -1;
    auto finish = [&](int code, const std::string& why) {
        if (exitCode >= 0) {
            return;
        }
        exitCode = code;
        view.finish();
        if (!why.empty()) {
            view.error(why);
        }
        QCoreApplication::exit(code);
    };
    auto portName = [&] {
        const int port = machines[tag].port;
        return "COM " + std::to_string(port) + " (" + platform::ComPortPath(port) + ")";
    };

    view.onEnded = [&](const TransferOutcome& outcome) {
        switch (outcome.kind) {
        case Kind::Done:
            finish(kExitDone, {});
            break;
        case Kind::PortFailed: {
            // Said once: a reason that names the device stands alone.
            const std::string why = view.lastStatus();
            const bool named =
                why.find(platform::ComPortPath(machines[tag].port)) != std::string::npos;
            finish(kExitPort, !named ? portName() + ": " + view.lastStatusFor(machines[tag].port)
                              : view.printedAsLine(why) ? std::string()
                                                        : why);
            break;
        }
        case Kind::FileFailed:
            finish(kExitFile, {}); // the engine has said why
            break;
        case Kind::NoAnswer:
            finish(kExitNoAnswer, view.lastStatus());
            break;
        case Kind::Failed:
        case Kind::Cancelled:
            finish(kExitFailed, view.lastStatus());
            break;
        case Kind::EndAssumed:
            if (line.silenceSecs > 0) {
                // What Stop does in the window: the program is saved. Not
                // from inside the protocol's finish event.
                QTimer::singleShot(0, &engine, [&] { engine.cmdStopClick(); });
            } else {
                finish(kExitFailed, "the machine tool stopped sending without its End string; "
                                    "nothing was saved (--silence SECONDS saves a program "
                                    "ended by silence)");
                engine.cmdResetClick();
            }
            break;
        }
    };

    // Only Reset ends the engine's waits for the machine tool; here nobody
    // may be there to press it.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    view.onWaiting = [&](bool waiting) {
        if (!waiting) {
            watchdog.stop();
        } else if (line.timeoutSecs > 0) {
            watchdog.start(std::chrono::seconds(line.timeoutSecs));
        }
    };
    // A protocol transfer waits for the machine tool at each step: one that
    // has moved nothing for --timeout is a machine tool that does not answer.
    // Its reports come every two seconds or so; what it moved meanwhile
    // counts too, so a short --timeout never ends a transfer that moves.
    bool protocolMoving = false;
    int64_t movedWhenArmed = 0;
    view.onProtocolMoving = [&](bool moving) {
        protocolMoving = moving;
        movedWhenArmed = engine.Protocol1.BytesTransferred();
        if (!moving) {
            watchdog.stop();
        } else if (line.timeoutSecs > 0) {
            watchdog.start(std::chrono::seconds(line.timeoutSecs));
        }
    };
    QObject::connect(&watchdog, &QTimer::timeout, &engine, [&] {
        if (protocolMoving) {
            if (const int64_t moved = engine.Protocol1.BytesTransferred();
                moved != movedWhenArmed) {
                movedWhenArmed = moved;
                watchdog.start();
                return;
            }
        }
        finish(kExitNoAnswer, "the machine tool did not answer within " +
                                  std::to_string(line.timeoutSecs) + " s (" + view.lastStatus() +
                                  ")");
        engine.cmdResetClick();
    });

    EndSignals endSignals;
    QObject::connect(&endSignals, &EndSignals::arrived, &engine, [&](int) {
        if (exitCode >= 0) {
            return;
        }
        finish(kExitInterrupted, "interrupted: the transfer was reset");
        engine.cmdResetClick(); // closes the port, releasing an XOFF we owe
    });

    QTimer::singleShot(0, &engine, [&] {
        if (upload) {
            view.receiveTarget = line.file;
            engine.mnuCommUploadClick(tag);
            // The engine adds the machine's extension to a name without one.
            // Refused before anything is received: a read-only program, a
            // pipe or a folder in the way, a folder that takes no new file.
            if (const std::string why = RefuseReplacing(engine.transfer.fileName); !why.empty()) {
                finish(kExitFile, why);
                return;
            }
        } else {
            engine.SetFileName(program);
            view.sendFile = program;
            engine.mnuCommDownloadClick(tag);
            engine.transfer.startBlock = line.block;
        }
        view.begin();
        view.ShowStatus(view.lastStatus()); // "Ready"
        engine.cmdGoClick();                // Connect
        if (exitCode >= 0) {
            return;
        }
        engine.cmdGoClick(); // Transmit or Receive: ends through TransferEnded
    });

    const int status = QCoreApplication::exec();
    deleteTempFile(engine.transfer.tempFileName);
    // The program is safe whatever the history does; its record is waited
    // for only now, so that it is not lost with the process (a record waits
    // a bounded time for another's lock).
    if (engine.history) {
        engine.history->WaitIdle(std::chrono::minutes(1));
    }
    return exitCode >= 0 ? exitCode : status;
}

} // namespace vorl::dnc
