// CHttpParser: the object, the feeding of slices, body storage, extra bytes
// and copying. Header parsing is in HttpHeader.cpp, chunked decoding in
// HttpChunk.cpp.
//
// Body storage: body bytes go into 32768-byte blocks chained in arrival
// order, so receiving never moves earlier data. A Content-Length body that
// arrives whole in the slice that completes the header goes straight into one
// content buffer. GetContent gathers the blocks into one buffer once the
// message is final.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "HTTP/HttpParserState.h"
#include "Mardel/Log.h"

namespace Halvex {
namespace Corvio {
namespace {

http_buffer* new_block() {
    // Not zero-filled: only the first `len` bytes of a block are ever read.
    http_buffer* b = static_cast<http_buffer*>(malloc(sizeof(http_buffer)));
    if (b) {
        b->len = 0;
        b->next = nullptr;
    }
    return b;
}

// A block for the message; the parser's spare block when it has one.
http_buffer* take_block(http_parser_state* s) {
    http_buffer* b = s->m_spare_block;
    if (!b)
        return new_block();
    s->m_spare_block = nullptr;
    b->len = 0;
    b->next = nullptr;
    return b;
}

// One block is kept for the next message, so a parser reused message after
// message does not allocate a block for each body.
void release_block(http_parser_state* s, http_buffer* b) {
    if (!b)
        return;
    if (!s->m_spare_block)
        s->m_spare_block = b;
    else
        free(b);
}

void free_blocks(http_parser_state* s) {
    for (http_buffer* b = s->m_buf_list; b;) {
        http_buffer* next = b->next;
        release_block(s, b);
        b = next;
    }
    release_block(s, s->m_cur_buf);
    s->m_buf_list = nullptr;
    s->m_buf_tail = nullptr;
    s->m_cur_buf = nullptr;
}

void clear_msg_info(http_message_info* info) {
    info->is_request = false;
    info->method = nullptr;
    info->uri = nullptr;
    info->version = nullptr;
    info->status_str = nullptr;
    info->status_code = 0;
    info->header_num = 0;
}

void free_content(http_parser_state* s) {
    if (s->m_content_block)
        release_block(s, s->m_content_block);
    else
        free(s->m_content);
    s->m_content = nullptr;
    s->m_content_block = nullptr;
    s->m_content_gathered = 0;
}

bool is_final(parse_status_t st) {
    return st == HTTP_PARSE_COMPLETE || st == HTTP_PARSE_ERROR;
}

// Whether GetContent gives the body: in the final states, and in
// HTTP_PARSER_BUFFER_FULL, where the bytes kept up to the limit are all a
// caller that stops there will ever get.
bool content_readable(parse_status_t st) {
    return is_final(st) || st == HTTP_PARSER_BUFFER_FULL;
}

// A copy of `len` bytes plus a NUL; NULL when the allocation fails.
template <typename T>
T* dup_bytes(const T* src, int len) {
    T* p = static_cast<T*>(malloc(static_cast<size_t>(len) + 1));
    if (p) {
        memcpy(p, src, static_cast<size_t>(len));
        p[len] = 0;
    }
    return p;
}

}  // namespace

CHttpParser::CHttpParser() : m_state(new (std::nothrow) http_parser_state()) {
    if (!m_state)
        return;
    m_state->m_status = HTTP_PARSE_INIT;
    http_chunk_init();
}

CHttpParser::~CHttpParser() {
    if (!m_state)
        return;
    free(m_state->m_header_buf);
    free_blocks(m_state);
    free_content(m_state);
    free(m_state->m_spare_block);
    free(m_state->m_extra_buf);
    delete m_state;
}

void CHttpParser::Reset() {
    http_parser_state* s = m_state;
    if (!s)
        return;
    // A header buffer of ordinary size is kept for the next message.
    if (s->m_header_cap > static_cast<size_t>(HTTP_BUFFER_SIZE) * 2) {
        free(s->m_header_buf);
        s->m_header_buf = nullptr;
        s->m_header_cap = 0;
    }
    free_blocks(s);
    free_content(s);
    free(s->m_extra_buf);
    s->m_http_header = nullptr;
    s->m_http_header_len = 0;
    s->m_content_length = 0;
    s->m_cur_buf_size = 0;
    s->m_content_len = 0;
    s->m_body_len = 0;
    s->m_status = HTTP_PARSE_INIT;
    clear_msg_info(&s->m_msg_info);
    s->m_chunked = false;
    http_chunk_init();
    s->m_extra_buf = nullptr;
    s->m_extra_len = 0;
    s->m_header_only = false;
}

void CHttpParser::Release() {
    delete this;
}

parse_status_t CHttpParser::Parse(const char* data, int len) {
    return Append(data, len);
}

parse_status_t CHttpParser::Append(const char* data, int len) {
    http_parser_state* s = m_state;
    if (!s)
        return HTTP_PARSE_ERROR;
    if (is_final(s->m_status)) {
        MARDEL_LOG(3, "need reset first!\n");
        return s->m_status;
    }
    if (!data || len <= 0) {
        if (s->m_status == HTTP_PARSE_UNTIL_CLOSE)
            s->m_status = HTTP_PARSE_COMPLETE;
        return s->m_status;
    }
    if (s->m_http_header) {
        s->m_status = parse_body(data, len);
        return s->m_status;
    }

    if (!s->m_cur_buf) {
        // The slice starts the message.
        const char* end = http_find_header_end(data, len, 0);
        if (!end) {
            if (len > HTTP_BUFFER_SIZE) {
                MARDEL_LOG(3, "http header too long: %d, unsupported\n", len);
                s->m_status = HTTP_PARSE_ERROR;
                return s->m_status;
            }
            http_buffer* b = take_block(s);
            if (!b) {
                MARDEL_LOG(2, "calloc failed\n");
                s->m_status = HTTP_PARSE_ERROR;
                return s->m_status;
            }
            memcpy(b->data, data, static_cast<size_t>(len));
            b->len = len;
            s->m_cur_buf = b;
            s->m_status = HTTP_PARSE_INCOMPLETE;
            return s->m_status;
        }
        const int header_len = static_cast<int>(end - data);
        s->m_status = parse_http_header(data, header_len);
        s->m_status = after_header(data + header_len, len - header_len);
        return s->m_status;
    }

    // Earlier slices left part of the header in m_cur_buf.
    http_buffer* b = s->m_cur_buf;
    const int old_len = b->len;
    const int copied = len < HTTP_BUFFER_SIZE - old_len ? len : HTTP_BUFFER_SIZE - old_len;
    memcpy(b->data + old_len, data, static_cast<size_t>(copied));
    b->len += copied;
    const char* end = http_find_header_end(b->data, b->len, old_len);
    if (!end) {
        if (b->len < HTTP_BUFFER_SIZE) {
            s->m_status = HTTP_PARSE_INCOMPLETE;
        } else {
            MARDEL_LOG(3, "http header too long, unsupported, len: %d\n", b->len);
            s->m_status = HTTP_PARSE_ERROR;
        }
        return s->m_status;
    }
    // The bytes behind the header are the rest of the block, then the part of
    // the slice that did not fit into it; none of them is dropped. The block
    // is detached first so that body bytes go to fresh blocks.
    s->m_cur_buf = nullptr;
    const int header_len = static_cast<int>(end - b->data);
    s->m_status = parse_http_header(b->data, header_len);
    s->m_status = after_header(end, b->len - header_len);
    if (copied < len) {
        if (s->m_status == HTTP_PARSE_COMPLETE) {
            save_extra_buf(data + copied, len - copied);
        } else if (s->m_status != HTTP_PARSE_ERROR) {
            s->m_status = parse_body(data + copied, len - copied);
        }
    }
    release_block(s, b);
    return s->m_status;
}

// Called with m_status as parse_http_header left it and `rest` the bytes of
// the slice behind the header.
parse_status_t CHttpParser::after_header(const char* rest, int rest_len) {
    http_parser_state* s = m_state;
    if (s->m_status == HTTP_PARSE_COMPLETE) {
        if (rest_len > 0)
            save_extra_buf(rest, rest_len);
        return HTTP_PARSE_COMPLETE;
    }
    if (s->m_status != HTTP_PARSE_INCOMPLETE && s->m_status != HTTP_PARSE_UNTIL_CLOSE)
        return s->m_status;
    if (rest_len <= 0)
        return s->m_status;
    if (!s->m_chunked && s->m_content_length > 0 && rest_len >= s->m_content_length &&
        !s->m_body_cb) {
        // The whole body is here: one buffer, no blocks. A stored body's
        // length fits an int (the header check).
        const int length = static_cast<int>(s->m_content_length);
        s->m_content = dup_bytes(rest, length);
        if (!s->m_content) {
            MARDEL_LOG(2, "calloc failed, len:%d\n", length);
            return HTTP_PARSE_ERROR;
        }
        s->m_content_len = length;
        s->m_content_gathered = length;
        if (rest_len > length)
            save_extra_buf(rest + length, rest_len - length);
        return HTTP_PARSE_COMPLETE;
    }
    return parse_body(rest, rest_len);
}

parse_status_t CHttpParser::parse_body(const char* data, int len) {
    http_parser_state* s = m_state;
    if (s->m_chunked)
        return append_buffer_chunked(data, len);
    if (s->m_body_cb)
        return stream_body(data, len);
    if (s->m_content_length > 0) {
        // Only the announced length is body; what follows is extra bytes.
        const long long need = s->m_content_length - s->m_cur_buf_size;
        const int n = len < need ? len : static_cast<int>(need);
        if (append_buffer(data, n) < 0) {
            s->m_content_len = s->m_cur_buf_size;
            return HTTP_PARSE_ERROR;
        }
        if (s->m_cur_buf_size == s->m_content_length) {
            s->m_content_len = s->m_cur_buf_size;
            if (len > n)
                save_extra_buf(data + n, len - n);
            return HTTP_PARSE_COMPLETE;
        }
    } else if (append_buffer(data, len) < 0) {
        s->m_content_len = s->m_cur_buf_size;
        return HTTP_PARSE_ERROR;
    }
    s->m_content_len = s->m_cur_buf_size;
    if (s->m_max_buf_len > 0 && s->m_cur_buf_size >= s->m_max_buf_len) {
        MARDEL_LOG(3, "HTTP_PARSER_BUFFER_FULL m_cur_buf_size:%d m_max_buf_len:%d\n",
                   s->m_cur_buf_size, s->m_max_buf_len);
        return HTTP_PARSER_BUFFER_FULL;
    }
    return s->m_status;
}

// Streaming mode, a body framed by Content-Length or by the end of input.
parse_status_t CHttpParser::stream_body(const char* data, int len) {
    http_parser_state* s = m_state;
    int n = len;
    if (s->m_content_length > 0) {
        const long long need = s->m_content_length - s->m_body_len;
        if (need < n)
            n = static_cast<int>(need);
    }
    if (deliver_body(data, n) < 0)
        return HTTP_PARSE_ERROR;
    if (s->m_content_length > 0 && s->m_body_len == s->m_content_length) {
        if (len > n)
            save_extra_buf(data + n, len - n);
        return HTTP_PARSE_COMPLETE;
    }
    return s->m_status;
}

// Hands decoded body bytes to the body callback; -1 when it refuses them or
// the 64-bit count would wrap.
int CHttpParser::deliver_body(const char* data, int len) {
    http_parser_state* s = m_state;
    if (len <= 0)
        return 0;
    if (len > LLONG_MAX - s->m_body_len) {
        MARDEL_LOG(3, "http body too long, size:%lld len:%d\n", s->m_body_len, len);
        return -1;
    }
    if (s->m_body_cb(s->m_body_ctx, data, len) != 0) {
        MARDEL_LOG(3, "body callback stopped the message, body bytes:%lld\n", s->m_body_len);
        return -1;
    }
    s->m_body_len += len;
    return 0;
}

int CHttpParser::append_buffer(const char* data, int len) {
    http_parser_state* s = m_state;
    if (s->m_body_cb)
        return len < 0 ? -1 : deliver_body(data, len);
    if (len < 0) {
        MARDEL_LOG(3, "invalid length!\n");
        return -1;
    }
    // Every body count is a 32-bit signed integer: refuse before one wraps.
    if (len > INT_MAX - s->m_cur_buf_size) {
        MARDEL_LOG(3, "http body too long, size:%d len:%d\n", s->m_cur_buf_size, len);
        return -1;
    }
    while (len > 0) {
        http_buffer* b = s->m_cur_buf;
        if (!b) {
            b = take_block(s);
            if (!b) {
                MARDEL_LOG(2, "calloc failed\n");
                return -1;
            }
            s->m_cur_buf = b;
        }
        const int room = HTTP_BUFFER_SIZE - b->len;
        if (room > 0) {
            const int n = len < room ? len : room;
            memcpy(b->data + b->len, data, static_cast<size_t>(n));
            b->len += n;
            s->m_cur_buf_size += n;
            data += n;
            len -= n;
        } else {
            if (s->m_buf_tail)
                s->m_buf_tail->next = b;
            else
                s->m_buf_list = b;
            s->m_buf_tail = b;
            s->m_cur_buf = nullptr;
        }
    }
    return 0;
}

// Appends to the extra bytes. A message ends once, so this normally runs once;
// when a header completed inside the header block, the block's rest and the
// slice's rest arrive as two calls.
int CHttpParser::save_extra_buf(const char* data, int len) {
    http_parser_state* s = m_state;
    if (len <= 0)
        return 0;
    if (len > INT_MAX - 1 - s->m_extra_len) {
        MARDEL_LOG(2, "calloc failed, len:%d\n", len);
        return -1;
    }
    const int total = s->m_extra_len + len;
    unsigned char* p = static_cast<unsigned char*>(malloc(static_cast<size_t>(total) + 1));
    if (!p) {
        MARDEL_LOG(2, "calloc failed, len:%d\n", len);
        return -1;
    }
    if (s->m_extra_len > 0)
        memcpy(p, s->m_extra_buf, static_cast<size_t>(s->m_extra_len));
    memcpy(p + s->m_extra_len, data, static_cast<size_t>(len));
    p[total] = 0;
    free(s->m_extra_buf);
    s->m_extra_buf = p;
    s->m_extra_len = total;
    return 0;
}

parse_status_t CHttpParser::GetStatus() const {
    return m_state ? m_state->m_status : HTTP_PARSE_ERROR;
}

int CHttpParser::GetContentLength() const {
    return m_state ? m_state->m_content_len : 0;
}

long long CHttpParser::GetBodyLength() const {
    if (!m_state)
        return 0;
    return m_state->m_body_cb ? m_state->m_body_len : m_state->m_content_len;
}

long long CHttpParser::GetBytesAhead() const {
    const http_parser_state* s = m_state;
    if (!s || s->m_status != HTTP_PARSE_INCOMPLETE || !s->m_http_header)
        return 0;
    if (s->m_chunked) {
        const http_chunk_state& c = s->m_chunk;
        const unsigned long long tail = 7;  // CRLF after the data, "0\r\n\r\n"
        if (c.state != CHUNK_DATA || c.chunk_left == 0)
            return 0;
        return c.chunk_left > static_cast<unsigned long long>(LLONG_MAX) - tail
                   ? LLONG_MAX
                   : static_cast<long long>(c.chunk_left + tail);
    }
    const long long received = s->m_body_cb ? s->m_body_len : s->m_cur_buf_size;
    return s->m_content_length > received ? s->m_content_length - received : 0;
}

void CHttpParser::SetBodyCallback(http_body_callback_t callback, void* context) {
    if (!m_state)
        return;
    m_state->m_body_cb = callback;
    m_state->m_body_ctx = callback ? context : nullptr;
}

char* CHttpParser::GetContent() {
    http_parser_state* s = m_state;
    if (!s || !content_readable(s->m_status))
        return nullptr;
    if (!s->m_content && s->m_content_len > 0 && !s->m_buf_list && s->m_cur_buf &&
        s->m_cur_buf->len >= s->m_content_len) {
        // The whole body is in one block: it becomes the content as it is.
        s->m_content_block = s->m_cur_buf;
        s->m_cur_buf = nullptr;
        s->m_content = s->m_content_block->data;
        s->m_content[s->m_content_len] = '\0';
        s->m_content_gathered = s->m_content_len;
    }
    if (s->m_content_gathered < s->m_content_len) {
        // The blocks, behind what an earlier call gathered (if any).
        const int total = s->m_content_len;
        char* c = static_cast<char*>(malloc(static_cast<size_t>(total) + 1));
        if (!c) {
            MARDEL_LOG(3, "calloc failed, size:%d\n", total);
            return nullptr;
        }
        int copied = s->m_content_gathered;
        if (copied > 0)
            memcpy(c, s->m_content, static_cast<size_t>(copied));
        http_buffer* b = s->m_buf_list;
        if (!b)
            b = s->m_cur_buf;
        while (b) {
            const int want = total - copied;
            const int n = b->len < want ? b->len : want;
            if (n < 1) {
                MARDEL_LOG(3,
                           "content real len error, content_length:%d, copy_len:%d "
                           "to_copy_len:%d\n",
                           total, copied, n);
            } else {
                memcpy(c + copied, b->data, static_cast<size_t>(n));
                copied += n;
            }
            http_buffer* next = b->next;
            if (!next && b != s->m_cur_buf)
                next = s->m_cur_buf;
            release_block(s, b);
            b = next;
        }
        if (copied < total)
            memset(c + copied, 0, static_cast<size_t>(total - copied));
        c[total] = '\0';
        s->m_buf_list = nullptr;
        s->m_buf_tail = nullptr;
        s->m_cur_buf = nullptr;
        free_content(s);
        s->m_content = c;
        s->m_content_gathered = total;
    }
    return s->m_content;
}

CHttpParser* CHttpParser::Clone() const {
    const http_parser_state* s = m_state;
    if (!s)
        return nullptr;
    CHttpParser* clone = new (std::nothrow) CHttpParser();
    if (!clone)
        return nullptr;
    http_parser_state* d = clone->m_state;
    if (!d) {
        delete clone;
        return nullptr;
    }
    d->m_http_header_len = s->m_http_header_len;
    d->m_content_length = s->m_content_length;
    d->m_max_buf_len = s->m_max_buf_len;
    d->m_cur_buf_size = s->m_cur_buf_size;
    d->m_content_len = s->m_content_len;
    d->m_status = s->m_status;
    d->m_chunked = s->m_chunked;
    d->m_chunk = s->m_chunk;
    d->m_header_only = s->m_header_only;
    d->m_body_cb = s->m_body_cb;
    d->m_body_ctx = s->m_body_ctx;
    d->m_body_len = s->m_body_len;

    bool ok = true;
    if (s->m_http_header && s->m_http_header_len > 0) {
        // The copy holds header length + 1 bytes, the last one a NUL.
        d->m_http_header = static_cast<char*>(malloc(static_cast<size_t>(s->m_http_header_len)));
        ok = d->m_http_header != nullptr;
        if (ok) {
            d->m_header_buf = d->m_http_header;
            d->m_header_cap = static_cast<size_t>(s->m_http_header_len);
            memcpy(d->m_http_header, s->m_http_header, static_cast<size_t>(s->m_http_header_len));
            const http_message_info& si = s->m_msg_info;
            http_message_info& di = d->m_msg_info;
            auto rebase = [&](char* p) -> char* {
                return p ? d->m_http_header + (p - s->m_http_header) : nullptr;
            };
            di.is_request = si.is_request;
            di.method = rebase(si.method);
            di.uri = rebase(si.uri);
            di.version = rebase(si.version);
            di.status_str = rebase(si.status_str);
            di.status_code = si.status_code;
            di.header_num = si.header_num;
            for (int i = 0; i < si.header_num; ++i) {
                di.headers[i].key = rebase(si.headers[i].key);
                di.headers[i].value = rebase(si.headers[i].value);
            }
        }
    }
    for (const http_buffer* b = s->m_buf_list; ok && b; b = b->next) {
        http_buffer* nb = new_block();
        ok = nb != nullptr;
        if (!ok)
            break;
        memcpy(nb->data, b->data, static_cast<size_t>(b->len));
        nb->len = b->len;
        if (d->m_buf_tail)
            d->m_buf_tail->next = nb;
        else
            d->m_buf_list = nb;
        d->m_buf_tail = nb;
    }
    if (ok && s->m_cur_buf) {
        d->m_cur_buf = new_block();
        ok = d->m_cur_buf != nullptr;
        if (ok) {
            memcpy(d->m_cur_buf->data, s->m_cur_buf->data, static_cast<size_t>(s->m_cur_buf->len));
            d->m_cur_buf->len = s->m_cur_buf->len;
        }
    }
    if (ok && s->m_content) {
        d->m_content = dup_bytes(s->m_content, s->m_content_gathered);
        ok = d->m_content != nullptr;
        if (ok)
            d->m_content_gathered = s->m_content_gathered;
    }
    if (ok && s->m_extra_buf) {
        d->m_extra_buf = dup_bytes(s->m_extra_buf, s->m_extra_len);
        ok = d->m_extra_buf != nullptr;
        if (ok)
            d->m_extra_len = s->m_extra_len;
    }
    if (!ok) {
        delete clone;
        return nullptr;
    }
    return clone;
}

void CHttpParser::SetMaxBufferLen(int len) {
    if (m_state)
        m_state->m_max_buf_len = len;
}

int CHttpParser::GetMaxBufferLen() const {
    return m_state ? m_state->m_max_buf_len : 0;
}

int CHttpParser::GetExtraLength() const {
    return m_state ? m_state->m_extra_len : 0;
}

unsigned char* CHttpParser::GetExtraBuffer() const {
    return m_state ? m_state->m_extra_buf : nullptr;
}

void CHttpParser::SetHeaderOnly(bool on) {
    if (m_state)
        m_state->m_header_only = on;
}

}  // namespace Corvio
}  // namespace Halvex
