// Blanks and control characters around the fields of the program's text
// files: the configuration file and the language file cut them alike.
#pragma once

#include <string_view>

namespace vorl {

inline bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

inline std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlankOrControl(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

inline std::string_view Trim(std::string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && IsBlankOrControl(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

} // namespace vorl
