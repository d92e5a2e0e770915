// Incremental HTTP/1.x message parser (RFC 9112).
//
// One parser object takes the bytes of one request or response in slices of
// any size, as they arrive, and reports a parse_status_t after each slice.
// When the message is complete the caller reads the start line, the header
// fields, the body (content) and the bytes that arrived after the end of the
// message (the extra bytes, typically the start of the next message). Reset
// makes the object ready for the next message.
//
// The header ends at its first blank line, "\r\n\r\n" or "\n\n" (a bare LF
// ends a line, RFC 9112 section 2.2).
//
// Framing (RFC 9112 section 6.3), decided once the header is complete:
//  - header-only mode (SetHeaderOnly, for answers to HEAD): the message ends
//    with its header;
//  - a response with status 1xx, 204 or 304 has no body: it is complete at the
//    end of its header whatever its Content-Length or Transfer-Encoding say;
//  - Content-Length frames the body, and takes precedence over chunked
//    coding. Its value is digits, at most 2147483647 (2^63-1 in streaming mode),
//    optionally followed by white space; a list of one value repeated ("5, 5") frames that value.
//    A sign, leading white space, any other byte after the digits, a list of
//    differing values, a larger value, or two Content-Length fields that
//    differ is a parse error (RFC 9110 section 8.6, RFC 9112 section 6.3);
//  - "chunked" anywhere in Transfer-Encoding selects chunked decoding; chunk
//    extensions are skipped, trailer lines are logged and dropped;
//  - otherwise a request has no body and a response runs until the caller
//    signals end of input (Append with NULL or a length <= 0).
// Bytes after the end of the message, whichever way it ended (after the
// header, after the Content-Length body, or after the last chunk's final
// CRLF), are kept as the extra bytes, in order.
//
// Limits: a header that arrives in several slices must end within the first
// 32768 bytes; a header that arrives whole in the first slice may be longer.
// At most 128 header fields are stored; later ones are ignored. A stored body
// is counted in 32-bit signed integers: a body that would grow past
// 2147483647 bytes ends the message with HTTP_PARSE_ERROR. A peer can
// therefore make the parser buffer about 2 GiB, unless the caller sets a
// limit with SetMaxBufferLen and stops feeding once HTTP_PARSER_BUFFER_FULL is
// reported, or hands the body through a body callback (SetBodyCallback).
//
// Streaming mode (SetBodyCallback): the parser keeps the header only and
// hands every decoded body byte to the caller's callback as it arrives, so
// memory stays constant whatever the body size. Content-Length values and
// chunk sizes up to 9223372036854775807 are accepted and the body is counted
// in 64 bits (GetBodyLength).
//
// Lifetime of returned data: every text and buffer returned (start line,
// header names and values, content, extra bytes) points into the parser's
// own storage, stays valid until Reset, Release or destruction of the parser
// (a content read in HTTP_PARSER_BUFFER_FULL only until GetContent runs again
// after more body arrived), and must not be freed by the caller. Texts are
// NUL-terminated; a NUL byte sent inside a field ends that text early.
//
// Memory: body bytes are kept in 32768-byte blocks until GetContent gathers
// them (a body that fits one block is handed out in place). A parser reused
// with Reset keeps one block for the next message; destruction frees it.
//
// Threads: a parser takes no locks and shares nothing with other parsers; use
// one object from one thread at a time.
//
// Copying: copy construction and assignment are not available; Clone makes an
// independent deep copy.
#pragma once

#include "Corvio/Export.h"

namespace Halvex {
namespace Corvio {

enum parse_status_t : int {
    // The message is complete. Further input is refused until Reset.
    HTTP_PARSE_COMPLETE = 0,
    // More input is needed.
    HTTP_PARSE_INCOMPLETE = 1,
    // Malformed message, a body beyond the 32-bit counts, or a failed
    // allocation. Further input is refused until Reset; what was parsed so far
    // stays readable.
    HTTP_PARSE_ERROR = 2,
    // Nothing parsed since construction or Reset.
    HTTP_PARSE_INIT = 3,
    // A response without Content-Length and without chunked coding: the body
    // runs until the caller signals end of input.
    HTTP_PARSE_UNTIL_CLOSE = 4,
    // The buffered body reached the maximum buffer length. Not final: further
    // slices are still taken and this value is reported again, unless the
    // announced length or the last chunk completes the message first. An
    // end-of-input call leaves it unchanged. The bytes kept so far can be
    // read (GetContent, GetContentLength), whatever frames the body.
    HTTP_PARSER_BUFFER_FULL = 5,
};

// Receives the next `len` decoded body bytes of the message (valid during the
// call only). 0 goes on; any other result stops the message with
// HTTP_PARSE_ERROR. It runs inside Append and must not call Append, Reset,
// Clone or Release of the same parser.
typedef int (*http_body_callback_t)(void* context, const char* data, int len);

struct http_parser_state;
struct http_message_info;
struct http_parser_access;

class CORVIO_API CHttpParser {
public:
    CHttpParser();
    virtual ~CHttpParser();

    CHttpParser(const CHttpParser&) = delete;
    CHttpParser& operator=(const CHttpParser&) = delete;

    // Same as Append.
    parse_status_t Parse(const char* data, int len);
    // Feeds the next slice of the message. `data` NULL or `len` <= 0 signals
    // end of input: HTTP_PARSE_UNTIL_CLOSE becomes HTTP_PARSE_COMPLETE, any
    // other status stays. After HTTP_PARSE_COMPLETE or HTTP_PARSE_ERROR input
    // is refused ("need reset first!") and the status returned unchanged.
    parse_status_t Append(const char* data, int len);
    // Frees everything held for the message and returns to HTTP_PARSE_INIT.
    // The maximum buffer length is kept; header-only mode is cleared.
    void Reset();
    // Destroys the parser object: for parsers made by Clone (or by new).
    // Never for the parser a downloader's GetResult hands out, which the
    // downloader owns.
    void Release();

    parse_status_t GetStatus() const;
    // Body bytes received so far (decoded, for a chunked body); the body
    // length once complete. 0 in header-only mode and for responses without
    // a body, and in streaming mode.
    int GetContentLength() const;
    // Body bytes received so far in 64 bits: those handed to the body
    // callback in streaming mode, else those stored (GetContentLength).
    long long GetBodyLength() const;
    // Input bytes the message needs at least before it can be complete: the
    // rest of a Content-Length body, or, inside the data of a chunk, the rest
    // of that chunk with its CRLF and the shortest last chunk ("0" CRLF CRLF).
    // 0 while the header is incomplete, for an until-close body, between
    // chunks and in every state but HTTP_PARSE_INCOMPLETE. A reader may wait
    // for that many bytes before it looks at the input again.
    long long GetBytesAhead() const;
    // The body as one NUL-terminated buffer of GetContentLength() bytes, in
    // HTTP_PARSE_COMPLETE, in HTTP_PARSE_ERROR (the data decoded before the
    // error) and in HTTP_PARSER_BUFFER_FULL (the bytes kept so far, for
    // Content-Length, chunked and until-close bodies alike). NULL in every
    // other state, when the body is empty, and in streaming mode. A call gathers the body into
    // one buffer; later calls return the same buffer while no body byte has
    // arrived since. When more arrives after a call in
    // HTTP_PARSER_BUFFER_FULL, the next call frees the earlier buffer and
    // returns a new one holding the whole body kept.
    char* GetContent();
    // An independent parser holding a deep copy of this one's whole state;
    // NULL if an allocation fails. The caller owns it and ends it with
    // Release.
    CHttpParser* Clone() const;

    // Body size at which HTTP_PARSER_BUFFER_FULL is reported; 0 (the
    // default) means no limit. Kept by Reset.
    void SetMaxBufferLen(int len);
    int GetMaxBufferLen() const;

    // Bytes received after the end of the message, NUL-terminated; NULL and
    // 0 when there are none.
    int GetExtraLength() const;
    unsigned char* GetExtraBuffer() const;

    // Streaming mode: the decoded body bytes of every message (Content-Length
    // body, chunked body with the coding removed, or until-close body) go to
    // `callback(context, data, len)` in order instead of being stored; the
    // maximum buffer length is not looked at. A callback result other than 0
    // stops the message with HTTP_PARSE_ERROR and the log line "body callback
    // stopped the message, body bytes:%lld". Set it before a message starts;
    // Reset and Clone keep it; a null callback returns to storing.
    void SetBodyCallback(http_body_callback_t callback, void* context);

    // Header-only mode: the message ends with its header (for the answer to a
    // HEAD request); Content-Length is not looked at and body bytes become
    // extra bytes. Cleared by Reset.
    void SetHeaderOnly(bool on);

    // Start line. For a request: method, target and version ("1.1"), the
    // reason text and status code being NULL and 0. For a response: version,
    // status code and reason text (possibly empty), method and target NULL.
    bool IsRequest() const;
    char* GetReqMethod() const;
    char* GetURI() const;
    char* GetHttpVersion() const;
    int GetStatusCode() const;
    char* GetStatusStr() const;

    // Header fields in the order received (duplicates included).
    int GetHeaderNum() const;
    // Sets both outputs to NULL, then to the name and value of field `index`;
    // -1 when `index` is out of range, 0 otherwise.
    int GetKeyValue(int index, char** key, char** value) const;
    // Value of the first field whose name equals `name` ignoring ASCII case;
    // NULL when `name` is NULL or no field matches.
    char* Value(const char* name) const;

private:
    friend struct http_parser_access;

    parse_status_t parse_http_header(const char* data, int len);
    int parse_http_elements(char** cursor, char* end, http_message_info* info,
                            char** content_length, bool* content_length_repeated,
                            char** transfer_encoding);
    parse_status_t after_header(const char* rest, int rest_len);
    parse_status_t parse_body(const char* data, int len);
    int append_buffer(const char* data, int len);
    int deliver_body(const char* data, int len);
    parse_status_t stream_body(const char* data, int len);
    int save_extra_buf(const char* data, int len);
    void http_chunk_init();
    int parse_chunked(const char* data, int len);
    parse_status_t append_buffer_chunked(const char* data, int len);

    http_parser_state* m_state;
};

}  // namespace Corvio
}  // namespace Halvex
