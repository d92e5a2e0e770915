// Message creator (tables: tests/data/http_msg_creator.txt): rendering of
// start line, fields in key order and body; refusal of texts that would break
// the framing; the rendered message frozen until Reset; exact log lines of
// failed renderings.
#include <gtest/gtest.h>

#include <string>

#include "Corvio/CHttpMsgCreator.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::LoadCases;
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

// Makes the calls written in `row` from field `k` on (the verbs are listed at
// the top of the data file); returns the last call's result.
int call(Creator& c, const corvio_test::Case& row, size_t k) {
    int result = 0;
    while (k < row.fields.size()) {
        const std::string& verb = row[k];
        const bool one_number = verb == "type" || verb == "method" || verb == "status";
        const int n = one_number || verb == "uri-long" ? static_cast<int>(row.num(k + 1)) : 0;
        if (verb == "type") {
            result = c.SetMsgType(static_cast<Creator::HttpMsgType>(n));
        } else if (verb == "method") {
            result = c.SetRequestMethod(method(n));
        } else if (verb == "status") {
            result = c.SetStatusCode(static_cast<HTTP_RESPONSE_STATUS_CODE>(n));
        } else if (verb == "uri-long") {
            result = c.SetURI(std::string(static_cast<size_t>(n), 'a').c_str(),
                              static_cast<int>(row.num(k + 2)));
        } else if (verb == "value") {
            result = c.SetValue(row.str(k + 1), row.str(k + 2));
        } else if (verb == "svalue") {
            result = c.SetValue(row[k + 1], row[k + 2]);
        } else if (verb == "uri") {
            result = c.SetURI(row.str(k + 1), static_cast<int>(row.num(k + 2)));
        } else if (verb == "content") {
            result = c.SetContent(row.str(k + 1), static_cast<int>(row.num(k + 2)));
        } else {
            ADD_FAILURE() << row.where << ": unknown call " << verb;
            return 0;
        }
        k += one_number ? 2 : 3;
    }
    return result;
}

TEST(Creator, RenderTable) {
    for (const corvio_test::Case& row : LoadCases("http_msg_creator.txt", "render", 3)) {
        SCOPED_TRACE(row.where + " " + row[0]);
        LogCapture capture(3);
        Creator c;
        call(c, row, 3);
        EXPECT_EQ(render(c), row.str(1) ? row[1] : "<null>");
        if (!row[2].empty()) {
            ASSERT_EQ(capture.Lines().size(), 1u);
            EXPECT_TRUE(capture.Has(row[2], 3)) << capture.Messages()[0];
            EXPECT_EQ(capture.Lines()[0].function.rfind("Halvex::Corvio::CHttpMsgCreator", 0), 0u);
        } else {
            EXPECT_TRUE(capture.Lines().empty());
        }
    }
}

// Each refused call returns -1 and leaves the message as it was.
TEST(Creator, RefusedCallsStoreNothing) {
    for (const corvio_test::Case& row : LoadCases("http_msg_creator.txt", "refused", 3)) {
        Creator c;
        c.SetURI("/kept", 0);
        c.SetValue("Host", "h");
        EXPECT_EQ(call(c, row, 1), -1) << row.where;
        EXPECT_EQ(render(c), "GET /kept HTTP/1.1\r\nHost: h\r\n\r\n") << row.where;
    }
}

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
