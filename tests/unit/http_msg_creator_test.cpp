// Message creator over tests/data/http_msg_creator.txt: rendering of start
// line, fields in key order and body; refusal of texts that would break the
// framing; the rendered message frozen until Reset; exact log lines.
#include <gtest/gtest.h>

#include <string>

#include "Corvio/CHttpMsgCreator.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::Case;
using corvio_test::LoadCases;

namespace {

// The rendered message as bytes, with the NUL behind it; "(null)" when
// rendering failed, with the length set to 0.
std::string render(CHttpMsgCreator& c) {
    int len = -1;
    const char* msg = c.GetMsg(len);
    EXPECT_TRUE(msg ? msg[len] == '\0' : len == 0);
    return msg ? std::string(msg, static_cast<size_t>(len)) : "(null)";
}

// Makes the calls written in `row` from field `k` on (the verbs are listed at
// the top of the data file); returns the last call's result.
int call(CHttpMsgCreator& c, const Case& row, size_t k) {
    int result = 0;
    for (size_t args = 1; k < row.fields.size(); k += args + 1) {
        const std::string& verb = row[k];
        const int n = atoi(row[k + 1].c_str());
        const int len = k + 2 < row.fields.size() ? atoi(row[k + 2].c_str()) : 0;
        args = verb == "value" || verb == "svalue" || verb == "uri" || verb == "content" ? 2 : 1;
        if (verb == "type") {
            result = c.SetMsgType(static_cast<CHttpMsgCreator::HttpMsgType>(n));
        } else if (verb == "method") {
            result = c.SetRequestMethod(static_cast<HTTP_METHOD_TYPE>(n));
        } else if (verb == "status") {
            result = c.SetStatusCode(static_cast<HTTP_RESPONSE_STATUS_CODE>(n));
        } else if (verb == "value") {
            result = c.SetValue(row.str(k + 1), row.str(k + 2));
        } else if (verb == "svalue") {
            result = c.SetValue(row[k + 1], row[k + 2]);
        } else if (verb == "uri") {
            result = c.SetURI(row.str(k + 1), len);
        } else if (verb == "content") {
            result = c.SetContent(row.str(k + 1), len);
        } else if (verb == "msg") {
            EXPECT_EQ(render(c), row[k + 1]) << row.where;
        } else if (verb == "reset") {
            EXPECT_EQ(c.Reset(), 0) << row.where;
        } else {
            ADD_FAILURE() << row.where << ": unknown call " << verb;
        }
    }
    return result;
}

TEST(Creator, RenderTable) {
    for (const Case& row : LoadCases("http_msg_creator.txt", "render", 3)) {
        SCOPED_TRACE(row.where + " " + row[0]);
        corvio_test::LogCapture capture(3);
        CHttpMsgCreator c;
        call(c, row, 3);
        EXPECT_EQ(render(c), row[1]);
        std::string logs;
        for (const corvio_test::LogLine& l : capture.Lines()) {
            logs += l.message;
            EXPECT_EQ(l.level, 3);
            EXPECT_EQ(l.function.rfind("Halvex::Corvio::CHttpMsgCreator", 0), 0u);
        }
        EXPECT_EQ(logs, row[2]);
    }
}

// Each refused call returns -1 and leaves the message as it was.
TEST(Creator, RefusedCallsStoreNothing) {
    for (const Case& row : LoadCases("http_msg_creator.txt", "refused", 3)) {
        CHttpMsgCreator c;
        c.SetURI("/kept", 0);
        c.SetValue("Host", "h");
        EXPECT_EQ(call(c, row, 1), -1) << row.where;
        EXPECT_EQ(render(c), "GET /kept HTTP/1.1\r\nHost: h\r\n\r\n") << row.where;
    }
}

}  // namespace
