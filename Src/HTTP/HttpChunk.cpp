// CHttpParser: chunked transfer coding (RFC 9112 section 7.1).
//
// A byte-driven decoder whose state survives between slices, so a size line,
// chunk data or the final empty line may be split anywhere. Decoded data goes
// to the body blocks like any other body. Chunk extensions are skipped;
// trailer lines are counted, logged and dropped. The bytes that follow the
// final LF of the body in the same slice become the message's extra bytes, as
// after a Content-Length body.
//
// Chunk sizes and trailer lines are bounded by the body counts: a size above
// 2147483647 (2^63-1 in streaming mode) or a trailer line above 2147483647
// bytes is a framing error, never a wrapped or saturated count.
#include <climits>
#include <cstring>

#include "HTTP/HttpParserState.h"
#include "Mardel/Log.h"

namespace Halvex {
namespace Corvio {
namespace {

// Value of a hex digit, or -1.
inline int hex_value(unsigned char c) {
    if (static_cast<unsigned>(c - '0') < 10u)
        return c - '0';
    const unsigned char l = static_cast<unsigned char>(c | 0x20);
    if (static_cast<unsigned>(l - 'a') < 6u)
        return l - 'a' + 10;
    return -1;
}

inline void chunk_reset(http_chunk_state& c) {
    memset(&c, 0, sizeof(c));
    c.state = CHUNK_SIZE;
}

// Whole chunks at the front of [p, end) in their plain form, "HEX CRLF data
// CRLF" with 1 to 16 digits, a size from 1 to 2147483647 and all data
// present, need no byte-by-byte state. Returns the length of that form's size
// line (digits and CRLF) and sets `size`, or 0 when the front is anything
// else; the state machine then takes it, with the same outcome.
inline int plain_chunk_head(const char* p, const char* end, int* size) {
    unsigned long long n = 0;
    const char* q = p;
    int v;
    while (q < end && q - p <= HTTP_CHUNK_SIZE_DIGITS &&
           (v = hex_value(static_cast<unsigned char>(*q))) >= 0) {
        n = (n << 4) | static_cast<unsigned>(v);
        ++q;
    }
    const long long digits = q - p;
    if (digits == 0 || digits > HTTP_CHUNK_SIZE_DIGITS || n == 0 ||
        n > static_cast<unsigned long long>(INT_MAX))
        return 0;
    if (end - q < 2 || q[0] != '\r' || q[1] != '\n')
        return 0;
    if (static_cast<unsigned long long>(end - q - 2) < n + 2)
        return 0;
    *size = static_cast<int>(n);
    return static_cast<int>(digits + 2);
}

}  // namespace

void CHttpParser::http_chunk_init() {
    chunk_reset(m_state->m_chunk);
}

int CHttpParser::parse_chunked(const char* data, int len) {
    http_chunk_state& c = m_state->m_chunk;
    const char* p = data;
    const char* const end = data + len;
    while (p < end) {
        if (c.state == CHUNK_SIZE && c.size_len == 0) {
            int size;
            const int head = plain_chunk_head(p, end, &size);
            if (head > 0) {
                http_buffer* b = m_state->m_cur_buf;
                if (b && size <= HTTP_BUFFER_SIZE - b->len &&
                    size <= INT_MAX - m_state->m_cur_buf_size) {
                    // The chunk fits the current block: append_buffer's work.
                    memcpy(b->data + b->len, p + head, static_cast<size_t>(size));
                    b->len += size;
                    m_state->m_cur_buf_size += size;
                } else if (append_buffer(p + head, size) < 0) {
                    return CHUNK_RET_APPEND_FAILED;
                }
                p += head + size;
                if (p[0] == '\r' && p[1] == '\n') {
                    p += 2;  // still in CHUNK_SIZE with nothing collected
                    continue;
                }
                c.state = CHUNK_DATA_CR;  // which reports the missing CRLF
            }
        }
        const unsigned char ch = static_cast<unsigned char>(*p);
        switch (c.state) {
            case CHUNK_SIZE: {
                if (hex_value(ch) >= 0) {
                    if (c.size_len == HTTP_CHUNK_SIZE_DIGITS)
                        return CHUNK_RET_TOO_MANY_DIGITS;
                    c.size_str[c.size_len++] = static_cast<char>(ch);
                    ++p;
                    break;
                }
                if (c.size_len == 0)
                    return CHUNK_RET_NO_DIGIT;
                c.size_str[c.size_len] = '\0';
                // Sixteen hex digits fit 64 bits exactly.
                unsigned long long size = 0;
                for (int i = 0; i < c.size_len; ++i)
                    size = (size << 4) | static_cast<unsigned>(
                                             hex_value(static_cast<unsigned char>(c.size_str[i])));
                const unsigned long long limit = m_state->m_body_cb
                                                     ? static_cast<unsigned long long>(LLONG_MAX)
                                                     : static_cast<unsigned long long>(INT_MAX);
                if (size > limit)
                    return CHUNK_RET_SIZE_TOO_BIG;
                c.chunk_left = size;
                c.state = CHUNK_EXT;  // the byte is looked at again there
                break;
            }
            case CHUNK_EXT: {
                const char* cr = static_cast<const char*>(memchr(p, '\r', end - p));
                if (!cr)
                    return CHUNK_RET_MORE;
                p = cr + 1;
                c.state = CHUNK_SIZE_LF;
                break;
            }
            case CHUNK_SIZE_LF:
                if (ch == '\n') {
                    if (c.chunk_left == 0) {
                        c.trailer_len = 0;
                        c.state = CHUNK_TRAILER;
                    } else {
                        c.state = CHUNK_DATA;
                    }
                }
                ++p;
                break;
            case CHUNK_DATA: {
                const unsigned long long avail = static_cast<unsigned long long>(end - p);
                const int n = static_cast<int>(avail < c.chunk_left ? avail : c.chunk_left);
                if (append_buffer(p, n) < 0)
                    return CHUNK_RET_APPEND_FAILED;
                c.chunk_left -= static_cast<unsigned long long>(n);
                p += n;
                if (c.chunk_left == 0)
                    c.state = CHUNK_DATA_CR;
                break;
            }
            case CHUNK_DATA_CR:
                if (ch != '\r')
                    return CHUNK_RET_FRAMING;
                c.state = CHUNK_DATA_LF;
                ++p;
                break;
            case CHUNK_DATA_LF:
                if (ch != '\n')
                    return CHUNK_RET_FRAMING;
                chunk_reset(c);
                ++p;
                break;
            case CHUNK_TRAILER: {
                if (ch == '\r') {
                    if (c.trailer_len == 0) {
                        c.state = CHUNK_LINE_START;  // the CR is looked at again there
                    } else {
                        MARDEL_LOG(3, "trailed len:%d been discarded\n", c.trailer_len);
                        c.trailer_len = 0;
                        c.state = CHUNK_TRAILER_LF;
                        ++p;
                    }
                    break;
                }
                const char* cr = static_cast<const char*>(memchr(p, '\r', end - p));
                const long long n = (cr ? cr : end) - p;
                if (n > INT_MAX - c.trailer_len)
                    return CHUNK_RET_TRAILER_TOO_LONG;
                c.trailer_len += static_cast<int>(n);
                p += n;
                break;
            }
            case CHUNK_TRAILER_LF:
                if (ch != '\n')
                    return CHUNK_RET_FRAMING;
                c.state = CHUNK_LINE_START;
                ++p;
                break;
            case CHUNK_LINE_START:
                if (ch == '\r') {
                    c.state = CHUNK_END_LF;
                    ++p;
                } else {
                    c.state = CHUNK_TRAILER;  // the byte is looked at again there
                }
                break;
            case CHUNK_END_LF:
                if (ch != '\n')
                    return CHUNK_RET_FRAMING;
                ++p;
                c.rest_len = static_cast<int>(end - p);
                return CHUNK_RET_DONE;
            default:
                return CHUNK_RET_BAD_STATE;
        }
    }
    return CHUNK_RET_MORE;
}

parse_status_t CHttpParser::append_buffer_chunked(const char* data, int len) {
    http_parser_state* s = m_state;
    const int ret = parse_chunked(data, len);
    s->m_content_len = s->m_cur_buf_size;
    if (ret == CHUNK_RET_MORE) {
        if (s->m_max_buf_len > 0 && s->m_cur_buf_size >= s->m_max_buf_len) {
            MARDEL_LOG(3, "HTTP_PARSER_BUFFER_FULL m_cur_buf_size:%d m_max_buf_len:%d\n",
                       s->m_cur_buf_size, s->m_max_buf_len);
            return HTTP_PARSER_BUFFER_FULL;
        }
        return s->m_status;
    }
    if (ret == CHUNK_RET_DONE) {
        const int rest = s->m_chunk.rest_len;
        if (rest > 0)
            save_extra_buf(data + len - rest, rest);
        return HTTP_PARSE_COMPLETE;
    }
    MARDEL_LOG(3, "parse chunked http body failed, ret:%d\n", ret);
    return HTTP_PARSE_ERROR;
}

}  // namespace Corvio
}  // namespace Halvex
