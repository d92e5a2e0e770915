// ASCII case-insensitive comparison of protocol texts: field names (RFC 9110
// section 5.1), authentication schemes (RFC 7235 section 2.1), methods and
// token values. Only A-Z and a-z are equated; every other byte, bytes of 0x80
// and above included, compares as itself.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Halvex {
namespace Corvio {
namespace text {

// `c` with A-Z mapped to a-z.
inline unsigned char fold(unsigned char c) {
    return static_cast<unsigned char>(c - 'A') < 26u ? static_cast<unsigned char>(c | 0x20) : c;
}

// `s` with A-Z mapped to a-z.
inline std::string to_lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return s;
}

// Two NUL-terminated texts are equal ignoring ASCII case.
inline bool equal_nocase(const char* a, const char* b) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        if (fold(*x) != fold(*y))
            return false;
        if (*x == 0)
            return true;
    }
}

// Two texts of the same length are equal ignoring ASCII case; an embedded
// NUL is an ordinary byte.
inline bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(static_cast<unsigned char>(a[i])) != fold(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// NUL-terminated `text` begins with `prefix` ignoring ASCII case. It reads
// `text` no further than its terminating NUL.
inline bool prefix_nocase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        if (fold(static_cast<unsigned char>(*text)) != fold(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

}  // namespace text
}  // namespace Corvio
}  // namespace Halvex
