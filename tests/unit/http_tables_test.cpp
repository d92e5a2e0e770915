// The HTTP case tables of tests/data/ (see each file's header). CHttpParser
// over http_parser.txt: [messages] fed whole, in every slicing, stored and
// streamed; [scripts] call by call. The text tables listed in http_text.txt
// [tables], each row a call and its expected result; Digest values checked
// against the RFC 2617 formulas.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpMsgCreator.h"
#include "Corvio/CHttpStatCodes.h"
#include "HTTP/HttpAuth.h"
#include "HTTP/HttpDigest.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpParserState.h"
#include "HTTP/HttpText.h"
#include "fuzz/parser_feed.h"
#include "support/CaseFile.h"
#include "support/DigestCheck.h"
#include "support/LogCapture.h"

using namespace Halvex::Sablon;
using namespace parser_feed;
using corvio_test::Case;
using corvio_test::DigestResponse;
using corvio_test::LoadCases;
using corvio_test::LogCapture;

namespace {

const char* const kStatus[] = {"COMPLETE", "INCOMPLETE",  "ERROR",
                               "INIT",     "UNTIL_CLOSE", "BUFFER_FULL"};

// The value of "name" (name ending in '=') in a list of words; "?" when absent.
std::string option(const std::string& options, const std::string& name) {
    const size_t at = (" " + options).find(" " + name), end = options.find(' ', at);
    return at == std::string::npos ? "?" : options.substr(at + name.size(), end - at - name.size());
}

TEST(Parser, Messages) {
    fuzz_common::on_broken() = [] { ADD_FAILURE() << "a parser invariant does not hold"; };
    CHttpParser reused;
    for (const Case& c : LoadCases("http_parser.txt", "messages", 9)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        const std::string msg = c[1];
        Options o{option(c[2], "header-only") != "?", option(c[2], "eof") != "?", false, true,
                  atoi(option(c[2], "max=").c_str())};
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
    for (const Case& c : LoadCases("http_parser.txt", "scripts", 3)) {
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
            } else if (verb == "length" || verb == "body-length" || verb == "limit" ||
                       verb == "ahead") {
                EXPECT_EQ(verb == "limit"    ? p->GetMaxBufferLen()
                          : verb == "length" ? p->GetContentLength()
                          : verb == "ahead"  ? p->GetBytesAhead()
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

const auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };

// The result of `call`, then its log lines, each "level function message"
// (the function without its leading namespaces).
std::string with_logs(const std::function<std::string()>& call) {
    LogCapture capture;
    std::string out = call() + " | ";
    for (const corvio_test::LogLine& l : capture.Lines())
        out +=
            std::to_string(l.level) + " " +
            l.function.substr(l.function.rfind("Halvex::", 0) ? 0 : l.function.find("::", 8) + 2) +
            " " + l.message;
    return out;
}

std::string parse_url(const char* url, CSockAddr& addr) {
    int offset = -2;
    char ip[64] = {};
    if (CHttpDownloader::ParseURL(url, addr, offset) < 0 || addr.GetIpStr(ip, sizeof(ip)) != 0)
        return "refused";
    return "ok | " + std::string(ip) + " | " + std::to_string(addr.GetPort()) + " | " +
           std::to_string(offset);
}

// The request of fields k..k+5: user | password | password type | method |
// target | body; with the challenge of field k-1 set.
void set_request(CHttpAuth& auth, const Case& c, size_t k) {
    auth.SetUserInfo(c[k], c[k + 1]);
    auth.SetPasswordType(static_cast<int>(c.num(k + 2)));
    auth.SetMethod(c[k + 3]);
    auth.SetUri(c[k + 4]);
    if (c.fields.size() > k + 5 && !c[k + 5].empty())
        auth.SetBody(c[k + 5].data(), static_cast<int>(c[k + 5].size()));
    auth.SetWWWAuthenticate(c[k - 1]);
}

// The rendered message as bytes, with the NUL behind it; "(null)" when
// rendering failed, with the length set to 0.
std::string render(CHttpMsgCreator& c) {
    int len = -1;
    const char* msg = c.GetMsg(len);
    EXPECT_TRUE(msg ? msg[len] == '\0' : len == 0);
    return msg ? std::string(msg, static_cast<size_t>(len)) : "(null)";
}

// Makes the calls written in `row` from field `k` up to "=" (the verbs are
// listed at the top of the data file).
void creator_calls(CHttpMsgCreator& c, const Case& row, size_t k) {
    int result = 0, n = 0, len = 0;
    const std::map<std::string, std::function<int()>> setters = {
        {"type", [&] { return c.SetMsgType(static_cast<CHttpMsgCreator::HttpMsgType>(n)); }},
        {"method", [&] { return c.SetRequestMethod(static_cast<HTTP_METHOD_TYPE>(n)); }},
        {"status", [&] { return c.SetStatusCode(static_cast<HTTP_RESPONSE_STATUS_CODE>(n)); }},
        {"value", [&] { return c.SetValue(row.str(k + 1), row.str(k + 2)); }},
        {"svalue", [&] { return c.SetValue(row[k + 1], row[k + 2]); }},
        {"uri", [&] { return c.SetURI(row.str(k + 1), len); }},
        {"content", [&] { return c.SetContent(row.str(k + 1), len); }}};
    for (size_t args = 1; row[k] != "="; k += args + 1) {
        const std::string& verb = row[k];
        n = atoi(row[k + 1].c_str());
        len = k + 2 < row.fields.size() ? atoi(row[k + 2].c_str()) : 0;
        args = verb == "value" || verb == "svalue" || verb == "uri" || verb == "content" ? 2 : 1;
        if (setters.count(verb))
            result = setters.at(verb)();
        else if (verb == "msg")
            EXPECT_EQ(render(c), row[k + 1]) << row.where;
        else if (verb == "reset")
            EXPECT_EQ(c.Reset(), 0) << row.where;
        else  // "fails": the call before returned -1
            EXPECT_TRUE(verb == "fails" && result == -1) << row.where << ": " << verb;
    }
}

// The result of the call that a row of `section` stands for.
std::string call(const std::string& section, const Case& c) {
    std::string out;
    int offset = -1, len = -1;
    const int size = static_cast<int>(c[0].size());
    CSockAddrIPv4 v4;
    CSockAddrIPv6 v6;
    CSockAddrStorage any;
    CHttpAuth auth;
    if (section == "codes")
        return CHttpStatCodes::GetCodeText(static_cast<HTTP_RESPONSE_STATUS_CODE>(c.num(0)));
    if (section == "names")
        return yes(HostMatchesCN(c.str(0), c.str(1)));
    if (section == "equal") {  // the NUL-terminated form where the texts hold no NUL
        out = yes(text::equal_nocase(std::string_view(c[0]), std::string_view(c[1])));
        const bool nul = (c[0] + c[1]).find('\0') != std::string::npos;
        return nul || out == yes(text::equal_nocase(c.str(0), c.str(1))) ? out : "forms differ";
    }
    if (section == "prefix")
        return yes(text::prefix_nocase(c.str(0), c.str(1)));
    if (section == "split")
        return parse_url(c.str(0), any);
    if (section == "kinds")
        return with_logs([&] {
            return parse_url(c.str(1), c[0] == "v4"   ? static_cast<CSockAddr&>(v4)
                                       : c[0] == "v6" ? static_cast<CSockAddr&>(v6)
                                                      : any);
        });
    if (section == "get") {
        detail::RenderGetRequest(c.str(0), c.str(1), static_cast<unsigned short>(c.num(2)),
                                 c.str(3), out);
        return out;
    }
    if (section == "head")
        return with_logs([&] { return yes(detail::IsHeadRequest(c[0].data(), size)); });
    if (section == "timeouts")
        return std::to_string(c[0] == "reactor" ? detail::ReactorTimeout(c.unum(1))
                                                : detail::HandshakeTimeoutMs(c.unum(1)));
    if (section == "put")
        return detail::PutAuthorizationLine(c[0].data(), size, "V", out) ? out : "(null)";
    if (section == "find")
        return detail::FindAuthorizationLine(c[0].data(), size, offset, len)
                   ? c[0].substr(static_cast<size_t>(offset), static_cast<size_t>(len))
                   : "(null)";
    if (section == "is-basic")
        return yes(detail::ChallengeIsBasic(c.str(0)));
    if (section == "body-offset")
        return std::to_string(detail::RequestBodyOffset(c[0].data(), size));
    if (section == "trim")
        return detail::trim_space(out = c[0]), out;
    if (section == "params") {
        std::map<std::string, std::string> params;
        detail::parse_auth_params(c[0], params);
        out = std::to_string(params.size());
        for (const auto& kv : params)
            out += " | " + kv.first + " | " + kv.second;
        return out;
    }
    if (section == "fold")
        return detail::FoldAuthenticationInfo(c[0], c[1]);
    if (section == "raw-params")
        return (c[2] == "quoted" ? get_quoted_param(c[0], c.str(1))
                                 : get_token_param(c[0], c.str(1)))
            .value_or("(null)");
    if (section == "render" || section == "refused-calls")
        return with_logs([&] {
            CHttpMsgCreator m;
            creator_calls(m, c, 1);
            return render(m);
        });
    if (section == "basic") {
        auth.SetUserInfo(c[1], c[2]);
        auth.SetWWWAuthenticate(c[0]);
        return with_logs([&] { return auth.GetAuthorization(out) ? out : "(false)"; });
    }
    if (section == "refused")
        return with_logs([&] {
            set_request(auth, c, 2);
            out = "untouched";
            return yes(auth.GetAuthorization(out)) + " [" + out + "]";
        });
    if (section == "no-realm")
        return with_logs([&] {
            digest_challenge challenge;
            challenge.nonce = c[0];
            out = "old";
            return yes(auth.auth_digest(challenge, "GET", "/", "u", "p", out)) + " [" + out + "]";
        });
    set_request(auth, c, 1);  // sections "preset" and "quoted"
    if (!auth.parse_auth_diget_header())
        return "(false)";
    auth.challenge().cnonce = c[7];
    auth.challenge().nc = 1;
    return auth.compose_digest_authorization(out) ? out : "(false)";
}

// The tables listed in http_text.txt [tables].
TEST(HttpText, Tables) {
    for (const Case& t : LoadCases("http_text.txt", "tables", 3)) {
        const std::string& section = t[1];
        const size_t at = t.unum(2);
        for (const Case& c : LoadCases(t[0], section, at + 1)) {
            const size_t result =
                at ? at : std::find(c.fields.begin(), c.fields.end(), "=") - c.fields.begin() + 1;
            std::string expected = result < c.fields.size() ? c[result] : "(no =)";
            for (size_t k = result + 1; k < c.fields.size(); ++k)
                expected += " | " + c[k];
            EXPECT_EQ(call(section, c), expected) << c.where;
        }
    }
}

TEST(HttpText, FoldMapsOnlyUpperCaseLetters) {
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(text::fold(static_cast<unsigned char>(c)), c >= 'A' && c <= 'Z' ? c + 32 : c);
}

// Checked against the RFC 2617 formulas (section 3.2.2): which directives are
// written in which order, the client nonce and count, and the response.
TEST(Digest, FormsMatchTheRfcFormulas) {
    for (const Case& c : LoadCases("http_auth.txt", "forms", 11)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        LogCapture capture(6);
        CHttpAuth auth;
        set_request(auth, c, 2);
        std::string values[2];
        ASSERT_TRUE(auth.GetAuthorization(values[0]) && auth.GetAuthorization(values[1]));
        EXPECT_TRUE(capture.Lines().empty());
        // Each value has its own client nonce, with the count at 1.
        EXPECT_EQ(values[0] == values[1], values[0].find("cnonce=") == std::string::npos);
        for (const std::string& value : values) {
            // The directives of "Digest k="v",k=v,..." in order, as written and unquoted.
            std::string keys;
            std::map<std::string, std::string> written, v;
            EXPECT_EQ(value.rfind("Digest ", 0), 0u) << value;
            for (size_t pos = 7, eq;
                 pos < value.size() && (eq = value.find('=', pos)) != value.npos;) {
                const bool quoted = value[eq + 1] == '"';
                const size_t end = quoted ? value.find('"', eq + 2) + 1
                                          : std::min(value.find(',', eq + 1), value.size());
                const std::string key = value.substr(pos, eq - pos);
                keys += (keys.empty() ? "" : " ") + key;
                written[key] = value.substr(eq + 1, end - eq - 1);
                v[key] = quoted ? written[key].substr(1, written[key].size() - 2) : written[key];
                EXPECT_TRUE(end >= value.size() || value[end] == ',') << value;
                pos = end + 1;
            }
            EXPECT_EQ(keys, c[8]) << value;
            EXPECT_TRUE(c[9].empty() || written["qop"] == c[9]) << value;
            EXPECT_TRUE(!v.count("cnonce") ||
                        (v["cnonce"].size() == 32 && written["nc"] == "00000001" &&
                         v["cnonce"].find_first_not_of("0123456789abcdef") == v["cnonce"].npos));
            EXPECT_EQ(value.back() == ',', c.yes(10)) << value;
            EXPECT_EQ(written["uri"], "\"" + (c[6].empty() ? "/" : c[6]) + "\"");
            const bool sess = text::equal_nocase(v["algorithm"].c_str(), "MD5-sess");
            EXPECT_EQ(v["response"], DigestResponse(v, c[3], c.num(4), sess, v["qop"], c[5], c[7]))
                << value;
        }
    }
}

}  // namespace
