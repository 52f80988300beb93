#include "machines/caret_notation.h"

namespace vorl {

namespace {

bool writtenAsCaretPair(unsigned char b, bool last) {
    if (b >= 0xC1 && b <= 0xE0) {
        return false;
    }
    return b < 0x20 || b >= 0x80 || b == '^' || (b == ' ' && last);
}

} // namespace

std::string EncodeControlText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (writtenAsCaretPair(b, i + 1 == bytes.size())) {
            text += '^';
            text += static_cast<char>((b + 64) & 0xFF);
        } else {
            text += static_cast<char>(b);
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
