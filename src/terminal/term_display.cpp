#include "terminal/term_display.h"

namespace vorl {

const std::array<std::string_view, 33> kExpansionTable = {
    "<NUL>", "<SOH>", "<STX>", "<ETX>", "<EOT>", "<ENQ>", "<ACK>", "<BEL>", "<BS>",
    "<HT>",  "<LF>",  "<VT>",  "<FF>",  "<CR>",  "<SO>",  "<SI>",  "<DLE>", "<DC1>",
    "<DC2>", "<DC3>", "<DC4>", "<NAK>", "<SYN>", "<ETB>", "<CAN>", "<EM>",  "<SUB>",
    "",      "",      "",      "",      "",      "<SP>"};

std::string VisibleForm(unsigned char c, DisplayMode mode) {
    switch (mode) {
    case DisplayMode::Standard:
        if (c == 0) {
            return {};
        }
        if (c < 32) {
            return {'^', char(c + 64)};
        }
        if (c == 32) {
            return " ";
        }
        if (c >= 127) {
            return "_";
        }
        break;
    case DisplayMode::Expand:
        if (c <= 32) {
            return std::string(kExpansionTable[c]);
        }
        if (c >= 127) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            return {'<', '0', 'x', kHex[c >> 4], kHex[c & 15], '>'};
        }
        break;
    case DisplayMode::None:
        return "_";
    }
    return std::string(1, char(c));
}

std::string ReceivedText(unsigned char c, DisplayMode mode) {
    if (c <= 32 || c >= 127) {
        return VisibleForm(c, mode);
    }
    return std::string(1, char(c));
}

std::string TypedText(unsigned char c, DisplayMode mode) {
    if (c >= 33 && c <= 127) {
        return std::string(1, char(c));
    }
    return VisibleForm(c, mode);
}

} // namespace vorl
