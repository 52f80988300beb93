// Process entry: "--help" and "--version" answer without a window, as do an
// unknown option and a missing display; otherwise the application object,
// the main window, the event loop.
#include "app/application.h"
#include "app/command_line.h"
#include "app/main_form.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const vorl::CommandLine line =
        vorl::ParseCommandLine(std::vector<std::string>(argv, argv + argc));
    if (line.help || line.version) {
        const std::string text = line.help ? vorl::UsageText() : vorl::VersionText();
        return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? 1 : 0;
    }
    if (!line.unknownOption.empty()) {
        std::fprintf(stderr, "vorl: unknown option '%s'\nTry 'vorl --help' for more information.\n",
                     line.unknownOption.c_str());
        return 2;
    }
    if (const std::string text = vorl::NoDisplayText("vorl"); !text.empty()) {
        std::fputs(text.c_str(), stderr);
        return 1;
    }
    vorl::TApplication app(argc, argv);
    vorl::TMainForm form;
    form.show();
    return vorl::TApplication::exec();
}
