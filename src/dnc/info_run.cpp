#include "dnc/info_run.h"

#include "dnc/exit_codes.h"
#include "restart/toolpath.h"
#include "restart/toolpath_info.h"

#include <cstdio>
#include <string>

namespace vorl::dnc {

int RunInfo(const DncCommandLine& line) {
    Toolpath path;
    std::string error;
    ToolpathOptions options;
    options.keepSegments = false;
    if (!BuildToolpath(line.file, options, path, error)) {
        std::fprintf(stderr, "vorl-dnc: %s\n", error.c_str());
        return kExitFile;
    }
    const size_t slash = line.file.find_last_of('/');
    const std::string name = slash == std::string::npos ? line.file : line.file.substr(slash + 1);
    const std::string text =
        line.json ? ToolpathInfoJson(path, name) : ToolpathInfoText(path, name);
    return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0 ? kExitFile : kExitDone;
}

} // namespace vorl::dnc
