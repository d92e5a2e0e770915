// Text tables, each row a call and its result (the fields from one column on,
// joined with " | "): reason texts (stat_codes.txt), certificate names
// (host_match.txt), case-insensitive comparisons (http_text.txt), URLs, the
// GET request and time-outs (url.txt), the retry texts (http_auth_retry.txt)
// and the Basic, preset-Digest and parameter tables of http_auth.txt.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpStatCodes.h"
#include "HTTP/HttpAuth.h"
#include "HTTP/HttpDigest.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using namespace Halvex::Sablon;
using corvio_test::Case;

namespace {

std::string yes(bool b) {
    return b ? "yes" : "no";
}

int size_of(const std::string& s) {
    return static_cast<int>(s.size());
}

// The log lines of `call` as "level message", after its result.
std::string with_logs(const std::function<std::string()>& call) {
    corvio_test::LogCapture capture;
    std::string out = call() + " | ";
    for (const corvio_test::LogLine& l : capture.Lines())
        out += std::to_string(l.level) + " " + l.message;
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

// The result of the call that a row of `section` stands for.
std::string call(const std::string& section, const Case& c) {
    std::string out;
    int offset = -1;
    int len = -1;
    CSockAddrIPv4 v4;
    CSockAddrIPv6 v6;
    CSockAddrStorage any;
    CHttpAuth auth;
    const bool nul = c[0].find('\0') != c[0].npos || c[1].find('\0') != c[1].npos;
    if (section == "codes")
        return CHttpStatCodes::GetCodeText(static_cast<HTTP_RESPONSE_STATUS_CODE>(c.num(0)));
    if (section == "names")
        return yes(HostMatchesCN(c.str(0), c.str(1)));
    if (section == "equal") {  // the NUL-terminated form where the texts hold no NUL
        out = yes(text::equal_nocase(std::string_view(c[0]), std::string_view(c[1])));
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
        return with_logs([&] { return yes(detail::IsHeadRequest(c[0].data(), size_of(c[0]))); });
    if (section == "timeouts")
        return std::to_string(c[0] == "reactor" ? detail::ReactorTimeout(c.unum(1))
                                                : detail::HandshakeTimeoutMs(c.unum(1)));
    if (section == "put")
        return detail::PutAuthorizationLine(c[0].data(), size_of(c[0]), "V", out) ? out : "(null)";
    if (section == "find")
        return detail::FindAuthorizationLine(c[0].data(), size_of(c[0]), offset, len)
                   ? c[0].substr(static_cast<size_t>(offset), static_cast<size_t>(len))
                   : "(null)";
    if (section == "is-basic")
        return yes(detail::ChallengeIsBasic(c.str(0)));
    if (section == "body-offset")
        return std::to_string(detail::RequestBodyOffset(c[0].data(), size_of(c[0])));
    if (section == "trim") {
        out = c[0];
        detail::trim_space(out);
        return out;
    }
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
    auth.SetUserInfo(c[1], c[2]);
    auth.SetWWWAuthenticate(c[0]);
    if (section == "basic")
        return with_logs([&] { return auth.GetAuthorization(out) ? out : "(false)"; });
    auth.SetPasswordType(static_cast<int>(c.num(3)));
    auth.SetMethod(c[4]);
    auth.SetUri(c[5]);
    if (!auth.parse_auth_diget_header())
        return "(false)";
    auth.challenge().cnonce = c[6];  // section "preset"
    auth.challenge().nc = 1;
    return auth.compose_digest_authorization(out) ? out : "(false)";
}

TEST(HttpText, Tables) {
    // file | section | the first field of the result
    std::istringstream tables(
        "stat_codes.txt codes 1  host_match.txt names 2  http_text.txt equal 2  "
        "http_text.txt prefix 2  url.txt split 1  url.txt kinds 2  url.txt get 4  url.txt head 1  "
        "url.txt timeouts 2  http_auth_retry.txt put 1  http_auth_retry.txt find 1  "
        "http_auth_retry.txt is-basic 1  http_auth_retry.txt body-offset 1  "
        "http_auth_retry.txt trim 1  http_auth_retry.txt params 1  http_auth_retry.txt fold 2  "
        "http_auth.txt raw-params 3  http_auth.txt basic 3  http_auth.txt preset 7");
    std::string file, section;
    for (size_t result; tables >> file >> section >> result;) {
        for (const Case& c : corvio_test::LoadCases(file, section, result + 1)) {
            std::string expected = c[result];
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

}  // namespace
