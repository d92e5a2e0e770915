// Byte searches of the parser's hot path, inlined: each finds the first byte
// of a small set in [p, end) and returns its position, or `end`. They never
// read at or beyond `end`. With SSE2 (every x86-64 target) sixteen bytes are
// tested per step; elsewhere a plain loop does the same.
#pragma once

#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#include <emmintrin.h>
#define CORVIO_SCAN_SSE2 1
#endif

namespace Halvex {
namespace Corvio {
namespace scan {

#if defined(CORVIO_SCAN_SSE2)
inline int block_mask(const char* p, __m128i a) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, a));
}
inline int block_mask(const char* p, __m128i a, __m128i b) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)));
}
#endif

// First byte equal to `c`.
inline char* find_byte(char* p, const char* end, char c) {
#if defined(CORVIO_SCAN_SSE2)
    const __m128i a = _mm_set1_epi8(c);
    while (end - p >= 16) {
        const int m = block_mask(p, a);
        if (m)
            return p + __builtin_ctz(static_cast<unsigned>(m));
        p += 16;
    }
#endif
    while (p < end && *p != c)
        ++p;
    return p;
}

inline const char* find_byte(const char* p, const char* end, char c) {
    return find_byte(const_cast<char*>(p), end, c);
}

// First CR or LF.
inline char* find_eol(char* p, const char* end) {
#if defined(CORVIO_SCAN_SSE2)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const int m = block_mask(p, cr, lf);
        if (m)
            return p + __builtin_ctz(static_cast<unsigned>(m));
        p += 16;
    }
#endif
    while (p < end && *p != '\r' && *p != '\n')
        ++p;
    return p;
}

}  // namespace scan
}  // namespace Corvio
}  // namespace Halvex
