// URL splitting, the GET request text and the time-out conversions of the
// downloader.
#include <gtest/gtest.h>

#include <string>

#include "Corvio/CHttpDownloader.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "support/LogCapture.h"

using Halvex::Corvio::CHttpDownloader;
using Halvex::Sablon::CSockAddrIPv4;
using Halvex::Sablon::CSockAddrIPv6;
using Halvex::Sablon::CSockAddrStorage;
namespace detail = Halvex::Corvio::detail;

namespace {

struct UrlCase {
    const char* url;
    int result;  // 0 or -1
    const char* ip;
    int port;
    int path_offset;
};

class ParseUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ParseUrlTest, SplitsAddressPortAndTarget) {
    const UrlCase& c = GetParam();
    CSockAddrStorage addr;
    int offset = -2;
    const int result = CHttpDownloader::ParseURL(c.url, addr, offset);
    EXPECT_EQ(result < 0 ? -1 : 0, c.result) << c.url;
    if (c.result != 0)
        return;
    char ip[64] = {};
    ASSERT_EQ(addr.GetIpStr(ip, sizeof(ip)), 0);
    EXPECT_STREQ(ip, c.ip);
    EXPECT_EQ(addr.GetPort(), c.port);
    EXPECT_EQ(offset, c.path_offset);
}

const UrlCase kUrlCases[] = {
    {"http://127.0.0.1/a/b?x=1", 0, "127.0.0.1", 80, 16},
    {"https://127.0.0.1", 0, "127.0.0.1", 443, -1},
    {"http://127.0.0.1:8080/", 0, "127.0.0.1", 8080, 21},
    {"http://[::1]:8443/x", 0, "::1", 8443, 17},
    {"https://[::1]/", 0, "::1", 443, 13},
    {"see http://127.0.0.1:81/", 0, "127.0.0.1", 81, 23},
    // The scheme that occurs first decides, not the one searched first.
    {"https://127.0.0.1/?next=http://127.0.0.2/x", 0, "127.0.0.1", 443, 17},
    {"http://127.0.0.1/?next=https://127.0.0.2/x", 0, "127.0.0.1", 80, 16},
    // An empty port is the scheme's default.
    {"http://127.0.0.1:/a", 0, "127.0.0.1", 80, 17},
    {"https://[::1]:/a", 0, "::1", 443, 14},
    {"http://127.0.0.1:65535/", 0, "127.0.0.1", 65535, 22},
    {"http://127.0.0.1:1", 0, "127.0.0.1", 1, -1},
    // Ports outside 1..65535 or not made of digits.
    {"http://127.0.0.1:99999/", -1, "", 0, 0},
    {"http://127.0.0.1:65536/", -1, "", 0, 0},
    {"http://127.0.0.1:0/", -1, "", 0, 0},
    {"http://127.0.0.1:-1/", -1, "", 0, 0},
    {"http://127.0.0.1:abc/", -1, "", 0, 0},
    {"http://127.0.0.1:+80/", -1, "", 0, 0},
    {"http://127.0.0.1:8 0/", -1, "", 0, 0},
    {"http://[::1]x/", -1, "", 0, 0},
    {"http://[::1/", -1, "", 0, 0},
    // No scheme text.
    {"ftp://127.0.0.1/", -1, "", 0, 0},
    {"127.0.0.1/", -1, "", 0, 0},
    {"", -1, "", 0, 0},
    // Text that would inject into the request.
    {"http://127.0.0.1/a\r\nX-Evil: 1", -1, "", 0, 0},
    {"http://127.0.0.1/a b", -1, "", 0, 0},
    {"http://127.0.0.1/a\tb", -1, "", 0, 0},
    {"http://127.0.0.1/a\x7f", -1, "", 0, 0},
    {"http://127.0.0.1/a\nb", -1, "", 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Table, ParseUrlTest, ::testing::ValuesIn(kUrlCases));

TEST(ParseUrl, NullUrlIsRefusedSilently) {
    corvio_test::LogCapture log;
    CSockAddrStorage addr;
    int offset = 0;
    EXPECT_EQ(CHttpDownloader::ParseURL(nullptr, addr, offset), -1);
    EXPECT_EQ(CHttpDownloader::ParseURL("gopher://x/", addr, offset), -1);
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ParseUrl, UnresolvableHostLogs) {
    corvio_test::LogCapture log;
    CSockAddrIPv4 addr;
    int offset = 0;
    // An IPv6 literal does not fit the IPv4 kind.
    EXPECT_EQ(CHttpDownloader::ParseURL("http://[::1]/", addr, offset), -1);
    EXPECT_TRUE(log.Has("host resolve failed!\n", 2));
}

TEST(ParseUrl, KindDecidesTheFamily) {
    CSockAddrIPv6 addr6;
    int offset = 0;
    EXPECT_EQ(CHttpDownloader::ParseURL("http://[::1]:99/", addr6, offset), 0);
    EXPECT_EQ(addr6.GetPort(), 99);
}

TEST(ParseUrl, LongUrlIsRefusedNotCut) {
    corvio_test::LogCapture log;
    CSockAddrStorage addr;
    int offset = 0;
    std::string url = "http://127.0.0.1/" + std::string(1006, 'a');
    ASSERT_EQ(url.size(), 1023u);
    EXPECT_EQ(CHttpDownloader::ParseURL(url.c_str(), addr, offset), 0);
    url += "b";
    EXPECT_EQ(CHttpDownloader::ParseURL(url.c_str(), addr, offset), -1);
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].level, 2);
    EXPECT_EQ(log.Lines()[0].message, "url too long: 1024 characters, at most 1023\n");
}

struct RequestCase {
    const char* target;
    const char* host;
    unsigned short port;
    const char* authorization;
    const char* expected;
};

TEST(RenderGetRequest, Table) {
    const RequestCase cases[] = {
        {"/a/b?x=1", "127.0.0.1", 80, "",
         "GET /a/b?x=1 HTTP/1.1\r\nAccept: */*\r\nHost: 127.0.0.1:80\r\nConnection: "
         "close\r\n\r\n"},
        {"/", "::1", 8080, "",
         "GET / HTTP/1.1\r\nAccept: */*\r\nHost: [::1]:8080\r\nConnection: close\r\n\r\n"},
        {"/p", "127.0.0.1", 443, "Basic dTpw",
         "GET /p HTTP/1.1\r\nAccept: */*\r\nHost: 127.0.0.1:443\r\nConnection: "
         "close\r\nAuthorization: Basic dTpw\r\n\r\n"},
    };
    for (const RequestCase& c : cases) {
        std::string out;
        detail::RenderGetRequest(c.target, c.host, c.port, c.authorization, out);
        EXPECT_EQ(out, c.expected);
    }
}

TEST(Timeouts, ClampedNeverZero) {
    EXPECT_EQ(detail::ReactorTimeout(5000000ull), 5000000u);
    EXPECT_EQ(detail::ReactorTimeout(0), 0u);  // none
    EXPECT_EQ(detail::ReactorTimeout(1ull << 32), 0xFFFFFFFFu);
    EXPECT_EQ(detail::ReactorTimeout(2ull * 3600 * 1000000), 0xFFFFFFFFu);
    EXPECT_EQ(detail::HandshakeTimeoutMs(5000000ull), 5000u);
    EXPECT_EQ(detail::HandshakeTimeoutMs(999), 1u);
    EXPECT_EQ(detail::HandshakeTimeoutMs(1001), 2u);
    EXPECT_EQ(detail::HandshakeTimeoutMs(0), 5000u);
    EXPECT_EQ(detail::HandshakeTimeoutMs(~0ull), 0xFFFFFFFFu);
}

TEST(IsHeadRequest, Table) {
    EXPECT_TRUE(detail::IsHeadRequest("HEAD / HTTP/1.1\r\n\r\n", 19));
    EXPECT_TRUE(detail::IsHeadRequest("head / HTTP/1.1\r\nHost: a\r\n\r\n", 28));
    EXPECT_FALSE(detail::IsHeadRequest("GET / HTTP/1.1\r\n\r\n", 18));
    corvio_test::LogCapture log;
    EXPECT_FALSE(detail::IsHeadRequest("HEAD /", 6));
    EXPECT_TRUE(log.Has("parse request type failed!\n", 3));
}

}  // namespace
