// URL splitting, the GET request text and the time-out conversions of the
// downloader.
#include <gtest/gtest.h>

#include <string>

#include "Corvio/CHttpDownloader.h"
#include "HTTP/HttpDownloaderImpl.h"
#include "support/CaseFile.h"
#include "support/LogCapture.h"

using Halvex::Corvio::CHttpDownloader;
using Halvex::Sablon::CSockAddrIPv4;
using Halvex::Sablon::CSockAddrIPv6;
using Halvex::Sablon::CSockAddrStorage;
namespace detail = Halvex::Corvio::detail;

namespace {

TEST(ParseUrl, Table) {
    for (const corvio_test::Case& c : corvio_test::LoadCases("url.txt", "split", 2)) {
        CSockAddrStorage addr;
        int offset = -2;
        const int result = CHttpDownloader::ParseURL(c.str(0), addr, offset);
        EXPECT_EQ(result < 0 ? "refused" : "ok", c[1]) << c.where;
        if (result < 0 || c[1] != "ok" || c.fields.size() < 5)
            continue;
        char ip[64] = {};
        ASSERT_EQ(addr.GetIpStr(ip, sizeof(ip)), 0) << c.where;
        EXPECT_EQ(ip, c[2]) << c.where;
        EXPECT_EQ(addr.GetPort(), c.num(3)) << c.where;
        EXPECT_EQ(offset, c.num(4)) << c.where;
    }
}

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

TEST(RenderGetRequest, Table) {
    for (const corvio_test::Case& c : corvio_test::LoadCases("url.txt", "get", 5)) {
        std::string out;
        detail::RenderGetRequest(c.str(0), c.str(1), static_cast<unsigned short>(c.num(2)),
                                 c.str(3), out);
        EXPECT_EQ(out, c[4]) << c.where;
    }
}

TEST(Timeouts, ClampedNeverZero) {
    for (const corvio_test::Case& c : corvio_test::LoadCases("url.txt", "timeouts", 3)) {
        const unsigned long long given = c.unum(1);
        EXPECT_EQ(
            c[0] == "reactor" ? detail::ReactorTimeout(given) : detail::HandshakeTimeoutMs(given),
            c.unum(2))
            << c.where;
    }
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
