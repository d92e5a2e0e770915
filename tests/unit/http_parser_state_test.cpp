// CHttpParser: lifecycle, limits, content rule, lookups, copying, and the
// 32-bit bounds of the body counts.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "Corvio/CHttpParser.h"
#include "HTTP/HttpParserState.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::LogCapture;

static_assert(std::is_same<std::underlying_type<parse_status_t>::type, int>::value,
              "parse_status_t carries any int");
static_assert(!std::is_copy_constructible<CHttpParser>::value, "Clone is the way to copy");
static_assert(!std::is_copy_assignable<CHttpParser>::value, "Clone is the way to copy");

namespace {

// Appends `text` from an exact-size heap buffer.
parse_status_t Feed(CHttpParser& p, const std::string& text) {
    std::unique_ptr<char[]> buf(new char[text.size()]);
    memcpy(buf.get(), text.data(), text.size());
    return p.Append(buf.get(), static_cast<int>(text.size()));
}

const char kOk5[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

TEST(ParserLifecycle, FinalStatesRefuseInputUntilReset) {
    CHttpParser p;
    EXPECT_EQ(HTTP_PARSE_INIT, p.GetStatus());
    ASSERT_EQ(HTTP_PARSE_COMPLETE, Feed(p, kOk5));
    {
        LogCapture capture;
        EXPECT_EQ(HTTP_PARSE_COMPLETE, Feed(p, "more"));
        ASSERT_EQ(1u, capture.Lines().size());
        EXPECT_EQ("need reset first!\n", capture.Lines()[0].message);
        EXPECT_EQ(3, capture.Lines()[0].level);
        EXPECT_EQ("Halvex::Corvio::CHttpParser::Append", capture.Lines()[0].function);
    }
    EXPECT_EQ(0, p.GetExtraLength());
    p.Reset();
    EXPECT_EQ(HTTP_PARSE_INIT, p.GetStatus());
    EXPECT_EQ(nullptr, p.GetHttpVersion());
    EXPECT_EQ(0, p.GetHeaderNum());
    EXPECT_EQ(0, p.GetContentLength());
    ASSERT_EQ(HTTP_PARSE_ERROR, Feed(p, "HTTP/1.1 x\r\n\r\n"));
    LogCapture capture;
    EXPECT_EQ(HTTP_PARSE_ERROR, p.Parse("x", 1));
    EXPECT_TRUE(capture.Has("need reset first!\n", 3));
}

TEST(ParserLifecycle, EndOfInputOnlyCompletesUntilClose) {
    struct Row {
        std::string input;
        parse_status_t before, after;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\n\r\nab", HTTP_PARSE_UNTIL_CLOSE, HTTP_PARSE_COMPLETE},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab", HTTP_PARSE_INCOMPLETE,
         HTTP_PARSE_INCOMPLETE},
        {"HTTP/1.1 200 OK\r\n", HTTP_PARSE_INCOMPLETE, HTTP_PARSE_INCOMPLETE},
    };
    for (const Row& r : rows) {
        CHttpParser p;
        EXPECT_EQ(r.before, Feed(p, r.input)) << r.input;
        EXPECT_EQ(r.after, p.Append(nullptr, 10)) << r.input;
        EXPECT_EQ(r.after, p.Append("x", 0)) << r.input;
        EXPECT_EQ(r.after, p.Append("x", -1)) << r.input;
    }
    CHttpParser fresh;
    EXPECT_EQ(HTTP_PARSE_INIT, fresh.Append(nullptr, 0));
}

TEST(ParserLifecycle, ResetKeepsLimitAndClearsHeaderOnly) {
    CHttpParser p;
    p.SetMaxBufferLen(100);
    p.SetHeaderOnly(true);
    ASSERT_EQ(HTTP_PARSE_COMPLETE, Feed(p, kOk5));
    EXPECT_EQ(0, p.GetContentLength());
    EXPECT_EQ("hello", std::string(reinterpret_cast<char*>(p.GetExtraBuffer())));
    p.Reset();
    EXPECT_EQ(100, p.GetMaxBufferLen());
    EXPECT_EQ(nullptr, p.GetExtraBuffer());
    ASSERT_EQ(HTTP_PARSE_COMPLETE, Feed(p, kOk5));
    EXPECT_STREQ("hello", p.GetContent());
}

// Open states give no content, except the bytes kept at the buffer limit.
TEST(ParserContent, NullBeforeFinalStateButKeptAtLimit) {
    struct Row {
        const char* name;
        std::string first, rest;
        int max_buf;
        parse_status_t open;
        const char* open_content;
        const char* content;
    } rows[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nabc", "def", 0,
         HTTP_PARSE_INCOMPLETE, nullptr, "abcdef"},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n",
         "0\r\n\r\n", 0, HTTP_PARSE_INCOMPLETE, nullptr, "abc"},
        {"until_close", "HTTP/1.1 200 OK\r\n\r\nabc", "", 0, HTTP_PARSE_UNTIL_CLOSE, nullptr,
         "abc"},
        {"buffer_full", "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nabc", "def", 2,
         HTTP_PARSER_BUFFER_FULL, "abc", "abcdef"},
    };
    for (const Row& r : rows) {
        CHttpParser p;
        p.SetMaxBufferLen(r.max_buf);
        ASSERT_EQ(r.open, Feed(p, r.first)) << r.name;
        EXPECT_STREQ(r.open_content, p.GetContent()) << r.name;
        EXPECT_EQ(3, p.GetContentLength()) << r.name;
        if (r.rest.empty())
            p.Append(nullptr, 0);
        else
            Feed(p, r.rest);
        ASSERT_EQ(HTTP_PARSE_COMPLETE, p.GetStatus()) << r.name;
        char* content = p.GetContent();
        EXPECT_STREQ(r.content, content) << r.name;
        EXPECT_EQ(content, p.GetContent()) << r.name << ": gathered once";
    }
}

TEST(ParserContent, ErrorKeepsDecodedData) {
    CHttpParser p;
    Feed(p, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde");
    ASSERT_EQ(HTTP_PARSE_ERROR, Feed(p, "!"));
    EXPECT_EQ(5, p.GetContentLength());
    EXPECT_STREQ("abcde", p.GetContent());
    EXPECT_EQ(200, p.GetStatusCode());
}

TEST(ParserHeader, LongHeaderLimits) {
    const std::string pad = "X-Pad: " + std::string(40000, 'p') + "\r\n";
    {
        LogCapture capture;
        CHttpParser p;
        EXPECT_EQ(HTTP_PARSE_ERROR, Feed(p, "HTTP/1.1 200 OK\r\n" + pad));
        EXPECT_EQ(std::vector<std::string>{"http header too long: 40026, unsupported\n"},
                  capture.Messages());
    }
    {
        // Whole in the first slice, the header may exceed the block.
        CHttpParser p;
        EXPECT_EQ(HTTP_PARSE_COMPLETE,
                  Feed(p, "HTTP/1.1 200 OK\r\n" + pad + "Content-Length: 1\r\n\r\nz"));
        EXPECT_EQ(40000u, strlen(p.Value("x-pad")));
        EXPECT_STREQ("z", p.GetContent());
    }
    {
        // In pieces it must end within the first 32768 bytes.
        LogCapture capture;
        CHttpParser p;
        EXPECT_EQ(HTTP_PARSE_INCOMPLETE, Feed(p, "HTTP/1.1 200 OK\r\n"));
        EXPECT_EQ(HTTP_PARSE_ERROR, Feed(p, pad + "\r\n"));
        EXPECT_EQ(std::vector<std::string>{"http header too long, unsupported, len: 32768\n"},
                  capture.Messages());
    }
}

TEST(ParserHeader, SliceOverflowingHeaderBlockKeepsItsBytes) {
    // The header completes inside the header block, and the slice that
    // completed it did not fit: its rest is body, then extra bytes, in order.
    const std::string body(40000, 'b');
    CHttpParser p;
    EXPECT_EQ(HTTP_PARSE_INCOMPLETE, Feed(p, "HTTP/1.1 200 OK\r\nContent-Le"));
    EXPECT_EQ(HTTP_PARSE_COMPLETE, Feed(p, "ngth: 40000\r\n\r\n" + body + "tail"));
    EXPECT_EQ(body, std::string(p.GetContent(), 40000));
    EXPECT_EQ("tail", std::string(reinterpret_cast<char*>(p.GetExtraBuffer())));

    CHttpParser q;
    q.SetHeaderOnly(true);
    Feed(q, "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(HTTP_PARSE_COMPLETE, Feed(q, "\r\n" + body + "tail"));
    EXPECT_EQ(body + "tail", std::string(reinterpret_cast<char*>(q.GetExtraBuffer()),
                                         static_cast<size_t>(q.GetExtraLength())));
}

TEST(ParserHeader, Lookups) {
    CHttpParser p;
    ASSERT_EQ(HTTP_PARSE_COMPLETE,
              Feed(p,
                   "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nSet-Cookie: a=1\r\n"
                   "Set-Cookie: b=2\r\nX-\xC3\xA9: v\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_STREQ("text/plain", p.Value("content-type"));
    EXPECT_STREQ("a=1", p.Value("SET-COOKIE"));
    EXPECT_STREQ("v", p.Value("x-\xC3\xA9"));
    EXPECT_EQ(nullptr, p.Value("x-\xE3\xA9")) << "bytes above 0x7f are not folded";
    EXPECT_EQ(nullptr, p.Value("Content")) << "whole-name comparison";
    EXPECT_EQ(nullptr, p.Value("Content-Type-X"));
    EXPECT_EQ(nullptr, p.Value(nullptr));
    EXPECT_EQ(5, p.GetHeaderNum());
    for (int index : {-1, 5, INT_MAX, INT_MIN}) {
        char* k = reinterpret_cast<char*>(1);
        char* v = reinterpret_cast<char*>(1);
        EXPECT_EQ(-1, p.GetKeyValue(index, &k, &v)) << index;
        EXPECT_EQ(nullptr, k);
        EXPECT_EQ(nullptr, v);
    }
    char* k = nullptr;
    char* v = nullptr;
    ASSERT_EQ(0, p.GetKeyValue(2, &k, &v));
    EXPECT_STREQ("Set-Cookie", k);
    EXPECT_STREQ("b=2", v);
    EXPECT_FALSE(p.IsRequest());
    EXPECT_EQ(nullptr, p.GetReqMethod());
    EXPECT_EQ(nullptr, p.GetURI());
}

TEST(ParserHeader, StartLineTextsPointIntoOneHeaderCopy) {
    CHttpParser p;
    const std::string req = "GET /x HTTP/1.1\r\nHost: h\r\n\r\n";
    ASSERT_EQ(HTTP_PARSE_COMPLETE, Feed(p, req));
    EXPECT_TRUE(p.IsRequest());
    EXPECT_EQ(0, p.GetStatusCode());
    EXPECT_EQ(nullptr, p.GetStatusStr());
    // Method, target, version and fields lie in one block in header order.
    EXPECT_EQ(p.GetReqMethod() + 4, p.GetURI());
    EXPECT_EQ(p.GetURI() + 3 + 5, p.GetHttpVersion());
    EXPECT_EQ(p.GetReqMethod() + 17, p.Value("host") - 6);
}

TEST(ParserClone, DeepCopyOfEveryState) {
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-A: 1\r\n\r\n4\r\nwiki\r\n5\r\npe";
    struct Row {
        const char* name;
        std::string first, rest;
    } rows[] = {
        {"header_pending", "HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Le", "ngth: 3\r\n\r\nabcNEXT"},
        {"chunked_mid_body", chunked, "dia\r\n0\r\n\r\nNEXT"},
        {"length_multi_block",
         "HTTP/1.1 200 OK\r\nContent-Length: 40000\r\n\r\n" + std::string(35000, 'x'),
         std::string(5000, 'y') + "NEXT"},
    };
    for (const Row& r : rows) {
        CHttpParser* src = new CHttpParser;
        Feed(*src, r.first);
        CHttpParser* copy = src->Clone();
        ASSERT_NE(nullptr, copy) << r.name;
        EXPECT_EQ(src->GetStatus(), copy->GetStatus());
        Feed(*src, r.rest);
        const std::string src_content(src->GetContent(),
                                      static_cast<size_t>(src->GetContentLength()));
        const std::string src_version = src->GetHttpVersion();
        src->Release();
        EXPECT_EQ(HTTP_PARSE_COMPLETE, Feed(*copy, r.rest)) << r.name;
        EXPECT_EQ(src_content,
                  std::string(copy->GetContent(), static_cast<size_t>(copy->GetContentLength())))
            << r.name;
        EXPECT_EQ(src_version, copy->GetHttpVersion());
        EXPECT_STREQ("NEXT", reinterpret_cast<char*>(copy->GetExtraBuffer())) << r.name;
        copy->Release();
    }
}

TEST(ParserClone, CompleteMessageTextsAtNewAddresses) {
    CHttpParser src;
    src.SetMaxBufferLen(77);
    ASSERT_EQ(HTTP_PARSE_COMPLETE,
              Feed(src, "POST /p?q HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nokEXTRA"));
    ASSERT_STREQ("ok", src.GetContent());
    std::unique_ptr<CHttpParser, void (*)(CHttpParser*)> copy(src.Clone(),
                                                              [](CHttpParser* p) { p->Release(); });
    ASSERT_TRUE(copy);
    const char* src_texts[] = {src.GetReqMethod(),   src.GetURI(),
                               src.GetHttpVersion(), src.Value("host"),
                               src.GetContent(),     reinterpret_cast<char*>(src.GetExtraBuffer())};
    const char* copy_texts[] = {
        copy->GetReqMethod(), copy->GetURI(),     copy->GetHttpVersion(),
        copy->Value("host"),  copy->GetContent(), reinterpret_cast<char*>(copy->GetExtraBuffer())};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(src_texts[i], copy_texts[i]) << i;
        EXPECT_NE(src_texts[i], copy_texts[i]) << i;
    }
    EXPECT_EQ(77, copy->GetMaxBufferLen());
    EXPECT_EQ(2, copy->GetHeaderNum());
    src.Reset();
    EXPECT_STREQ("/p?q", copy->GetURI());
    EXPECT_STREQ("ok", copy->GetContent());
}

// The 32-bit bounds, reached by presetting the counts instead of sending
// gigabytes.
TEST(ParserBounds, BodyNeverOverflowsCounts) {
    struct Row {
        const char* name;
        std::string header;
        std::string body;
        std::vector<std::string> logs;
    } rows[] = {
        {"until_close",
         "HTTP/1.1 200 OK\r\n\r\n",
         "0123456789",
         {"http body too long, size:2147483640 len:10\n"}},
        {"chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
         "a\r\n0123456789",
         {"http body too long, size:2147483640 len:10\n",
          "parse chunked http body failed, ret:4\n"}},
    };
    for (const Row& r : rows) {
        CHttpParser p;
        Feed(p, r.header);
        http_parser_access::state(p)->m_cur_buf_size = INT_MAX - 7;
        LogCapture capture;
        EXPECT_EQ(HTTP_PARSE_ERROR, Feed(p, r.body)) << r.name;
        EXPECT_EQ(r.logs, capture.Messages()) << r.name;
        EXPECT_EQ(INT_MAX - 7, p.GetContentLength()) << r.name;
    }
}

TEST(ParserBounds, TrailerLineBounded) {
    CHttpParser p;
    Feed(p, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX");
    ASSERT_EQ(CHUNK_TRAILER, http_parser_access::state(p)->m_chunk.state);
    http_parser_access::state(p)->m_chunk.trailer_len = INT_MAX - 2;
    LogCapture capture;
    EXPECT_EQ(HTTP_PARSE_INCOMPLETE, Feed(p, "ab"));
    EXPECT_EQ(HTTP_PARSE_ERROR, Feed(p, "c"));
    EXPECT_EQ(std::vector<std::string>{"parse chunked http body failed, ret:7\n"},
              capture.Messages());
}

}  // namespace
