// CHttpParser: the header half. Finds where a header ends, cuts the parser's
// one copy of the header block in place into the start line and a table of
// fields (RFC 9112 sections 2-5), decides the body framing (RFC 9112 section
// 6.3) and answers lookups. Every text handed out points into that copy.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "HTTP/HttpParserState.h"
#include "HTTP/HttpScan.h"
#include "HTTP/HttpText.h"
#include "Mardel/Log.h"
#include "Sablon/StrParser.h"

namespace Halvex {
namespace Corvio {
namespace {

using text::equal_nocase;
using text::fold;
using text::prefix_nocase;

// The skip operations work on the header copy up to `end`, its terminating
// NUL: they never read or write at or beyond it. Each returns the token at
// the cursor, overwrites the run of delimiters that ends the token with NULs
// and moves the cursor behind that run. Without a delimiter the token runs to
// `end` and the cursor stops there. `token_end`, when given, receives where
// the token ends.

// Delimiter: the byte `c`.
char* skip_char(char** cursor, char* end, char c, char** token_end = nullptr) {
    char* start = *cursor;
    char* p = scan::find_byte(start, end, c);
    if (token_end)
        *token_end = p;
    while (p < end && *p == c)
        *p++ = '\0';
    *cursor = p;
    return start;
}

// Delimiters: CR and LF.
char* skip_eol(char** cursor, char* end, char** token_end = nullptr) {
    char* start = *cursor;
    char* p = scan::find_eol(start, end);
    if (token_end)
        *token_end = p;
    while (p < end && (*p == '\r' || *p == '\n'))
        *p++ = '\0';
    *cursor = p;
    return start;
}

// The text `key`, cut at `key_end` or earlier, equals `lower` (in lower case)
// ignoring ASCII case, as Value compares names.
bool name_is(const char* key, const char* key_end, const char* lower, int lower_len) {
    if (key_end - key < lower_len || key[lower_len] != '\0')
        return false;
    for (int i = 0; i < lower_len; ++i)
        if (fold(static_cast<unsigned char>(key[i])) != static_cast<unsigned char>(lower[i]))
            return false;
    return true;
}

// The length a Content-Length value frames (RFC 9110 section 8.6): 1*DIGIT,
// or a list of that one value repeated ("5, 5"), with optional white space
// (SP, HTAB) around the commas and at the end. -1 for anything else: a sign,
// leading white space, other bytes after the digits, differing list values,
// an empty element, or a value beyond `limit`.
long long content_length_value(const char* p, long long limit) {
    long long value = -1;
    for (;;) {
        const char* digits = p;
        long long n = 0;
        while (static_cast<unsigned char>(*p - '0') < 10u) {
            const int digit = *p++ - '0';
            if (n > (limit - digit) / 10)
                return -1;
            n = n * 10 + digit;
        }
        if (p == digits || (value >= 0 && n != value))
            return -1;
        value = n;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            return value;
        if (*p++ != ',')
            return -1;
        while (*p == ' ' || *p == '\t')
            ++p;
    }
}

}  // namespace

// RFC 9112 section 2.2 lets a recipient take a bare LF as a line end, so a
// header ends at the first "\r\n\r\n" or "\n\n", whichever comes first. The
// earliest one wins so that where the header ends never depends on how the
// bytes were sliced.
const char* http_find_header_end(const char* buf, int len, int from) {
    // A blank line not seen before ends at or after `from`, so it starts at
    // or after from - 3.
    return scan::find_blank_line(buf + (from > 3 ? from - 3 : 0), buf + len);
}

parse_status_t CHttpParser::parse_http_header(const char* data, int len) {
    http_parser_state* s = m_state;
    s->m_http_header_len = len + 1;
    // The copy is followed by zero bytes for the field scan's windows. The
    // buffer of an earlier message is used again when it is large enough.
    const size_t need = static_cast<size_t>(len) + 1 + scan::WINDOW_PAD;
    if (!s->m_header_buf || s->m_header_cap < need) {
        free(s->m_header_buf);
        s->m_header_cap = 0;
        s->m_header_buf = static_cast<char*>(malloc(need));
        if (!s->m_header_buf) {
            MARDEL_LOG(2, "calloc failed, len:%d\n", s->m_http_header_len);
            return HTTP_PARSE_ERROR;
        }
        s->m_header_cap = need;
    }
    char* header = s->m_header_buf;
    memcpy(header, data, static_cast<size_t>(len));
    memset(header + len, 0, 1 + scan::WINDOW_PAD);
    s->m_http_header = header;
    // NUL bytes from the peer are ordinary bytes to the scans; a text that
    // holds one simply reads shorter.
    char* end = header + len;
    char* cursor = header;
    http_message_info* info = &s->m_msg_info;

    if (header[0] == 'H' && end - header >= 5 && prefix_nocase(header, "HTTP/")) {
        // Status line: HTTP-version SP status-code SP [ reason-phrase ]
        info->version = skip_char(&cursor, end, ' ') + 5;
        const char* digits = cursor;
        const char* p = digits;
        int code = 0;
        // Nine digits at most: the code stays within an int.
        while (p < end && p - digits < 9 && static_cast<unsigned char>(*p - '0') < 10u)
            code = code * 10 + (*p++ - '0');
        const char after = p < end ? *p : '\0';
        if (p == digits || (after != ' ' && after != '\r')) {
            MARDEL_LOG(3, "invalid http response status line:%c\n", after);
            return HTTP_PARSE_ERROR;
        }
        info->status_code = code;
        if (after == ' ')
            skip_char(&cursor, end, ' ');
        else
            cursor = const_cast<char*>(p);
        info->status_str = skip_eol(&cursor, end);
        info->is_request = false;
    } else {
        // Request line: method SP request-target SP HTTP-version. The target
        // is everything between the first and the last space.
        char* line_end = nullptr;
        char* line = skip_eol(&cursor, end, &line_end);
        char* first = scan::find_byte(line, line_end, ' ');
        char* last = line_end;
        while (last > line && last[-1] != ' ')
            --last;
        if (first == line_end || first >= last - 1) {
            MARDEL_LOG(3, "invalid http version, http_header:%s\n", line);
            return HTTP_PARSE_ERROR;
        }
        // `last` is just behind the last space. The line is logged whole,
        // before it is cut.
        const bool http_version = prefix_nocase(last, "HTTP/");
        if (!http_version)
            MARDEL_LOG(3, "invalid http version, http_header:%s\n", line);
        *first = '\0';
        last[-1] = '\0';
        info->method = line;
        info->uri = first + 1;
        info->version = last;
        if (!http_version)
            return HTTP_PARSE_ERROR;
        info->version += 5;
        info->is_request = true;
    }

    char* content_length = nullptr;
    bool content_length_repeated = false;
    char* transfer_encoding = nullptr;
    parse_http_elements(&cursor, end, info, &content_length, &content_length_repeated,
                        &transfer_encoding);

    if (s->m_header_only)
        return HTTP_PARSE_COMPLETE;
    // RFC 9112 section 6.3: 1xx, 204 and 304 responses end with their header.
    if (!info->is_request && ((info->status_code >= 100 && info->status_code <= 199) ||
                              info->status_code == 204 || info->status_code == 304))
        return HTTP_PARSE_COMPLETE;

    if (const char* cl = content_length) {
        // RFC 9112 section 6.3: a value that frames no single length, or
        // several fields that disagree, leave the framing unknown; a
        // response read on regardless could be split by its sender.
        // A streamed body may announce up to 2^63-1 bytes, a stored one up to
        // the 32-bit signed body count.
        const long long limit = s->m_body_cb ? LLONG_MAX : INT_MAX;
        const long long n = content_length_value(cl, limit);
        const char* bad = n < 0 ? cl : nullptr;
        for (int i = 0; !bad && content_length_repeated && i < info->header_num; ++i) {
            const char* v = info->headers[i].value;
            if (v != cl && equal_nocase(info->headers[i].key, "content-length") &&
                content_length_value(v, limit) != n)
                bad = v;
        }
        if (bad) {
            MARDEL_LOG(3, "invalid http content_length:%s\n", bad);
            return HTTP_PARSE_ERROR;
        }
        s->m_content_length = n;
        return n != 0 ? HTTP_PARSE_INCOMPLETE : HTTP_PARSE_COMPLETE;
    }
    if (const char* te = transfer_encoding) {
        if (Sablon::CStrParser::MemMemCase(te, static_cast<int>(strlen(te)), "chunked", 7)) {
            s->m_chunked = true;
            return HTTP_PARSE_INCOMPLETE;
        }
    }
    return info->is_request ? HTTP_PARSE_COMPLETE : HTTP_PARSE_UNTIL_CLOSE;
}

// field-line = field-name ":" OWS field-value OWS. Only spaces after the colon
// are skipped; the value keeps trailing spaces and further colons. A line
// without a colon runs into the next line, whose colon ends the name. An empty
// name (the blank line that ends the header) stops the table. The values of
// the first stored Content-Length and Transfer-Encoding fields (what Value
// finds) are handed back for the framing decision, and whether a further
// Content-Length field was stored.
int CHttpParser::parse_http_elements(char** cursor, char* end, http_message_info* info,
                                     char** content_length, bool* content_length_repeated,
                                     char** transfer_encoding) {
    scan::FieldScan fields(end);
    for (int i = 0; i < HTTP_MAX_HEADERS; ++i) {
        // key = skip(cursor, ":")
        char* key = *cursor;
        char* key_end = fields.colon(key);
        char* p = key_end;
        while (p < end && *p == ':')
            *p++ = '\0';
        while (p < end && *p == ' ')
            ++p;
        // value = skip(cursor, "\r\n")
        char* value = p;
        p = fields.eol(value);
        while (p < end && (*p == '\r' || *p == '\n'))
            *p++ = '\0';
        *cursor = p;
        info->headers[i].key = key;
        info->headers[i].value = value;
        if (*key == '\0')
            break;
        info->header_num = i + 1;
        if (name_is(key, key_end, "content-length", 14)) {
            if (*content_length)
                *content_length_repeated = true;
            else
                *content_length = value;
        } else if (!*transfer_encoding && name_is(key, key_end, "transfer-encoding", 17))
            *transfer_encoding = value;
    }
    return info->header_num;
}

bool CHttpParser::IsRequest() const {
    return m_state && m_state->m_msg_info.is_request;
}

char* CHttpParser::GetReqMethod() const {
    return m_state ? m_state->m_msg_info.method : nullptr;
}

char* CHttpParser::GetURI() const {
    return m_state ? m_state->m_msg_info.uri : nullptr;
}

char* CHttpParser::GetHttpVersion() const {
    return m_state ? m_state->m_msg_info.version : nullptr;
}

int CHttpParser::GetStatusCode() const {
    return m_state ? m_state->m_msg_info.status_code : 0;
}

char* CHttpParser::GetStatusStr() const {
    return m_state ? m_state->m_msg_info.status_str : nullptr;
}

int CHttpParser::GetHeaderNum() const {
    return m_state ? m_state->m_msg_info.header_num : 0;
}

int CHttpParser::GetKeyValue(int index, char** key, char** value) const {
    if (key)
        *key = nullptr;
    if (value)
        *value = nullptr;
    if (!m_state || index < 0 || index >= m_state->m_msg_info.header_num)
        return -1;
    if (key)
        *key = m_state->m_msg_info.headers[index].key;
    if (value)
        *value = m_state->m_msg_info.headers[index].value;
    return 0;
}

char* CHttpParser::Value(const char* name) const {
    if (!name || !m_state)
        return nullptr;
    const http_message_info& info = m_state->m_msg_info;
    for (int i = 0; i < info.header_num; ++i) {
        if (equal_nocase(info.headers[i].key, name))
            return info.headers[i].value;
    }
    return nullptr;
}

}  // namespace Corvio
}  // namespace Halvex
