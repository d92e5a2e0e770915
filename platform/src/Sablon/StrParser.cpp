#include "Sablon/StrParser.h"

#include <cstring>
#include <string_view>

namespace Halvex {
namespace Sablon {
namespace {

bool is_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// RFC 9110 section 5.6.2 tchar.
bool is_token_char(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return true;
    return c != '\0' && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

}  // namespace

CStrParser::CStrParser(const char* text, int len)
    : m_text(text), m_len(text && len > 0 ? len : 0), m_pos(0) {}

void CStrParser::ConsumeWhitespace() {
    while (m_pos < m_len && is_space(static_cast<unsigned char>(m_text[m_pos])))
        ++m_pos;
}

int CStrParser::ConsumeWord(char* out, int size) {
    int start = m_pos;
    while (m_pos < m_len && is_token_char(static_cast<unsigned char>(m_text[m_pos])))
        ++m_pos;
    int len = m_pos - start;
    if (out && size >= 0) {
        int copy = len < size ? len : size;
        memcpy(out, m_text + start, static_cast<size_t>(copy));
        out[copy] = '\0';
    }
    return len;
}

void CStrParser::ResetAll() {
    m_pos = 0;
}

const char* CStrParser::MemMem(const char* text, int len, const char* pattern, int pattern_len) {
    if (!text || !pattern || len < 0 || pattern_len < 0 || pattern_len > len)
        return nullptr;
    if (pattern_len == 0)
        return text;
#if defined(_WIN32)
    // No memmem in the Windows C runtime.
    const std::string_view hay(text, static_cast<size_t>(len));
    const size_t at = hay.find(std::string_view(pattern, static_cast<size_t>(pattern_len)));
    return at == std::string_view::npos ? nullptr : text + at;
#else
    return static_cast<const char*>(
        memmem(text, static_cast<size_t>(len), pattern, static_cast<size_t>(pattern_len)));
#endif
}

const char* CStrParser::MemMemCase(const char* text, int len, const char* pattern,
                                   int pattern_len) {
    if (!text || !pattern || len < 0 || pattern_len < 0 || pattern_len > len)
        return nullptr;
    if (pattern_len == 0)
        return text;
    const unsigned char first = fold(static_cast<unsigned char>(pattern[0]));
    const int last_start = len - pattern_len;
    for (int i = 0; i <= last_start; ++i) {
        if (fold(static_cast<unsigned char>(text[i])) != first)
            continue;
        int j = 1;
        while (j < pattern_len && fold(static_cast<unsigned char>(text[i + j])) ==
                                      fold(static_cast<unsigned char>(pattern[j])))
            ++j;
        if (j == pattern_len)
            return text + i;
    }
    return nullptr;
}

}  // namespace Sablon
}  // namespace Halvex
