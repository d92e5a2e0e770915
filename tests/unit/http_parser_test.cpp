// CHttpParser over a corpus of messages: each case is fed whole, byte by byte
// and split once at every point (large cases at every point near the ends and
// at a stride in between). Every way of slicing must give the same status,
// start line, header fields, content and bytes after the message; a failing
// case fails with the same status at every split. Every slice sits in an
// exact-size heap buffer so that a read past its end is caught by ASan.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "Corvio/CHttpParser.h"
#include "support/LogCapture.h"

using Halvex::Corvio::CHttpParser;
using Halvex::Corvio::parse_status_t;
using namespace Halvex::Corvio;
using corvio_test::LogCapture;

namespace {

typedef std::vector<std::pair<std::string, std::string>> Fields;

struct Case {
    std::string name;
    std::string input;
    parse_status_t status;
    // "> method target version" for a request, "< version code [reason]" for
    // a response; not checked when empty.
    std::string start;
    Fields headers;  // checked when check_headers
    bool check_headers;
    const char* content;  // expected GetContent(); nullptr: NULL
    int content_length;
    std::string extra;              // extra bytes plus any bytes refused after the end
    std::vector<std::string> logs;  // exact messages of the whole feed
    bool eof;
    bool header_only;
    int max_buf_len;
    int stride;  // split points between the first and last 400 bytes
    // Status in streaming mode where the 64-bit bounds differ from the stored
    // 32-bit ones; -1: the stored status.
    int streamed;
};

struct CaseBuilder {
    Case c;
    CaseBuilder(std::string name, std::string input, parse_status_t status) {
        c.name = std::move(name);
        c.input = std::move(input);
        c.status = status;
        c.check_headers = false;
        c.content = nullptr;
        c.content_length = 0;
        c.eof = false;
        c.header_only = false;
        c.max_buf_len = 0;
        c.stride = 1;
        c.streamed = -1;
    }
    CaseBuilder& Streamed(parse_status_t st) {
        c.streamed = st;
        return *this;
    }
    CaseBuilder& Start(std::string s) {
        c.start = std::move(s);
        return *this;
    }
    CaseBuilder& Headers(Fields f) {
        c.headers = std::move(f);
        c.check_headers = true;
        return *this;
    }
    CaseBuilder& Content(const char* text, int len) {
        c.content = text;
        c.content_length = len;
        return *this;
    }
    CaseBuilder& Length(int len) {
        c.content_length = len;
        return *this;
    }
    CaseBuilder& Extra(std::string e) {
        c.extra = std::move(e);
        return *this;
    }
    CaseBuilder& Logs(std::vector<std::string> l) {
        c.logs = std::move(l);
        return *this;
    }
    CaseBuilder& Eof() {
        c.eof = true;
        return *this;
    }
    CaseBuilder& HeaderOnly() {
        c.header_only = true;
        return *this;
    }
    CaseBuilder& MaxBuf(int n) {
        c.max_buf_len = n;
        return *this;
    }
    CaseBuilder& Stride(int n) {
        c.stride = n;
        return *this;
    }
    operator Case() const { return c; }
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string Str(const char* p) {
    return p ? std::string(p) : std::string("<null>");
}

struct Outcome {
    parse_status_t status;
    std::string start;
    Fields headers;
    bool has_content;
    std::string content;
    int content_length;
    std::string extra;

    std::string Describe() const {
        std::string d = "status=" + std::to_string(status) + "\nstart=" + start + "\n";
        for (const auto& h : headers)
            d += "field [" + h.first + "] = [" + h.second + "]\n";
        d += "content=" + (has_content ? "[" + content + "]" : std::string("<null>")) +
             " length=" + std::to_string(content_length) + "\nextra=[" + extra + "]\n";
        return d;
    }
};

std::string StartLine(const CHttpParser& p) {
    if (p.IsRequest())
        return "> " + Str(p.GetReqMethod()) + " " + Str(p.GetURI()) + " " + Str(p.GetHttpVersion());
    return "< " + Str(p.GetHttpVersion()) + " " + std::to_string(p.GetStatusCode()) + " [" +
           Str(p.GetStatusStr()) + "]";
}

// Feeds `c.input` cut at `cuts` (ascending offsets strictly inside the input).
// A parser given in `reused` is Reset first instead of a fresh one used.
// With `streamed` the parser runs in streaming mode and the body callback's
// bytes stand for the content.
Outcome Feed(const Case& c, const std::vector<size_t>& cuts, CHttpParser* reused = nullptr,
             std::string* streamed = nullptr) {
    CHttpParser fresh;
    if (reused)
        reused->Reset();
    CHttpParser& parser = reused ? *reused : fresh;
    if (streamed) {
        parser.SetBodyCallback(
            [](void* ctx, const char* data, int len) {
                static_cast<std::string*>(ctx)->append(data, static_cast<size_t>(len));
                return 0;
            },
            streamed);
    }
    parser.SetMaxBufferLen(c.max_buf_len);
    parser.SetHeaderOnly(c.header_only);
    std::string refused;
    size_t pos = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t stop = i < cuts.size() ? cuts[i] : c.input.size();
        const size_t n = stop - pos;
        const parse_status_t st = parser.GetStatus();
        // Bytes the parser would refuse: after a complete message they start
        // the next one, after an error they are of no use.
        if (st == HTTP_PARSE_COMPLETE)
            refused = c.input.substr(pos);
        if (st == HTTP_PARSE_COMPLETE || st == HTTP_PARSE_ERROR)
            break;
        std::unique_ptr<char[]> slice(new char[n]);
        c.input.copy(slice.get(), n, pos);
        // The bytes kept at the limit can be read at once; reading them must
        // not change what the parser ends with.
        if (parser.Append(slice.get(), static_cast<int>(n)) == HTTP_PARSER_BUFFER_FULL) {
            const char* kept = parser.GetContent();
            EXPECT_TRUE(kept != nullptr && kept[parser.GetContentLength()] == '\0');
        }
        pos = stop;
    }
    if (c.eof)
        parser.Append(nullptr, 0);

    Outcome o;
    o.status = parser.GetStatus();
    o.start = StartLine(parser);
    for (int i = 0; i < parser.GetHeaderNum(); ++i) {
        char* k = nullptr;
        char* v = nullptr;
        EXPECT_EQ(0, parser.GetKeyValue(i, &k, &v));
        o.headers.emplace_back(Str(k), Str(v));
    }
    o.content_length = parser.GetContentLength();
    const char* content = parser.GetContent();
    if (streamed) {
        // Nothing is stored; the final states hand the body out.
        EXPECT_EQ(0, o.content_length);
        EXPECT_EQ(nullptr, content);
        EXPECT_EQ(static_cast<long long>(streamed->size()), parser.GetBodyLength());
        o.has_content =
            !streamed->empty() && (o.status == HTTP_PARSE_COMPLETE || o.status == HTTP_PARSE_ERROR);
        o.content_length = static_cast<int>(streamed->size());
        if (o.has_content)
            o.content = *streamed;
        content = nullptr;
    }
    if (content) {
        o.has_content = true;
        o.content.assign(content, static_cast<size_t>(o.content_length));
        EXPECT_EQ('\0', content[o.content_length]);
    } else if (!streamed) {
        o.has_content = false;
    }
    if (parser.GetExtraBuffer()) {
        o.extra.assign(reinterpret_cast<const char*>(parser.GetExtraBuffer()),
                       static_cast<size_t>(parser.GetExtraLength()));
        EXPECT_EQ('\0', parser.GetExtraBuffer()[parser.GetExtraLength()]);
    } else {
        EXPECT_EQ(0, parser.GetExtraLength());
    }
    o.extra += refused;
    return o;
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

std::string Bytes(int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += static_cast<char>('a' + i % 26);
    return out;
}

const std::string kBrowserGet =
    "GET /static/js/app.min.js?v=20240611 HTTP/1.1\r\n"
    "Host: www.example.com\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:126.0) Gecko/20100101 Firefox/126.0\r\n"
    "Accept: */*\r\n"
    "Accept-Language: en-US,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Referer: https://www.example.com/products/index.html?category=tools&sort=price\r\n"
    "Connection: keep-alive\r\n"
    "Cookie: session=8f14e45fceea167a5a36dedd4bea2543; theme=dark; lang=en\r\n"
    "Sec-Fetch-Dest: script\r\n"
    "Sec-Fetch-Mode: no-cors\r\n"
    "\r\n";

std::string ManyFields(int n) {
    std::string h = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < n; ++i)
        h += "X-F" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
    return h;
}

const std::string kBody70k = Bytes(70000);
const std::string kChunk40k = Bytes(40000);
const std::string kChunk30k = Bytes(30000);
const std::string kChunked70k = kChunk40k + kChunk30k;
const std::string kUntilClose150 = Bytes(150);
const std::string k129Fields = ManyFields(128) + "Content-Length: 3\r\n\r\nabc";

std::vector<Case> Corpus() {
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
    std::vector<Case> v;
    // Content-Length bodies.
    v.push_back(CaseBuilder("cl_basic", ok + "Content-Length: 5\r\n\r\nhello", HTTP_PARSE_COMPLETE)
                    .Start("< 1.1 200 [OK]")
                    .Headers({{"Content-Length", "5"}})
                    .Content("hello", 5));
    v.push_back(CaseBuilder("cl_then_next_message",
                            ok + "Content-Length: 5\r\n\r\nhelloHTTP/1.1 204 No Content\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Content("hello", 5)
                    .Extra("HTTP/1.1 204 No Content\r\n\r\n"));
    v.push_back(CaseBuilder("cl_zero", ok + "Content-Length: 0\r\n\r\n", HTTP_PARSE_COMPLETE)
                    .Content(nullptr, 0));
    v.push_back(CaseBuilder("cl_largest", ok + "Content-Length: 2147483647\r\n\r\nab",
                            HTTP_PARSE_INCOMPLETE)
                    .Length(2));
    v.push_back(CaseBuilder("cl_leading_zeros_trailing_space",
                            ok + "Content-Length: 0003 \r\n\r\nabcd", HTTP_PARSE_COMPLETE)
                    .Content("abc", 3)
                    .Extra("d"));
    v.push_back(CaseBuilder("cl_buffer_full_open", ok + "Content-Length: 20\r\n\r\n0123456789",
                            HTTP_PARSER_BUFFER_FULL)
                    .Content("0123456789", 10)
                    .MaxBuf(8)
                    .Logs({"HTTP_PARSER_BUFFER_FULL m_cur_buf_size:10 m_max_buf_len:8\n"}));
    v.push_back(CaseBuilder("cl_list_of_one_value", ok + "Content-Length: 3 ,\t3, 3\r\n\r\nabcd",
                            HTTP_PARSE_COMPLETE)
                    .Content("abc", 3)
                    .Extra("d"));
    v.push_back(CaseBuilder("cl_two_equal_fields",
                            ok + "Content-Length: 3\r\ncontent-length: 03\r\n\r\nabc",
                            HTTP_PARSE_COMPLETE)
                    .Content("abc", 3));
    v.push_back(CaseBuilder("cl_two_differing_fields",
                            ok + "Content-Length: 3\r\nX: y\r\nContent-Length: 4\r\n\r\nabcd",
                            HTTP_PARSE_ERROR)
                    .Logs({"invalid http content_length:4\n"}));
    v.push_back(CaseBuilder("cl_multi_block",
                            ok + "Content-Length: 70000\r\n\r\n" + kBody70k + "NEXT",
                            HTTP_PARSE_COMPLETE)
                    .Content(kBody70k.c_str(), 70000)
                    .Extra("NEXT")
                    .Stride(4999));
    v.push_back(CaseBuilder("cl_wins_over_chunked",
                            ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc",
                            HTTP_PARSE_COMPLETE)
                    .Content("abc", 3));
    v.push_back(CaseBuilder("lf_only_lines", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok",
                            HTTP_PARSE_COMPLETE)
                    .Start("< 1.1 200 [OK]")
                    .Headers({{"Content-Length", "2"}})
                    .Content("ok", 2));
    // Bodies until the end of input.
    v.push_back(CaseBuilder("until_close_eof", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nabcdef",
                            HTTP_PARSE_COMPLETE)
                    .Start("< 1.0 200 [OK]")
                    .Content("abcdef", 6)
                    .Eof());
    v.push_back(
        CaseBuilder("until_close_open", "HTTP/1.0 200 OK\r\n\r\nabcdef", HTTP_PARSE_UNTIL_CLOSE)
            .Length(6));
    v.push_back(CaseBuilder("buffer_full_until_close", "HTTP/1.0 200 OK\r\n\r\n" + kUntilClose150,
                            HTTP_PARSER_BUFFER_FULL)
                    .Content(kUntilClose150.c_str(), 150)
                    .MaxBuf(100)
                    .Eof()
                    .Logs({"HTTP_PARSER_BUFFER_FULL m_cur_buf_size:150 m_max_buf_len:100\n"}));
    // Chunked bodies.
    v.push_back(
        CaseBuilder("chunked_basic", chunked + "5\r\nhello\r\n0\r\n\r\n", HTTP_PARSE_COMPLETE)
            .Content("hello", 5));
    v.push_back(CaseBuilder("chunked_extension", chunked + "4;name=value\r\nwiki\r\n0\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Content("wiki", 4));
    v.push_back(CaseBuilder("chunked_hex_case",
                            chunked + "A\r\n0123456789\r\na\r\nabcdefghij\r\n0\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Content("0123456789abcdefghij", 20));
    v.push_back(
        CaseBuilder("chunked_trailer", chunked + "0\r\nExpires: never\r\n\r\n", HTTP_PARSE_COMPLETE)
            .Content(nullptr, 0)
            .Logs({"trailed len:14 been discarded\n"}));
    v.push_back(CaseBuilder("chunked_then_next_message",
                            chunked + "3\r\nabc\r\n0\r\n\r\nGET / HTTP/1.1\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Content("abc", 3)
                    .Extra("GET / HTTP/1.1\r\n\r\n"));
    v.push_back(CaseBuilder("chunked_0x_prefix_reads_zero", chunked + "0x10\r\nabc\r\n\r\nrest",
                            HTTP_PARSE_COMPLETE)
                    .Content(nullptr, 0)
                    .Extra("rest")
                    .Logs({"trailed len:3 been discarded\n"}));
    v.push_back(CaseBuilder("chunked_gzip_CHUNKED",
                            ok + "Transfer-Encoding: gzip, CHUNKED\r\n\r\n2\r\nhi\r\n0\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Content("hi", 2));
    v.push_back(CaseBuilder("chunked_bare_lf_after_size_is_extension",
                            chunked + "2\nxx\r\nhi\r\n0\r\n\r\n", HTTP_PARSE_COMPLETE)
                    .Content("hi", 2));
    v.push_back(CaseBuilder("chunked_largest_size_accepted", chunked + "7fffffff\r\nabc",
                            HTTP_PARSE_INCOMPLETE)
                    .Length(3));
    v.push_back(
        CaseBuilder("chunked_multi_block",
                    chunked + "9c40\r\n" + kChunk40k + "\r\n7530\r\n" + kChunk30k + "\r\n0\r\n\r\n",
                    HTTP_PARSE_COMPLETE)
            .Content(kChunked70k.c_str(), 70000)
            .Stride(4999));
    v.push_back(CaseBuilder("chunked_buffer_full_then_complete",
                            chunked + "a\r\n0123456789\r\n0\r\n\r\n", HTTP_PARSE_COMPLETE)
                    .Content("0123456789", 10)
                    .MaxBuf(8));
    v.push_back(CaseBuilder("chunked_buffer_full_open", chunked + "a\r\n0123456789\r\n",
                            HTTP_PARSER_BUFFER_FULL)
                    .Content("0123456789", 10)
                    .MaxBuf(8)
                    .Logs({"HTTP_PARSER_BUFFER_FULL m_cur_buf_size:10 m_max_buf_len:8\n"}));
    // Responses without a body (RFC 9112 section 6.3).
    v.push_back(CaseBuilder("no_body_204_keep_alive",
                            "HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 200 OK\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Start("< 1.1 204 [No Content]")
                    .Extra("HTTP/1.1 200 OK\r\n\r\n"));
    v.push_back(CaseBuilder("no_body_304_with_length",
                            "HTTP/1.1 304 Not Modified\r\nContent-Length: 100\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Length(0));
    v.push_back(CaseBuilder("no_body_100_continue",
                            "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 1\r\n\r\nx",
                            HTTP_PARSE_COMPLETE)
                    .Start("< 1.1 100 [Continue]")
                    .Extra(ok + "Content-Length: 1\r\n\r\nx"));
    v.push_back(
        CaseBuilder("header_only_mode", ok + "Content-Length: 1000\r\n\r\nabc", HTTP_PARSE_COMPLETE)
            .HeaderOnly()
            .Length(0)
            .Extra("abc"));
    // Start lines and fields.
    v.push_back(CaseBuilder("status_without_reason", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok",
                            HTTP_PARSE_COMPLETE)
                    .Start("< 1.1 200 []")
                    .Content("ok", 2));
    v.push_back(CaseBuilder("field_values",
                            "HTTP/1.1 200 OK\r\nHost: a:80\r\nX-Pad:    a\r\nX-Tab:\tb \r\n"
                            "Set-Cookie: 1\r\nset-cookie: 2\r\nNoColon\r\nNext: v\r\n"
                            "Content-Length: 0\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Headers({{"Host", "a:80"},
                              {"X-Pad", "a"},
                              {"X-Tab", "\tb "},
                              {"Set-Cookie", "1"},
                              {"set-cookie", "2"},
                              {"NoColon\r\nNext", "v"},
                              {"Content-Length", "0"}}));
    v.push_back(CaseBuilder("high_bytes",
                            "HTTP/1.1 200 \xC3\xA9t\xC3\xA9\r\nX-\xFF: \xC3\xA9\r\n\r\n",
                            HTTP_PARSE_UNTIL_CLOSE)
                    .Start("< 1.1 200 [\xC3\xA9t\xC3\xA9]")
                    .Headers({{"X-\xFF", "\xC3\xA9"}}));
    v.push_back(CaseBuilder("nul_byte_in_field_value",
                            std::string("GET / HTTP/1.1\r\nA: b\0c\r\nD: e\r\n\r\n", 32),
                            HTTP_PARSE_COMPLETE)
                    .Start("> GET / 1.1")
                    .Headers({{"A", "b"}, {"D", "e"}}));
    v.push_back(CaseBuilder("fields_beyond_128_unseen", k129Fields, HTTP_PARSE_UNTIL_CLOSE)
                    .Length(3)
                    .Stride(97));
    v.push_back(CaseBuilder("earliest_blank_line_wins", "GET / HTTP/1.1\n\nX-A: b\r\n\r\n",
                            HTTP_PARSE_COMPLETE)
                    .Start("> GET / 1.1")
                    .Headers({})
                    .Extra("X-A: b\r\n\r\n"));
    // Requests.
    v.push_back(CaseBuilder("browser_get", kBrowserGet, HTTP_PARSE_COMPLETE)
                    .Start("> GET /static/js/app.min.js?v=20240611 1.1")
                    .Content(nullptr, 0));
    v.push_back(
        CaseBuilder("post_then_pipelined",
                    "POST /form HTTP/1.0\r\nContent-Length: 3\r\n\r\na=bGET / HTTP/1.1\r\n\r\n",
                    HTTP_PARSE_COMPLETE)
            .Start("> POST /form 1.0")
            .Content("a=b", 3)
            .Extra("GET / HTTP/1.1\r\n\r\n"));
    v.push_back(CaseBuilder("target_with_space", "GET /a b HTTP/1.1\r\n\r\n", HTTP_PARSE_COMPLETE)
                    .Start("> GET /a b 1.1"));
    v.push_back(
        CaseBuilder("request_chunked",
                    "PUT /u HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nz\r\n0\r\n\r\n",
                    HTTP_PARSE_COMPLETE)
            .Start("> PUT /u 1.1")
            .Content("z", 1));
    // Failures.
    v.push_back(CaseBuilder("status_lf_after_code", "HTTP/1.1 200\n\n", HTTP_PARSE_ERROR)
                    .Logs({"invalid http response status line:\n\n"}));
    v.push_back(CaseBuilder("status_not_digits", "HTTP/1.1 abc OK\r\n\r\n", HTTP_PARSE_ERROR)
                    .Logs({"invalid http response status line:a\n"}));
    v.push_back(
        CaseBuilder("status_code_ten_digits", "HTTP/1.1 1234567890 OK\r\n\r\n", HTTP_PARSE_ERROR)
            .Logs({"invalid http response status line:0\n"}));
    v.push_back(
        CaseBuilder("lower_case_http_is_request_line", "http/1.1 200 OK\r\n\r\n", HTTP_PARSE_ERROR)
            .Logs({"invalid http version, http_header:http/1.1 200 OK\n"}));
    v.push_back(CaseBuilder("request_line_one_space", "GET /\r\n\r\n", HTTP_PARSE_ERROR)
                    .Logs({"invalid http version, http_header:GET /\n"}));
    for (const char* bad :
         {"abc", "-1", "+5", "\t5", "2147483648", "9223372036854775807", "9223372036854775808",
          "99999999999999999999", "5abc", "5 6", "5, 6", "5,", ",5", "5, 2147483648"}) {
        const std::string b = bad;
        const bool streams = b == "2147483648" || b == "9223372036854775807";
        v.push_back(CaseBuilder("content_length_refused_" + b,
                                ok + "Content-Length: " + b + "\r\n\r\nabc", HTTP_PARSE_ERROR)
                        .Logs({"invalid http content_length:" + b + "\n"})
                        .Streamed(streams ? HTTP_PARSE_INCOMPLETE : HTTP_PARSE_ERROR));
    }
    v.push_back(
        CaseBuilder("chunk_17_digits", chunked + "00000000000000005\r\nhello\r\n", HTTP_PARSE_ERROR)
            .Logs({"parse chunked http body failed, ret:1\n"}));
    v.push_back(CaseBuilder("chunk_size_space", chunked + " 5\r\nhello\r\n", HTTP_PARSE_ERROR)
                    .Logs({"parse chunked http body failed, ret:2\n"}));
    v.push_back(CaseBuilder("chunk_size_x", chunked + "x5\r\nhello\r\n", HTTP_PARSE_ERROR)
                    .Logs({"parse chunked http body failed, ret:2\n"}));
    v.push_back(CaseBuilder("chunk_data_not_crlf", chunked + "5\r\nhelloX\r\n", HTTP_PARSE_ERROR)
                    .Content("hello", 5)
                    .Logs({"parse chunked http body failed, ret:3\n"}));
    v.push_back(
        CaseBuilder("chunk_trailer_cr_without_lf", chunked + "0\r\nX: y\rZ", HTTP_PARSE_ERROR)
            .Logs({"trailed len:4 been discarded\n", "parse chunked http body failed, ret:3\n"}));
    v.push_back(CaseBuilder("chunk_size_over_31_bits", chunked + "80000000\r\n", HTTP_PARSE_ERROR)
                    .Logs({"parse chunked http body failed, ret:6\n"})
                    .Streamed(HTTP_PARSE_INCOMPLETE));
    v.push_back(
        CaseBuilder("chunk_size_63_bits", chunked + "7fffffffffffffff\r\nab", HTTP_PARSE_ERROR)
            .Logs({"parse chunked http body failed, ret:6\n"})
            .Streamed(HTTP_PARSE_INCOMPLETE));
    v.push_back(
        CaseBuilder("chunk_size_over_63_bits", chunked + "8000000000000000\r\nab", HTTP_PARSE_ERROR)
            .Logs({"parse chunked http body failed, ret:6\n"}));
    v.push_back(CaseBuilder("chunk_size_over_32_bits", chunked + "1\r\na\r\n100000000\r\nxyz",
                            HTTP_PARSE_ERROR)
                    .Content("a", 1)
                    .Logs({"parse chunked http body failed, ret:6\n"})
                    .Streamed(HTTP_PARSE_INCOMPLETE));
    return v;
}

class ParserCorpus : public ::testing::TestWithParam<Case> {};

TEST_P(ParserCorpus, WholeMatchesTable) {
    const Case& c = GetParam();
    LogCapture capture;
    const Outcome o = Feed(c, {});
    EXPECT_EQ(c.status, o.status);
    if (!c.start.empty()) {
        EXPECT_EQ(c.start, o.start);
    }
    if (c.check_headers) {
        EXPECT_EQ(c.headers, o.headers);
    }
    EXPECT_EQ(c.content != nullptr, o.has_content);
    if (c.content) {
        EXPECT_EQ(std::string(c.content, static_cast<size_t>(c.content_length)), o.content);
    }
    EXPECT_EQ(c.content_length, o.content_length);
    EXPECT_EQ(c.extra, o.extra);
    EXPECT_EQ(c.logs, capture.Messages());
}

TEST_P(ParserCorpus, ByteByByteMatchesWhole) {
    const Case& c = GetParam();
    const Outcome whole = Feed(c, {});
    std::vector<size_t> cuts;
    for (size_t i = 1; i < c.input.size(); ++i)
        cuts.push_back(i);
    LogCapture capture;
    EXPECT_EQ(whole.Describe(), Feed(c, cuts).Describe());
    for (const std::string& line : c.logs)
        EXPECT_TRUE(capture.Has(line)) << line;
}

TEST_P(ParserCorpus, EverySplitMatchesWhole) {
    const Case& c = GetParam();
    const Outcome whole = Feed(c, {});
    const std::string expected = whole.Describe();
    const size_t n = c.input.size();
    for (size_t k = 1; k < n; ++k) {
        if (k > 400 && k + 400 < n && k % static_cast<size_t>(c.stride) != 0)
            continue;
        LogCapture capture;
        const Outcome o = Feed(c, {k});
        ASSERT_EQ(expected, o.Describe()) << "split at " << k;
        for (const std::string& line : c.logs)
            ASSERT_TRUE(capture.Has(line)) << line;
    }
}

// Streaming mode hands out, whole and at every split, the bytes the stored
// mode keeps, and ends with the same status, except where the 64-bit bounds
// take what the 32-bit ones refuse. A buffer limit does not apply to it.
TEST_P(ParserCorpus, StreamingMatchesStored) {
    const Case& c = GetParam();
    if (c.max_buf_len > 0)
        return;
    LogCapture capture;
    Outcome stored = Feed(c, {});
    if (c.streamed >= 0 && c.streamed != c.status) {
        std::string streamed;
        EXPECT_EQ(c.streamed, Feed(c, {}, nullptr, &streamed).status);
        return;
    }
    const size_t n = c.input.size();
    for (size_t k = 0; k < n; ++k) {
        if (k > 400 && k + 400 < n && k % static_cast<size_t>(c.stride) != 0)
            continue;
        std::string streamed;
        const Outcome o =
            Feed(c, k ? std::vector<size_t>{k} : std::vector<size_t>{}, nullptr, &streamed);
        ASSERT_EQ(stored.Describe(), o.Describe()) << "split at " << k;
    }
}

// A body callback that refuses bytes stops the message; the header stays.
TEST(ParserStreaming, RefusingCallbackStopsTheMessage) {
    LogCapture capture;
    CHttpParser parser;
    int calls = 0;
    parser.SetBodyCallback(
        [](void* ctx, const char*, int) { return ++*static_cast<int*>(ctx) == 2 ? -1 : 0; },
        &calls);
    const std::string msg = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n";
    EXPECT_EQ(HTTP_PARSE_INCOMPLETE, parser.Append(msg.data(), static_cast<int>(msg.size())));
    EXPECT_EQ(HTTP_PARSE_ERROR, parser.Append("2\r\nde\r\n", 7));
    EXPECT_EQ(200, parser.GetStatusCode());
    EXPECT_EQ(3, parser.GetBodyLength());
    EXPECT_TRUE(capture.Has("body callback stopped the message, body bytes:3\n"));
}

// One parser object reused with Reset for message after message (buffers kept
// from larger and smaller messages before) ends every message as a fresh one.
TEST(ParserReuse, ResetParserMatchesFresh) {
    const std::vector<Case> corpus = Corpus();
    CHttpParser parser;
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : corpus) {
            std::vector<size_t> cuts;
            if (round == 1 && c.input.size() > 20)
                cuts = {c.input.size() / 3};
            EXPECT_EQ(Feed(c, cuts).Describe(), Feed(c, cuts, &parser).Describe()) << c.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, ParserCorpus, ::testing::ValuesIn(Corpus()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name;
                             for (char ch : info.param.name)
                                 name += (isalnum(static_cast<unsigned char>(ch)) ? ch : '_');
                             return name + "_" + std::to_string(info.index);
                         });

}  // namespace
