// Part programs come from anywhere: typed, posted by a CAM system, read back
// from tape. Reading one for a restart must never crash or hang, whatever it
// holds; the prefix must be plain text a control can take (printable ASCII,
// each line at most one closed comment at its end), and it must not depend on
// how the file was cut into pieces when it was read.
#include "restart/restart_prefix.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

std::string prefixFor(const char* data, size_t size, int startBlock, size_t cut,
                      vorl::ControlDialect dialect) {
    vorl::ProgramScanner scanner(startBlock, dialect);
    scanner.feed(data, cut);
    if (!scanner.startRead()) {
        scanner.feed(data + cut, size - cut);
    }
    scanner.finish();
    if (!scanner.reachedStart()) {
        return "none";
    }
    const vorl::RestartOptions options{dialect, vorl::DefaultSafeRetract(dialect)};
    return vorl::ComputeCheckedPrefix(scanner.reader(), startBlock, scanner.startBlockText(),
                                      options)
        .text();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    vorl::ProgramScanner all;
    all.feed(text, size);
    all.finish();
    const int blocks = all.blocks();
    // The dialect comes from the data too, so each reading is searched.
    const auto dialect = static_cast<vorl::ControlDialect>(size % 3);
    for (const int start : {2, blocks / 2 + 1, blocks}) {
        if (start < 2) {
            continue;
        }
        const std::string whole = prefixFor(text, size, start, size, dialect);
        if (whole != prefixFor(text, size, start, size / 3, dialect)) {
            __builtin_trap();
        }
        bool comment = false;
        bool closed = false;
        for (size_t i = 0; i < whole.size(); ++i) {
            const char c = whole[i];
            if (c == '\r' && i + 1 < whole.size() && whole[i + 1] == '\n') {
                if (comment) {
                    __builtin_trap();
                }
                comment = closed = false;
                ++i;
                continue;
            }
            if (c < ' ' || c > '~' || closed || (c == '(' && comment) || (c == ')' && !comment)) {
                __builtin_trap();
            }
            if (c == '(') {
                comment = true;
            } else if (c == ')') {
                comment = false;
                closed = true;
            }
        }
    }
    return 0;
}
