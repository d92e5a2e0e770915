// Byte searches of the parser's hot path, inlined: each finds the first byte
// of a small set in [p, end) and returns its position, or `end`. They never
// read at or beyond `end`. With SSE2 (every x86-64 target) sixteen bytes are
// tested per step; elsewhere a plain loop does the same.
#pragma once

#include <cstdint>

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

// Position just behind the first blank line, "\r\n\r\n" or "\n\n", that
// starts in [p, end) and ends by `end`; NULL when there is none. Patterns
// are ranked by where they start, which ranks them by their first LF too.
inline const char* find_blank_line(const char* p, const char* end) {
#if defined(CORVIO_SCAN_SSE2)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    // Sixteen starting positions per step, each looking three bytes ahead.
    while (end - p >= 19) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3));
        const __m128i lf1 = _mm_cmpeq_epi8(v1, lf);
        const __m128i crlfcrlf =
            _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(v0, cr), lf1),
                          _mm_and_si128(_mm_cmpeq_epi8(v2, cr), _mm_cmpeq_epi8(v3, lf)));
        const __m128i lflf = _mm_and_si128(_mm_cmpeq_epi8(v0, lf), lf1);
        const int m = _mm_movemask_epi8(_mm_or_si128(crlfcrlf, lflf));
        if (m) {
            const char* at = p + __builtin_ctz(static_cast<unsigned>(m));
            return at + (*at == '\r' ? 4 : 2);
        }
        p += 16;
    }
#endif
    for (; p < end; ++p) {
        if (p[0] == '\n') {
            if (end - p >= 2 && p[1] == '\n')
                return p + 2;
        } else if (p[0] == '\r' && end - p >= 4 && p[1] == '\n' && p[2] == '\r' && p[3] == '\n') {
            return p + 4;
        }
    }
    return nullptr;
}

// Bytes a scan window may read past the end of the text it scans: a buffer
// scanned by FieldScan holds this many NUL bytes behind its text.
const int WINDOW_PAD = 64;

// Finds colons and line ends in a header text held in a buffer with
// WINDOW_PAD NUL bytes behind it. One 64-byte window is classified at a time
// and serves every search that starts inside it, so the short tokens of a
// header cost a few bit operations each. Searches go forward and may skip
// bytes that earlier searches overwrote.
class FieldScan {
public:
    explicit FieldScan(const char* end) : m_base(nullptr), m_colon(0), m_eol(0), m_end(end) {}

    // First ':' at or after `from`, or `end`.
    char* colon(char* from) { return next(from, &FieldScan::m_colon); }
    // First CR or LF at or after `from`, or `end`.
    char* eol(char* from) { return next(from, &FieldScan::m_eol); }

private:
    char* next(char* from, uint64_t FieldScan::*which) {
        for (;;) {
            if (m_base && from >= m_base && from < m_base + 64) {
                const uint64_t m = (this->*which) >> (from - m_base);
                if (m)
                    return from + __builtin_ctzll(m);
                from = const_cast<char*>(m_base) + 64;
            }
            if (from >= m_end)
                return const_cast<char*>(m_end);
            load(from);
        }
    }

    void load(const char* at) {
        m_base = at;
#if defined(CORVIO_SCAN_SSE2)
        const __m128i colon = _mm_set1_epi8(':');
        const __m128i cr = _mm_set1_epi8('\r');
        const __m128i lf = _mm_set1_epi8('\n');
        m_colon = 0;
        m_eol = 0;
        for (int i = 0; i < 4; ++i) {
            const uint64_t c = static_cast<unsigned>(block_mask(at + 16 * i, colon));
            const uint64_t e = static_cast<unsigned>(block_mask(at + 16 * i, cr, lf));
            m_colon |= c << (16 * i);
            m_eol |= e << (16 * i);
        }
#else
        m_colon = 0;
        m_eol = 0;
        for (int i = 0; i < 64; ++i) {
            if (at[i] == ':')
                m_colon |= uint64_t(1) << i;
            if (at[i] == '\r' || at[i] == '\n')
                m_eol |= uint64_t(1) << i;
        }
#endif
    }

    const char* m_base;  // start of the classified window; NULL before the first
    uint64_t m_colon;    // bit i: m_base[i] is ':'
    uint64_t m_eol;      // bit i: m_base[i] is CR or LF
    const char* m_end;
};

}  // namespace scan
}  // namespace Corvio
}  // namespace Halvex
