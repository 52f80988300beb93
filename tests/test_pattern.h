// Test data for byte streams: every byte value, in an order that repeats only
// after many blocks, so a block lost, doubled or shifted shows. `seed` gives
// another stream of the same kind.
#pragma once

#include <cstddef>
#include <string>

namespace vorl::test {

inline std::string Pattern(size_t n, size_t seed = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = char((i * 7 + seed + i / 253) & 0xFF);
    return s;
}

} // namespace vorl::test
