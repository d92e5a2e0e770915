// Message creator: rendering of start line, fields in key order and body;
// refusal of texts that would break the framing; the rendered message frozen
// until Reset; exact log lines of failed renderings.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "Corvio/CHttpMsgCreator.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::LogCapture;

namespace {

typedef CHttpMsgCreator Creator;

// The rendered message as bytes; checks the NUL behind it. "<null>" when
// rendering failed, after checking that the length was set to 0.
std::string render(Creator& c) {
    int len = -1;
    const char* msg = c.GetMsg(len);
    if (!msg) {
        EXPECT_EQ(len, 0);
        return "<null>";
    }
    EXPECT_EQ(msg[len], '\0');
    return std::string(msg, static_cast<size_t>(len));
}

HTTP_METHOD_TYPE method(int m) {
    return static_cast<HTTP_METHOD_TYPE>(m);
}
HTTP_RESPONSE_STATUS_CODE status(int s) {
    return static_cast<HTTP_RESPONSE_STATUS_CODE>(s);
}

struct RenderCase {
    const char* name;
    std::function<void(Creator&)> setup;
    std::string expected;  // "<null>": rendering fails
    const char* log;       // level 3 line of a failed rendering
};

const char kBody5[] = "hello";
const char kBinary[] = {'a', '\0', 'b', '\r', '\n'};

const RenderCase kRenderCases[] = {
    {"fresh", [](Creator&) {}, "GET / HTTP/1.1\r\n\r\n", nullptr},
    {"fresh response", [](Creator& c) { c.SetMsgType(Creator::HTTP_MSG_RESPONSE); },
     "HTTP/1.1 404 Not Found\r\n\r\n", nullptr},
    {"306 has an empty reason",
     [](Creator& c) {
         c.SetMsgType(Creator::HTTP_MSG_RESPONSE);
         c.SetStatusCode(status(306));
     },
     "HTTP/1.1 306 \r\n\r\n", nullptr},
    {"unlisted code falls back",
     [](Creator& c) {
         c.SetMsgType(Creator::HTTP_MSG_RESPONSE);
         c.SetStatusCode(status(299));
     },
     "HTTP/1.1 299 Internal Server Error\r\n\r\n", nullptr},
    {"negative code passes through",
     [](Creator& c) {
         c.SetMsgType(Creator::HTTP_MSG_RESPONSE);
         c.SetStatusCode(status(-7));
     },
     "HTTP/1.1 -7 Internal Server Error\r\n\r\n", nullptr},
    {"POST", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_POST); }, "POST / HTTP/1.1\r\n\r\n",
     nullptr},
    {"PUT", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_PUT); }, "PUT / HTTP/1.1\r\n\r\n",
     nullptr},
    {"MOVE", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_MOVE); }, "MOVE / HTTP/1.1\r\n\r\n",
     nullptr},
    {"COPY", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_COPY); }, "COPY / HTTP/1.1\r\n\r\n",
     nullptr},
    {"DELETE", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_DELETE); },
     "DELETE / HTTP/1.1\r\n\r\n", nullptr},
    {"HEAD", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_HEAD); }, "HEAD / HTTP/1.1\r\n\r\n",
     nullptr},
    {"TRACE", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_TRACE); }, "TRACE / HTTP/1.1\r\n\r\n",
     nullptr},
    {"OPTIONS", [](Creator& c) { c.SetRequestMethod(HTTP_METHOD_OPTIONS); },
     "OPTIONS / HTTP/1.1\r\n\r\n", nullptr},
    {"method 2", [](Creator& c) { c.SetRequestMethod(method(2)); }, "<null>", "error method:2\n"},
    {"method 10", [](Creator& c) { c.SetRequestMethod(method(10)); }, "<null>",
     "error method:10\n"},
    {"method -1", [](Creator& c) { c.SetRequestMethod(method(-1)); }, "<null>",
     "error method:-1\n"},
    {"method INT_MIN", [](Creator& c) { c.SetRequestMethod(method(INT_MIN)); }, "<null>",
     "error method:-2147483648\n"},
    {"msg type 2", [](Creator& c) { c.SetMsgType(static_cast<Creator::HttpMsgType>(2)); }, "<null>",
     "error msg_type:2\n"},
    {"msg type -1", [](Creator& c) { c.SetMsgType(static_cast<Creator::HttpMsgType>(-1)); },
     "<null>", "error msg_type:-1\n"},
    {"response ignores a bad method",
     [](Creator& c) {
         c.SetMsgType(Creator::HTTP_MSG_RESPONSE);
         c.SetRequestMethod(method(2));
         c.SetStatusCode(HTTP_STATUS_OK);
     },
     "HTTP/1.1 200 OK\r\n\r\n", nullptr},
    {"worked example",
     [](Creator& c) {
         c.SetValue("Host", "a");
         c.SetValue("Accept", "*/*");
         c.SetContent("xy", 2);
     },
     "GET / HTTP/1.1\r\nAccept: */*\r\nCONTENT-LENGTH: 2\r\nHost: a\r\n\r\nxy", nullptr},
    {"first value and spelling win",
     [](Creator& c) {
         c.SetValue("Host", "x");
         c.SetValue("HOST", "y");
     },
     "GET / HTTP/1.1\r\nHost: x\r\n\r\n", nullptr},
    {"fields in upper-case order, prefix first",
     [](Creator& c) {
         c.SetValue("_under", "4");
         c.SetValue("zeta", "3");
         c.SetValue("Accept-Encoding", "2");
         c.SetValue("accept", "1");
         c.SetValue("\xC3\xA9t\xC3\xA9", "5");
     },
     "GET / HTTP/1.1\r\naccept: 1\r\nAccept-Encoding: 2\r\nzeta: 3\r\n_under: 4\r\n"
     "\xC3\xA9t\xC3\xA9: 5\r\n\r\n",
     nullptr},
    {"empty value", [](Creator& c) { c.SetValue("X-Empty", ""); },
     "GET / HTTP/1.1\r\nX-Empty: \r\n\r\n", nullptr},
    {"owned strings", [](Creator& c) { c.SetValue(std::string("Host"), std::string("h")); },
     "GET / HTTP/1.1\r\nHost: h\r\n\r\n", nullptr},
    {"second body replaces the length",
     [](Creator& c) {
         c.SetContent("xy", 2);
         c.SetContent(kBody5, 5);
     },
     "GET / HTTP/1.1\r\nCONTENT-LENGTH: 5\r\n\r\nhello", nullptr},
    {"caller's Content-Length replaced, spelling kept",
     [](Creator& c) {
         c.SetValue("content-length", "99");
         c.SetContent("abc", 3);
     },
     "GET / HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc", nullptr},
    {"Content-Length after the body keeps the body's",
     [](Creator& c) {
         c.SetContent("abc", 3);
         c.SetValue("Content-Length", "7");
     },
     "GET / HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\nabc", nullptr},
    {"body bytes copied as bytes",
     [](Creator& c) {
         c.SetRequestMethod(HTTP_METHOD_POST);
         c.SetContent(kBinary, sizeof(kBinary));
     },
     std::string("POST / HTTP/1.1\r\nCONTENT-LENGTH: 5\r\n\r\na\0b\r\n", 43), nullptr},
    {"target", [](Creator& c) { c.SetURI("/a?b=c", 0); }, "GET /a?b=c HTTP/1.1\r\n\r\n", nullptr},
    {"target cut by len", [](Creator& c) { c.SetURI("/abcdef", 3); }, "GET /ab HTTP/1.1\r\n\r\n",
     nullptr},
    {"target ends at NUL", [](Creator& c) { c.SetURI("/ab\0cd", 6); }, "GET /ab HTTP/1.1\r\n\r\n",
     nullptr},
    {"empty target", [](Creator& c) { c.SetURI("", 0); }, "GET  HTTP/1.1\r\n\r\n", nullptr},
};

void PrintTo(const RenderCase& c, std::ostream* os) {
    *os << c.name;
}

class Render : public ::testing::TestWithParam<RenderCase> {};

TEST_P(Render, Message) {
    const RenderCase& rc = GetParam();
    LogCapture capture(3);
    Creator c;
    rc.setup(c);
    EXPECT_EQ(render(c), rc.expected);
    if (rc.log) {
        ASSERT_EQ(capture.Lines().size(), 1u);
        EXPECT_TRUE(capture.Has(rc.log, 3)) << capture.Messages()[0];
        EXPECT_EQ(capture.Lines()[0].function.rfind("Halvex::Corvio::CHttpMsgCreator", 0), 0u);
    } else {
        EXPECT_TRUE(capture.Lines().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Creator, Render, ::testing::ValuesIn(kRenderCases),
                         [](const ::testing::TestParamInfo<RenderCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

// Each refused call returns -1 and leaves the message as it was.
struct RefuseCase {
    const char* name;
    std::function<int(Creator&)> call;
};

const RefuseCase kRefused[] = {
    {"value NULL name", [](Creator& c) { return c.SetValue(nullptr, "v"); }},
    {"value NULL value", [](Creator& c) { return c.SetValue("N", nullptr); }},
    {"value empty name", [](Creator& c) { return c.SetValue("", "v"); }},
    {"value colon in name", [](Creator& c) { return c.SetValue("Host: evil", "v"); }},
    {"value CR in name", [](Creator& c) { return c.SetValue("A\rB", "v"); }},
    {"value LF in name", [](Creator& c) { return c.SetValue("A\nB", "v"); }},
    {"value CRLF in value", [](Creator& c) { return c.SetValue("A", "v\r\nEvil: 1"); }},
    {"value lone LF in value", [](Creator& c) { return c.SetValue("A", "v\n"); }},
    {"value lone CR in value", [](Creator& c) { return c.SetValue("A", "\rv"); }},
    {"string CR in value",
     [](Creator& c) { return c.SetValue(std::string("A"), std::string("v\r\n")); }},
    {"string NUL in name",
     [](Creator& c) { return c.SetValue(std::string("A\0B", 3), std::string("v")); }},
    {"string NUL in value",
     [](Creator& c) { return c.SetValue(std::string("A"), std::string("v\0w", 3)); }},
    {"uri NULL", [](Creator& c) { return c.SetURI(nullptr, 0); }},
    {"uri negative len", [](Creator& c) { return c.SetURI("/x", -1); }},
    {"uri CRLF", [](Creator& c) { return c.SetURI("/x HTTP/1.1\r\nEvil: 1", 0); }},
    {"uri LF within len", [](Creator& c) { return c.SetURI("/x\ny", 4); }},
    {"uri 2048 chars", [](Creator& c) { return c.SetURI(std::string(2048, 'a').c_str(), 0); }},
    {"uri 3000 chars", [](Creator& c) { return c.SetURI(std::string(3000, 'a').c_str(), 0); }},
    {"uri 3000 chars by len",
     [](Creator& c) { return c.SetURI(std::string(3000, 'a').c_str(), 3000); }},
    {"content NULL", [](Creator& c) { return c.SetContent(nullptr, 3); }},
    {"content zero len", [](Creator& c) { return c.SetContent("abc", 0); }},
    {"content negative len", [](Creator& c) { return c.SetContent("abc", -1); }},
};

void PrintTo(const RefuseCase& c, std::ostream* os) {
    *os << c.name;
}

class Refuse : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(Refuse, NothingStored) {
    Creator c;
    c.SetURI("/kept", 0);
    c.SetValue("Host", "h");
    EXPECT_EQ(GetParam().call(c), -1);
    EXPECT_EQ(render(c), "GET /kept HTTP/1.1\r\nHost: h\r\n\r\n");
}

INSTANTIATE_TEST_SUITE_P(Creator, Refuse, ::testing::ValuesIn(kRefused),
                         [](const ::testing::TestParamInfo<RefuseCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p)
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(Creator, LongestTargetIsKeptWhole) {
    const std::string target = "/" + std::string(2046, 'x');
    Creator c;
    ASSERT_EQ(c.SetURI(target.c_str(), 0), 0);
    EXPECT_EQ(render(c), "GET " + target + " HTTP/1.1\r\n\r\n");
    // len beyond the text's end: the copy stops at the NUL.
    Creator d;
    ASSERT_EQ(d.SetURI(target.c_str(), 100000), 0);
    EXPECT_EQ(render(d), "GET " + target + " HTTP/1.1\r\n\r\n");
}

TEST(Creator, MessageIsFrozenUntilReset) {
    Creator c;
    c.SetValue("Host", "a");
    int len1 = 0;
    const char* first = c.GetMsg(len1);
    ASSERT_NE(first, nullptr);
    c.SetValue("Accept", "*/*");
    c.SetURI("/other", 0);
    int len2 = 0;
    EXPECT_EQ(c.GetMsg(len2), first);
    EXPECT_EQ(len2, len1);
    EXPECT_EQ(std::string(first, len1), "GET / HTTP/1.1\r\nHost: a\r\n\r\n");

    EXPECT_EQ(c.Reset(), 0);
    c.SetValue("Accept", "*/*");
    EXPECT_EQ(render(c), "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n");
}

TEST(Creator, ResetRestoresAllButTheStatusCode) {
    Creator c;
    c.SetMsgType(Creator::HTTP_MSG_RESPONSE);
    c.SetStatusCode(HTTP_STATUS_OK);
    c.SetRequestMethod(HTTP_METHOD_PUT);
    c.SetURI("/x", 0);
    c.SetValue("A", "1");
    c.SetContent("body", 4);
    render(c);
    c.Reset();
    EXPECT_EQ(render(c), "GET / HTTP/1.1\r\n\r\n");
    c.Reset();
    c.SetMsgType(Creator::HTTP_MSG_RESPONSE);
    EXPECT_EQ(render(c), "HTTP/1.1 200 OK\r\n\r\n");
}

TEST(Creator, FailedRenderingTriesAgain) {
    LogCapture capture(3);
    Creator c;
    c.SetRequestMethod(method(2));
    EXPECT_EQ(render(c), "<null>");
    EXPECT_EQ(render(c), "<null>");
    EXPECT_EQ(capture.Count("error method:2\n"), 2);
    c.SetRequestMethod(HTTP_METHOD_HEAD);
    EXPECT_EQ(render(c), "HEAD / HTTP/1.1\r\n\r\n");
}

TEST(Creator, LargeBodyRendersExactly) {
    const std::string body(100000, 'b');
    Creator c;
    c.SetRequestMethod(HTTP_METHOD_POST);
    ASSERT_EQ(c.SetContent(body.data(), static_cast<int>(body.size())), 0);
    EXPECT_EQ(render(c), "POST / HTTP/1.1\r\nCONTENT-LENGTH: 100000\r\n\r\n" + body);
}

}  // namespace
