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

parse_status_t status_of(const std::string& name) {
    for (int i = 0; i < 6; ++i)
        if (name == kStatus[i])
            return static_cast<parse_status_t>(i);
    ADD_FAILURE() << "no status " << name;
    return HTTP_PARSE_INIT;
}

// The value of "name" (name ending in '=') in a list of words; "?" when absent.
std::string option(const std::string& options, const std::string& name) {
    std::istringstream in(options);
    for (std::string word; in >> word;)
        if (word.compare(0, name.size(), name) == 0)
            return word.substr(name.size());
    return "?";
}

void broken() {
    ADD_FAILURE() << "a parser invariant does not hold";
}

std::vector<std::string> logs_of(const Case& c) {
    return std::vector<std::string>(c.fields.begin() + 9, c.fields.end());
}

TEST(Parser, Messages) {
    fuzz_common::on_broken() = &broken;
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
        Result whole;
        {
            LogCapture capture;
            CHttpParser p;
            whole = feed(p, msg, {}, o);
            EXPECT_EQ(capture.Messages(), logs_of(c));
        }
        EXPECT_EQ(kStatus[whole.status], c[3]);
        if (!c[4].empty())
            EXPECT_EQ(whole.start, c[4]);
        if (c[5] != "*")
            EXPECT_EQ(whole.fields, c[5]);
        EXPECT_EQ(whole.has_content ? whole.content : "(null)", c[6]);
        EXPECT_EQ(whole.length, c.num(7));
        EXPECT_EQ(whole.extra, c[8]);
        // Byte by byte, then split once at every point (0: whole), stored and streamed.
        const std::string streamed_status = option(c[2], "streamed=");
        for (size_t k = 1; k <= msg.size(); ++k) {
            if (k > 400 && k + 400 < msg.size() && stride && k % stride)
                continue;
            LogCapture capture;
            CHttpParser p;
            const size_t split = k == msg.size() ? 0 : k;
            ASSERT_EQ(feed(p, msg, {split, 0}, o).text(), whole.text()) << k;
            p.Reset();
            if (k == 1)
                ASSERT_EQ(feed(p, msg, {1}, o).text(), whole.text()) << "byte by byte";
            for (const std::string& line : logs_of(c))
                ASSERT_TRUE(capture.Has(line)) << line << " split at " << k;
            reused.Reset();
            ASSERT_EQ(feed(reused, msg, {split, 0}, o).text(), whole.text()) << k;
            if (o.max_buf)
                continue;
            Options s = o;
            s.stream = true;
            CHttpParser q;
            const Result r = feed(q, msg, {split, 0}, s);
            if (streamed_status != "?") {
                ASSERT_EQ(kStatus[r.status], streamed_status);
                continue;
            }
            ASSERT_EQ(r.text(), whole.text()) << "streamed, split at " << k;
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
            } else if (verb == "parse") {
                p->Parse(arg.data(), static_cast<int>(arg.size()));
            } else if (verb == "end") {  // Append(NULL, n)
                p->Append(nullptr, static_cast<int>(n));
            } else if (verb == "end-x") {  // Append("x", n)
                p->Append("x", static_cast<int>(n));
            } else if (verb == "max") {
                p->SetMaxBufferLen(static_cast<int>(n));
            } else if (verb == "header-only") {
                p->SetHeaderOnly(c.yes(k + 1));
            } else if (verb == "reset") {
                p->Reset();
            } else if (verb == "clone") {  // continue with a clone; the original reset and freed
                CHttpParser* copy = p->Clone();
                p->Reset();
                p->Release();
                p = copy;
            } else if (verb == "refuse-call") {  // stream; the n-th body piece is refused
                p->SetBodyCallback(
                    [](void* ctx, const char*, int) { return --*static_cast<int*>(ctx) ? 0 : -1; },
                    &(calls = static_cast<int>(n)));
            } else if (verb == "preset-size") {
                http_parser_access::state(*p)->m_cur_buf_size = static_cast<int>(n);
            } else if (verb == "preset-trailer") {
                http_parser_access::state(*p)->m_chunk.trailer_len = static_cast<int>(n);
            } else if (verb == "status") {
                EXPECT_EQ(kStatus[p->GetStatus()], arg);
            } else if (verb == "content") {
                const char* got = p->GetContent();
                EXPECT_EQ(got, p->GetContent()) << "gathered once";
                EXPECT_EQ(got ? std::string(got, (size_t)p->GetContentLength()) : "(null)", arg);
            } else if (verb == "length") {
                EXPECT_EQ(p->GetContentLength(), n);
            } else if (verb == "body-length") {
                EXPECT_EQ(p->GetBodyLength(), n);
            } else if (verb == "limit") {
                EXPECT_EQ(p->GetMaxBufferLen(), n);
            } else if (verb == "extra") {
                const char* e = reinterpret_cast<const char*>(p->GetExtraBuffer());
                EXPECT_EQ(e ? std::string(e, (size_t)p->GetExtraLength()) : "(null)", arg);
            } else if (verb == "start") {
                EXPECT_EQ(inspect(*p, nullptr).start, arg);
            } else if (verb == "fields") {
                EXPECT_EQ(inspect(*p, nullptr).fields, arg);
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
