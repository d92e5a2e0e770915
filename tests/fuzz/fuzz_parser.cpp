// CHttpParser fed in slices chosen by the input.
//
// Input: byte 0 flags (bit 0 header-only mode, bit 1 a maximum buffer length
// from bytes 1-2, bit 2 an end-of-input call at the end, bit 3 a Clone after
// the first slice that is then fed the same slices), bytes 3-6 slice sizes used
// in turn (0: the whole rest), the message from byte 7 on.
//
// Checked: no crash or sanitizer report; GetContent is NULL before a final
// state, except the bytes kept in HTTP_PARSER_BUFFER_FULL (read after every
// such slice, so that later slices add to content already gathered); every text and buffer handed
// out is NUL-terminated where its length says; the clone ends exactly as the original; and for
// messages whose header fits the header block, feeding the message whole ends with the same status,
// content and extra bytes as feeding it in slices; and the same slices fed in
// streaming mode (a body callback) hand out the bytes the stored mode keeps
// and end the same way, except where the 64-bit bounds take what the 32-bit
// ones refuse.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Corvio/CHttpParser.h"
#include "Mardel/Log.h"
#include "fuzz_common.h"

using namespace Halvex::Corvio;

namespace {

using fuzz_common::check;

struct Result {
    parse_status_t status;
    std::string content;
    bool has_content;
    std::string extra;
    int header_num;
};

bool is_final(parse_status_t st) {
    return st == HTTP_PARSE_COMPLETE || st == HTTP_PARSE_ERROR;
}

// Reads everything the parser hands out, checking terminators and bounds.
Result inspect(CHttpParser& p, const std::string& refused) {
    Result r;
    r.status = p.GetStatus();
    check(r.status >= HTTP_PARSE_COMPLETE && r.status <= HTTP_PARSER_BUFFER_FULL);
    r.header_num = p.GetHeaderNum();
    check(r.header_num >= 0 && r.header_num <= 128);
    for (int i = -1; i <= r.header_num; ++i) {
        char* k = nullptr;
        char* v = nullptr;
        const int ret = p.GetKeyValue(i, &k, &v);
        check((ret == 0) == (i >= 0 && i < r.header_num));
        if (ret == 0) {
            check(k && v);
            check(p.Value(k) != nullptr);
            (void)strlen(v);
        }
    }
    for (const char* t : {p.GetReqMethod(), p.GetURI(), p.GetHttpVersion(), p.GetStatusStr(),
                          p.Value("Content-Length"), p.Value("transfer-encoding")})
        if (t)
            (void)strlen(t);
    const int len = p.GetContentLength();
    check(len >= 0);
    const char* content = p.GetContent();
    if (!is_final(r.status))
        check((content != nullptr) == (r.status == HTTP_PARSER_BUFFER_FULL && len > 0));
    r.has_content = content != nullptr;
    if (content) {
        check(content[len] == '\0');
        r.content.assign(content, static_cast<size_t>(len));
    }
    const unsigned char* extra = p.GetExtraBuffer();
    check((extra != nullptr) == (p.GetExtraLength() > 0));
    if (extra) {
        check(extra[p.GetExtraLength()] == '\0');
        r.extra.assign(reinterpret_cast<const char*>(extra),
                       static_cast<size_t>(p.GetExtraLength()));
    }
    if (r.status == HTTP_PARSE_COMPLETE)
        r.extra += refused;
    return r;
}

// Appends [data, data + n) from an exact-size heap copy.
parse_status_t append(CHttpParser& p, const uint8_t* data, size_t n) {
    char* copy = static_cast<char*>(malloc(n ? n : 1));
    if (n)
        memcpy(copy, data, n);
    const parse_status_t st = p.Append(copy, static_cast<int>(n));
    free(copy);
    return st;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_common::quiet_log();
    if (size < 7)
        return 0;
    const uint8_t flags = data[0];
    const bool header_only = flags & 1;
    const int max_buf = (flags & 2) ? (data[1] | (data[2] << 8)) : 0;
    const bool eof = flags & 4;
    const bool clone = flags & 8;
    const uint8_t* sizes = data + 3;
    const uint8_t* msg = data + 7;
    const size_t msg_len = size - 7;

    CHttpParser parser;
    parser.SetHeaderOnly(header_only);
    parser.SetMaxBufferLen(max_buf);
    CHttpParser* copy = nullptr;
    size_t pos = 0;
    std::string refused;
    for (int i = 0; pos < msg_len; ++i) {
        if (is_final(parser.GetStatus())) {
            refused.assign(reinterpret_cast<const char*>(msg + pos), msg_len - pos);
            // Refused, state unchanged.
            const parse_status_t before = parser.GetStatus();
            check(append(parser, msg + pos, msg_len - pos) == before);
            if (copy)
                check(append(*copy, msg + pos, msg_len - pos) == before);
            break;
        }
        size_t n = sizes[i % 4] ? sizes[i % 4] : msg_len - pos;
        if (n > msg_len - pos)
            n = msg_len - pos;
        const parse_status_t st = append(parser, msg + pos, n);
        if (copy)
            check(append(*copy, msg + pos, n) == st);
        check(!is_final(st) || parser.GetContentLength() >= 0);
        if (!is_final(st)) {
            const char* kept = parser.GetContent();
            check((kept != nullptr) ==
                  (st == HTTP_PARSER_BUFFER_FULL && parser.GetContentLength() > 0));
            check(!kept || kept[parser.GetContentLength()] == '\0');
        }
        pos += n;
        if (clone && !copy) {
            copy = parser.Clone();
            check(copy != nullptr);
        }
    }
    if (eof) {
        parser.Append(nullptr, 0);
        if (copy)
            copy->Append(nullptr, 0);
    }
    const Result sliced = inspect(parser, refused);
    if (copy) {
        const Result c = inspect(*copy, refused);
        check(c.status == sliced.status && c.content == sliced.content &&
              c.has_content == sliced.has_content && c.extra == sliced.extra &&
              c.header_num == sliced.header_num);
        copy->Release();
    }

    // Whole versus sliced, when the header cannot meet the limit that only
    // applies to a header arriving in pieces.
    if (msg_len > 0 && msg_len < 32768) {
        CHttpParser whole;
        whole.SetHeaderOnly(header_only);
        whole.SetMaxBufferLen(max_buf);
        append(whole, msg, msg_len);
        if (eof)
            whole.Append(nullptr, 0);
        const Result w = inspect(whole, "");
        check(w.status == sliced.status);
        check(w.header_num == sliced.header_num);
        check(w.has_content == sliced.has_content && w.content == sliced.content);
        if (w.status == HTTP_PARSE_COMPLETE)
            check(w.extra == sliced.extra);
    }

    // Streaming mode over the same slices; the buffer limit does not apply.
    CHttpParser streaming;
    std::string streamed;
    streaming.SetHeaderOnly(header_only);
    streaming.SetBodyCallback(
        [](void* ctx, const char* d, int n) {
            static_cast<std::string*>(ctx)->append(d, static_cast<size_t>(n));
            return 0;
        },
        &streamed);
    pos = 0;
    for (int i = 0; pos < msg_len && !is_final(streaming.GetStatus()); ++i) {
        size_t n = sizes[i % 4] ? sizes[i % 4] : msg_len - pos;
        if (n > msg_len - pos)
            n = msg_len - pos;
        append(streaming, msg + pos, n);
        pos += n;
    }
    if (eof)
        streaming.Append(nullptr, 0);
    const parse_status_t st = streaming.GetStatus();
    check(streaming.GetContentLength() == 0 && streaming.GetContent() == nullptr);
    check(streaming.GetBodyLength() == static_cast<long long>(streamed.size()));
    if (sliced.status == HTTP_PARSE_COMPLETE) {
        std::string extra;
        if (streaming.GetExtraBuffer())
            extra.assign(reinterpret_cast<const char*>(streaming.GetExtraBuffer()),
                         static_cast<size_t>(streaming.GetExtraLength()));
        check(st == HTTP_PARSE_COMPLETE && streamed == sliced.content &&
              extra + refused == sliced.extra);
    } else if (sliced.status == HTTP_PARSE_ERROR) {
        check(streamed.compare(0, sliced.content.size(), sliced.content) == 0);
        check(st != HTTP_PARSE_ERROR || streamed == sliced.content);
    } else if (sliced.status != HTTP_PARSER_BUFFER_FULL) {
        check(st == sliced.status && streaming.GetBodyLength() == parser.GetContentLength());
    }

    parser.Reset();
    check(parser.GetStatus() == HTTP_PARSE_INIT && parser.GetMaxBufferLen() == max_buf);
    return 0;
}
