// State record of CHttpParser; internal to the library, never installed.
#pragma once

#include <cstddef>

#include "Corvio/CHttpParser.h"

namespace Halvex {
namespace Corvio {

// Size of one body block, and of the block that gathers a header arriving in
// several slices.
const int HTTP_BUFFER_SIZE = 32768;
// Header fields stored per message.
const int HTTP_MAX_HEADERS = 128;
// Hex digits accepted in one chunk-size line (leading zeros included).
const int HTTP_CHUNK_SIZE_DIGITS = 16;

// One block of body bytes. Only the first `len` bytes of `data` are ever
// read, so blocks are allocated without zero-filling. The spare byte lets a
// block that holds a whole body serve as the NUL-terminated content.
struct http_buffer {
    char data[HTTP_BUFFER_SIZE + 1];
    int len;
    http_buffer* next;
};

struct http_header_field {
    char* key;
    char* value;
};

// Parsed start line and header table; every text points into the parser's
// header copy. Entries at and beyond `header_num` are never read.
struct http_message_info {
    bool is_request;
    char* method;
    char* uri;
    char* version;
    char* status_str;
    int status_code;
    int header_num;
    http_header_field headers[HTTP_MAX_HEADERS];
};

// Chunk decoder states (RFC 9112 section 7.1); each waits for:
enum http_chunk_state_t : int {
    CHUNK_SIZE = 0,        // hex digits of a chunk size
    CHUNK_EXT = 1,         // the CR ending the size line; extension bytes skipped
    CHUNK_SIZE_LF = 2,     // the LF after it; other bytes skipped
    CHUNK_DATA = 3,        // `chunk_left` data bytes
    CHUNK_DATA_CR = 4,     // the CR after the data
    CHUNK_DATA_LF = 5,     // the LF after the data, then back to CHUNK_SIZE
    CHUNK_TRAILER = 6,     // the CR ending a trailer line (or the empty line)
    CHUNK_TRAILER_LF = 7,  // the LF after a trailer line, then CHUNK_LINE_START
    CHUNK_LINE_START = 8,  // first byte of a line after the last chunk
    CHUNK_END_LF = 9,      // the final LF of the body
};

// Results of CHttpParser::parse_chunked.
enum http_chunk_result_t : int {
    CHUNK_RET_DONE = -1,  // final LF consumed: the body is complete
    CHUNK_RET_MORE = 0,   // slice consumed, more input needed
    CHUNK_RET_TOO_MANY_DIGITS = 1,
    CHUNK_RET_NO_DIGIT = 2,
    CHUNK_RET_FRAMING = 3,        // a CR or LF required by the framing is missing
    CHUNK_RET_APPEND_FAILED = 4,  // storing decoded data failed (memory, 32-bit bound)
    CHUNK_RET_BAD_STATE = 5,
    CHUNK_RET_SIZE_TOO_BIG = 6,      // a chunk size above 2147483647 (stored) or 2^63-1
    CHUNK_RET_TRAILER_TOO_LONG = 7,  // a trailer line beyond 2147483647 bytes
};

struct http_chunk_state {
    char size_str[HTTP_CHUNK_SIZE_DIGITS + 1];
    int size_len;
    int state;
    unsigned long long chunk_left;
    int trailer_len;
    // Bytes of the last slice that followed the final LF of the body.
    int rest_len;
};

struct http_parser_state {
    char* m_http_header;         // NUL-terminated header copy, cut in place; in m_header_buf
    int m_http_header_len;       // header length + 1
    long long m_content_length;  // Content-Length value; 0 when absent
    int m_max_buf_len;           // 0: no limit
    int m_cur_buf_size;          // body bytes held in the blocks
    http_buffer* m_buf_list;     // filled blocks, in arrival order
    http_buffer* m_cur_buf;      // block being filled (header bytes until the header is complete)
    char* m_content;             // the gathered body, NUL-terminated
    int m_content_len;
    parse_status_t m_status;
    http_message_info m_msg_info;
    bool m_chunked;
    http_chunk_state m_chunk;
    unsigned char* m_extra_buf;
    int m_extra_len;
    bool m_header_only;
    http_buffer* m_buf_tail;  // last block of m_buf_list
    // The block whose data m_content is, when the whole body sat in one block
    // (GetContent then copies nothing); NULL when m_content is a buffer of
    // its own.
    http_buffer* m_content_block;
    // A block kept from an earlier message for the next one to fill.
    http_buffer* m_spare_block;
    // Owned buffer that holds the header copy (m_http_header is NULL or points
    // to it), kept across Reset unless it grew past two blocks.
    char* m_header_buf;
    size_t m_header_cap;
    // Body bytes in m_content. Below m_content_len only when GetContent ran in
    // HTTP_PARSER_BUFFER_FULL and more body arrived since: the rest is then
    // in the blocks, and the next GetContent joins the two.
    int m_content_gathered;
    // Streaming mode: the body callback and its context (kept by Reset), and
    // the body bytes handed to it for the current message.
    http_body_callback_t m_body_cb;
    void* m_body_ctx;
    long long m_body_len;
};

// Position just behind the first blank line ("\r\n\r\n" or "\n\n") in
// buf[0, len), or NULL. `from` is where the previous search of the same
// buffer stopped (its length then): only a blank line that ends at or after
// `from` can be new, so a header arriving byte by byte is scanned once.
const char* http_find_header_end(const char* buf, int len, int from);

// Lets the library's unit tests reach the state (to drive counts near their
// bounds without sending gigabytes), and the downloader read how long a
// parsed header was.
struct http_parser_access {
    static http_parser_state* state(CHttpParser& parser) { return parser.m_state; }
    // Bytes of the header block, blank line included; 0 before it is parsed.
    static int header_length(const CHttpParser& parser) {
        const http_parser_state* s = parser.m_state;
        return s && s->m_http_header ? s->m_http_header_len - 1 : 0;
    }
};

}  // namespace Corvio
}  // namespace Halvex
