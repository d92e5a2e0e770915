// The scripted loopback server itself (plain TCP), since the HTTP client
// tests rest on it: step semantics, recording, connection order, bounded
// stop.
#include "support/LoopbackServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/TcpListener.h"

using corvio_test::CloseSocket;
using corvio_test::ConnectionLog;
using corvio_test::LoopbackServer;
using corvio_test::ReadFor;
using corvio_test::Step;
using corvio_test::TcpConnect;
using corvio_test::WriteAll;

namespace {

std::string ReadAll(int fd, long max, int timeout_ms) {
    std::string buf(static_cast<size_t>(max), '\0');
    long n = ReadFor(fd, &buf[0], max, timeout_ms);
    buf.resize(static_cast<size_t>(n > 0 ? n : 0));
    return buf;
}

}  // namespace

TEST(LoopbackServer, StepsRecordAndAnswerInOrder) {
    LoopbackServer::Options opts;
    opts.io_timeout_ms = 2000;
    LoopbackServer server(opts, {{Step::ReadUntil("\r\n\r\n"), Step::Send("one"), Step::Read(3),
                                  Step::Send("two"), Step::Close()},
                                 {Step::Send("three"), Step::Reset()}});
    ASSERT_TRUE(server.Ok()) << server.Error();

    int a = TcpConnect(4, server.Port());
    ASSERT_GE(a, 0);
    // The pipelined "abc" after the blank line belongs to the next step.
    const std::string first = "GET / HTTP/1.1\r\n\r\nabc";
    ASSERT_TRUE(WriteAll(a, first.data(), static_cast<long>(first.size())));
    EXPECT_EQ(ReadAll(a, 6, 2000), "onetwo");
    char c;
    EXPECT_EQ(ReadFor(a, &c, 1, 2000), 0) << "closed after the script";
    CloseSocket(a);

    int b = TcpConnect(4, server.Port());
    ASSERT_GE(b, 0);
    EXPECT_EQ(ReadAll(b, 5, 2000), "three");
    CloseSocket(b);

    int extra = TcpConnect(4, server.Port());  // beyond the scripts: closed at once
    ASSERT_GE(extra, 0);
    EXPECT_EQ(ReadFor(extra, &c, 1, 2000), 0);
    CloseSocket(extra);

    ASSERT_TRUE(server.WaitDone(3, 3000));
    ConnectionLog log = server.Connection(0);
    EXPECT_EQ(log.received, first);
    EXPECT_EQ(log.error, "");
    EXPECT_TRUE(log.peer_closed);
    EXPECT_EQ(server.Connection(1).received, "");
    EXPECT_EQ(server.Connection(3).error, "no such connection");
}

TEST(LoopbackServer, FailedStepsSayWhy) {
    LoopbackServer::Options opts;
    opts.io_timeout_ms = 200;
    opts.repeat_last = true;
    LoopbackServer server(opts, {{Step::ReadUntil("END")}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    int silent = TcpConnect(4, server.Port());
    int closing = TcpConnect(4, server.Port());
    ASSERT_GE(silent, 0);
    ASSERT_GE(closing, 0);
    ASSERT_TRUE(WriteAll(closing, "EN", 2));
    CloseSocket(closing);
    ASSERT_TRUE(server.WaitDone(2, 3000));
    // Accept order decides the index; find each by what it received.
    ConnectionLog l0 = server.Connection(0), l1 = server.Connection(1);
    const ConnectionLog& quiet = l0.received.empty() ? l0 : l1;
    const ConnectionLog& early = l0.received.empty() ? l1 : l0;
    EXPECT_EQ(quiet.error, "time-out waiting for the client");
    EXPECT_EQ(early.received, "EN");
    EXPECT_EQ(early.error, "client closed before the awaited bytes");
    CloseSocket(silent);
}

TEST(LoopbackServer, PatternAndLargeBody) {
    const uint64_t kBody = 3u << 20;
    LoopbackServer::Options opts;
    LoopbackServer server(opts, {{Step::SendPattern(kBody, 12345), Step::Close()}});
    ASSERT_TRUE(server.Ok()) << server.Error();
    int fd = TcpConnect(4, server.Port());
    ASSERT_GE(fd, 0);
    std::string body = ReadAll(fd, static_cast<long>(kBody) + 1, 5000);
    CloseSocket(fd);
    ASSERT_EQ(body.size(), kBody);
    EXPECT_TRUE(LoopbackServer::CheckPattern(body.data(), body.size(), 12345));
    EXPECT_EQ(body.substr(0, 10), LoopbackServer::Pattern(12345, 10));
    EXPECT_FALSE(LoopbackServer::CheckPattern(body.data(), body.size(), 12346));
    // A block of 32768 bytes missing shows: the period is no power of two.
    std::string cut = body.substr(0, 65536) + body.substr(98304, 65536);
    size_t bad = 0;
    EXPECT_FALSE(LoopbackServer::CheckPattern(cut.data(), cut.size(), 12345, &bad));
    EXPECT_EQ(bad, 65536u);
}

TEST(LoopbackServer, StopIsBoundedWhileClientsHang) {
    LoopbackServer::Options opts;
    opts.io_timeout_ms = 60000;
    auto server = std::make_unique<LoopbackServer>(
        opts, std::vector<corvio_test::Script>{{Step::ReadUntil("never")}, {Step::Silent(60000)}});
    ASSERT_TRUE(server->Ok());
    int a = TcpConnect(4, server->Port());
    int b = TcpConnect(4, server->Port());
    ASSERT_TRUE(server->WaitAccepted(2, 2000));
    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    CloseSocket(a);
    CloseSocket(b);
}

TEST(LoopbackServer, Ipv6) {
    LoopbackServer::Options opts;
    opts.family = 6;
    LoopbackServer server(opts, {{Step::ReadUntil("x"), Step::Send("y")}});
    if (!server.Ok())
        GTEST_SKIP() << server.Error();
    EXPECT_STREQ(server.Host(), "::1");
    int fd = TcpConnect(6, server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, "x", 1));
    EXPECT_EQ(ReadAll(fd, 1, 2000), "y");
    CloseSocket(fd);
}
