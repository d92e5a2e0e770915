// CHttpParser over the cases of tests/data/http_parser.txt: [messages] fed
// whole, in every slicing, stored and streamed; [scripts] call by call.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "HTTP/HttpParserState.h"
#include "fuzz/parser_feed.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace parser_feed;
using corvio_test::Case;
using corvio_test::LogCapture;

namespace {

const char* const kStatus[] = {"COMPLETE", "INCOMPLETE",  "ERROR",
                               "INIT",     "UNTIL_CLOSE", "BUFFER_FULL"};

// The value of "name" (name ending in '=') in a list of words; "?" when absent.
std::string option(const std::string& options, const std::string& name) {
    std::istringstream in(options);
    for (std::string word; in >> word;)
        if (word.compare(0, name.size(), name) == 0)
            return word.substr(name.size());
    return "?";
}

TEST(Parser, Messages) {
    fuzz_common::on_broken() = [] { ADD_FAILURE() << "a parser invariant does not hold"; };
    CHttpParser reused;
    for (const Case& c : corvio_test::LoadCases("http_parser.txt", "messages", 9)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        const std::string msg = c[1];
        Options o;
        o.header_only = option(c[2], "header-only") != "?";
        o.eof = option(c[2], "eof") != "?";
        o.max_buf = atoi(option(c[2], "max=").c_str());
        o.clone = true;
        const size_t stride = static_cast<size_t>(atoi(option(c[2], "stride=").c_str()));
        const std::vector<std::string> logs(c.fields.begin() + 9, c.fields.end());
        Result whole;
        {
            LogCapture capture;
            CHttpParser p;
            whole = feed(p, msg, {}, o);
            EXPECT_EQ(capture.Messages(), logs);
        }
        EXPECT_EQ(kStatus[whole.status], c[3]);
        EXPECT_TRUE(c[4].empty() || whole.start == c[4]) << whole.start;
        EXPECT_TRUE(c[5] == "*" || whole.fields == c[5]) << whole.fields;
        EXPECT_EQ(whole.has_content ? whole.content : "(null)", c[6]);
        EXPECT_EQ(whole.length, c.num(7));
        EXPECT_EQ(whole.extra, c[8]);
        // Byte by byte (k 0), split once at every point, and whole, by one
        // parser reused with Reset; stored and streamed.
        const std::string streamed = option(c[2], "streamed=");
        for (size_t k = 0; k <= msg.size(); ++k) {
            if (k > 400 && k + 400 < msg.size() && stride && k % stride)
                continue;
            LogCapture capture;
            const std::vector<size_t> sizes =
                k ? std::vector<size_t>{k % msg.size(), 0} : std::vector<size_t>{1};
            reused.Reset();
            ASSERT_EQ(feed(reused, msg, sizes, o).text(), whole.text()) << "at " << k;
            for (const std::string& line : logs)
                ASSERT_TRUE(capture.Has(line)) << line << " at " << k;
            if (o.max_buf)
                continue;
            Options s = o;
            s.stream = true;
            reused.Reset();
            const Result r = feed(reused, msg, sizes, s);
            ASSERT_EQ(streamed == "?" ? r.text() : kStatus[r.status],
                      streamed == "?" ? whole.text() : streamed)
                << "streamed, at " << k;
        }
    }
}

// [scripts]: calls on one parser, each a verb and its arguments (see the data
// file); every log line must be expected by a "log" call.
TEST(Parser, Scripts) {
    for (const Case& c : corvio_test::LoadCases("http_parser.txt", "scripts", 3)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        LogCapture capture;
        size_t seen = 0;
        int calls = 0;
        CHttpParser* p = new CHttpParser;
        for (size_t k = 1; k + 1 < c.fields.size(); k += 2) {
            const std::string& verb = c[k];
            const std::string& arg = c[k + 1];
            const long long n = atoll(arg.c_str());
            if (verb == "feed") {
                append(*p, arg.data(), arg.size());
            } else if (verb == "end" || verb == "end-x") {  // Append(NULL or "x", n)
                p->Append(verb == "end" ? nullptr : "x", static_cast<int>(n));
            } else if (verb == "max") {
                p->SetMaxBufferLen(static_cast<int>(n));
            } else if (verb == "header-only") {
                p->SetHeaderOnly(c.yes(k + 1));
            } else if (verb == "reset") {
                p->Reset();
            } else if (verb == "refuse-call") {  // stream; the n-th body piece is refused
                p->SetBodyCallback(
                    [](void* ctx, const char*, int) { return --*static_cast<int*>(ctx) ? 0 : -1; },
                    &(calls = static_cast<int>(n)));
            } else if (verb.rfind("preset-", 0) == 0) {
                auto* state = http_parser_access::state(*p);
                (verb == "preset-size" ? state->m_cur_buf_size : state->m_chunk.trailer_len) =
                    static_cast<int>(n);
            } else if (verb == "status") {
                EXPECT_EQ(kStatus[p->GetStatus()], arg);
            } else if (verb == "content") {
                const char* got = p->GetContent();
                EXPECT_EQ(got, p->GetContent()) << "gathered once";
                EXPECT_EQ(got ? std::string(got, (size_t)p->GetContentLength()) : "(null)", arg);
            } else if (verb == "length" || verb == "body-length" || verb == "limit") {
                EXPECT_EQ(verb == "limit"    ? p->GetMaxBufferLen()
                          : verb == "length" ? p->GetContentLength()
                                             : p->GetBodyLength(),
                          n);
            } else if (verb == "extra") {
                const char* e = reinterpret_cast<const char*>(p->GetExtraBuffer());
                EXPECT_EQ(e ? std::string(e, (size_t)p->GetExtraLength()) : "(null)", arg);
            } else if (verb == "start" || verb == "fields") {
                const Result r = inspect(*p, nullptr);
                EXPECT_EQ(verb == "start" ? r.start : r.fields, arg);
            } else if (verb == "value") {  // name=value, (null) when absent
                const size_t eq = arg.find('=');
                const std::string name = arg.substr(0, eq);
                EXPECT_EQ(str(p->Value(arg == "(null)" ? nullptr : name.c_str())),
                          arg == "(null)" ? arg : arg.substr(eq + 1));
            } else if (verb == "log") {  // level, function (no class), message
                const std::vector<corvio_test::LogLine> lines = capture.Lines();
                ASSERT_LT(seen, lines.size()) << "no line " << arg;
                const corvio_test::LogLine& l = lines[seen++];
                const std::string fn = l.function.substr(l.function.rfind(':') + 1);
                EXPECT_EQ(std::to_string(l.level) + " " + fn + " " + l.message, arg);
            } else {
                ADD_FAILURE() << "no call " << verb;
            }
        }
        EXPECT_EQ(capture.Lines().size(), seen);
        p->Release();
    }
}

}  // namespace
