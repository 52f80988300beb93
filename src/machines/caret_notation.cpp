#include "machines/caret_notation.h"

namespace vorl {

std::string EncodeControlText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        if (static_cast<signed char>(c) <= 26) {
            text += '^';
            text += static_cast<char>((static_cast<unsigned char>(c) + 64) & 0xFF);
        } else {
            text += c;
        }
    }
    return text;
}

std::string DecodeControlText(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '^') {
            bytes += text[i];
            continue;
        }
        unsigned char c = i + 1 < text.size() ? static_cast<unsigned char>(text[++i]) : 0;
        if (c >= 'a' && c <= 'z') {
            c = static_cast<unsigned char>(c - 'a' + 'A');
        }
        bytes += static_cast<char>((c + 256 - 64) & 0xFF);
    }
    return bytes;
}

} // namespace vorl
