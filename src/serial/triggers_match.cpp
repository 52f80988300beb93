#include "serial/triggers.h"

#include <cctype>

namespace vorl {

TDataTrigger MakeDataTrigger(const uint8_t* data, uint32_t len, bool ignoreCase) {
    TDataTrigger t;
    t.length = len > kMaxTrigger ? kMaxTrigger : len;
    t.ignoreCase = ignoreCase;
    for (uint32_t i = 0; i < t.length; ++i)
        t.text[i] = ignoreCase ? uint8_t(std::toupper(data[i])) : data[i];
    return t;
}

// The match keeps one partial-match counter per possible start; the rules for
// which counters advance on a byte decide which overlapping occurrences count.
bool MatchDataTrigger(TDataTrigger& t, uint8_t c) {
    const uint32_t len = t.length;
    if (len == 0)
        return false;
    if (t.ignoreCase)
        c = uint8_t(std::toupper(c));
    auto& m = t.partialCounts;
    const auto& s = t.text;
    bool match = false;
    bool started = false;
    bool process = true;
    for (uint32_t i = 0; i < len; ++i) {
        if (process) {
            uint32_t p = m[i];
            if (s[p] == c) {
                if (p == len - 1) {
                    m.fill(0);
                    match = true;
                } else {
                    m[i] = p + 1;
                }
            } else if (s[0] == c) {
                started = true;
                m[i] = 1;
            } else {
                m[i] = 0;
            }
        }
        if (m[i] == 1)
            started = true;
        if (i == len - 1)
            break;
        if (started)
            process = m[i + 1] != 0;
        else
            process = m[i + 1] != 0 || s[0] == c;
    }
    return match;
}

} // namespace vorl
