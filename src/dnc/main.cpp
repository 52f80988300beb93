// vorl-dnc: NC part programs to and from machine tools without the window.
#include "dnc/dnc_command_line.h"
#include "dnc/exit_codes.h"
#include "dnc/history_run.h"
#include "dnc/info_run.h"
#include "dnc/serve_run.h"
#include "dnc/transfer_run.h"
#include "serial/ui/qt_delivery.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace vorl::dnc;
    const DncCommandLine line = ParseDncCommandLine(std::vector<std::string>(argv, argv + argc));
    if (line.help || line.version) {
        const std::string text = line.help ? DncUsageText() : DncVersionText();
        return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
    }
    if (!line.error.empty()) {
        std::fprintf(stderr, "vorl-dnc: %s\nTry 'vorl-dnc --help' for more information.\n",
                     line.error.c_str());
        return kExitUsage;
    }
    if (line.command == DncCommandLine::Command::Diff) {
        return RunDiff(line);
    }
    if (line.command == DncCommandLine::Command::Info) {
        return RunInfo(line);
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("vorl-dnc");
    vorl::InstallQtMessagePump();
    const std::string programDir = QCoreApplication::applicationDirPath().toStdString();
    switch (line.command) {
    case DncCommandLine::Command::Serve:
        return RunService(line, programDir);
    case DncCommandLine::Command::Status:
        return ShowServiceStatus(line, programDir);
    case DncCommandLine::Command::History:
        return ShowHistory(line, programDir);
    default:
        return RunTransfer(line, programDir);
    }
}
