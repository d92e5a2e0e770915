// Text tables: reason texts (stat_codes.txt), certificate names
// (host_match.txt), case-insensitive comparisons (http_text.txt), URLs, the
// GET request and time-outs of the downloader (url.txt), and the text side of
// the authenticated retry (http_auth_retry.txt).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>

#include "Corvio/CHttpDownloader.h"
#include "Corvio/CHttpStatCodes.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "HTTP/HttpText.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using namespace Halvex::Sablon;
using corvio_test::Case;
using corvio_test::LoadCases;

namespace {

// The captured lines as "level message", one after the other.
std::string logs(const corvio_test::LogCapture& capture) {
    std::string all;
    for (const corvio_test::LogLine& l : capture.Lines())
        all += std::to_string(l.level) + " " + l.message;
    return all;
}

int size_of(const std::string& s) {
    return static_cast<int>(s.size());
}

TEST(HttpText, StatusTextsAndCertificateNames) {
    for (const Case& c : LoadCases("stat_codes.txt", "codes", 2))
        EXPECT_STREQ(CHttpStatCodes::GetCodeText(static_cast<HTTP_RESPONSE_STATUS_CODE>(c.num(0))),
                     c[1].c_str())
            << c.where;
    for (const Case& c : LoadCases("host_match.txt", "names", 3))
        EXPECT_EQ(HostMatchesCN(c.str(0), c.str(1)), c.yes(2)) << c.where;
}

TEST(HttpText, CaseInsensitive) {
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(text::fold(static_cast<unsigned char>(c)), c >= 'A' && c <= 'Z' ? c + 32 : c);
    for (const Case& c : LoadCases("http_text.txt", "equal", 3)) {
        // The NUL-terminated form only where the texts hold no NUL.
        if (c[0].find('\0') == std::string::npos && c[1].find('\0') == std::string::npos)
            EXPECT_EQ(text::equal_nocase(c.str(0), c.str(1)), c.yes(2)) << c.where;
        EXPECT_EQ(text::equal_nocase(std::string_view(c[0]), std::string_view(c[1])), c.yes(2))
            << c.where;
    }
    for (const Case& c : LoadCases("http_text.txt", "prefix", 3))
        EXPECT_EQ(text::prefix_nocase(c.str(0), c.str(1)), c.yes(2)) << c.where;
}

TEST(HttpText, Urls) {
    for (const Case& c : LoadCases("url.txt", "split", 2)) {
        CSockAddrStorage addr;
        int offset = -2;
        const int result = CHttpDownloader::ParseURL(c.str(0), addr, offset);
        EXPECT_EQ(result < 0 ? "refused" : "ok", c[1]) << c.where;
        char ip[64] = {};
        if (result < 0 || c.fields.size() < 5 || addr.GetIpStr(ip, sizeof(ip)) != 0)
            continue;
        EXPECT_EQ(
            ip + std::string(" ") + std::to_string(addr.GetPort()) + " " + std::to_string(offset),
            c[2] + " " + c[3] + " " + c[4])
            << c.where;
    }
    for (const Case& c : LoadCases("url.txt", "kinds", 4)) {
        corvio_test::LogCapture capture;
        CSockAddrIPv4 v4;
        CSockAddrIPv6 v6;
        CSockAddrStorage any;
        CSockAddr& addr = c[0] == "v4"   ? static_cast<CSockAddr&>(v4)
                          : c[0] == "v6" ? static_cast<CSockAddr&>(v6)
                                         : any;
        int offset = 0;
        const int result = CHttpDownloader::ParseURL(c.str(1), addr, offset);
        EXPECT_EQ(result < 0 ? "refused" : "ok " + std::to_string(addr.GetPort()), c[2]) << c.where;
        EXPECT_EQ(logs(capture), c[3]) << c.where;
    }
    for (const Case& c : LoadCases("url.txt", "get", 5)) {
        std::string out;
        detail::RenderGetRequest(c.str(0), c.str(1), static_cast<unsigned short>(c.num(2)),
                                 c.str(3), out);
        EXPECT_EQ(out, c[4]) << c.where;
    }
    for (const Case& c : LoadCases("url.txt", "head", 3)) {
        corvio_test::LogCapture capture;
        EXPECT_EQ(detail::IsHeadRequest(c[0].data(), size_of(c[0])), c.yes(1)) << c.where;
        EXPECT_EQ(logs(capture), c[2]) << c.where;
    }
    for (const Case& c : LoadCases("url.txt", "timeouts", 3)) {
        const unsigned long long given = c.unum(1);
        EXPECT_EQ(
            c[0] == "reactor" ? detail::ReactorTimeout(given) : detail::HandshakeTimeoutMs(given),
            c.unum(2))
            << c.where;
    }
}

TEST(HttpText, AuthRetry) {
    const char kFile[] = "http_auth_retry.txt";
    for (const Case& c : LoadCases(kFile, "put", 2)) {
        std::string out;
        const bool put = detail::PutAuthorizationLine(c[0].data(), size_of(c[0]), "V", out);
        EXPECT_EQ(put ? out : "(null)", c[1]) << c.where;
    }
    for (const Case& c : LoadCases(kFile, "find", 2)) {
        int offset = -1;
        int len = -1;
        const bool found = detail::FindAuthorizationLine(c[0].data(), size_of(c[0]), offset, len);
        EXPECT_EQ(found ? c[0].substr((size_t)offset, (size_t)len) : "(null)", c[1]) << c.where;
    }
    for (const Case& c : LoadCases(kFile, "is-basic", 2))
        EXPECT_EQ(detail::ChallengeIsBasic(c.str(0)), c.yes(1)) << c.where;
    for (const Case& c : LoadCases(kFile, "body-offset", 2))
        EXPECT_EQ(detail::RequestBodyOffset(c[0].data(), size_of(c[0])), c.num(1)) << c.where;
    for (const Case& c : LoadCases(kFile, "trim", 2)) {
        std::string s = c[0];
        detail::trim_space(s);
        EXPECT_EQ(s, c[1]) << c.where;
    }
    for (const Case& c : LoadCases(kFile, "params", 2)) {
        std::map<std::string, std::string> params, expected;
        for (size_t k = 2; k + 1 < c.fields.size(); k += 2)
            expected[c[k]] = c[k + 1];
        detail::parse_auth_params(c[0], params);
        EXPECT_EQ(params.size(), c.unum(1)) << c.where;
        EXPECT_EQ(params, expected) << c.where;
    }
    for (const Case& c : LoadCases(kFile, "fold", 3))
        EXPECT_EQ(detail::FoldAuthenticationInfo(c[0], c[1]), c[2]) << c.where;
}

}  // namespace
