// Socket addresses of the three kinds and the non-blocking TCP stream over
// loopback (the only name looked up is "localhost"): connect outcome, "nothing now" versus end of
// file, Detach.
#include "Sablon/Sock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Sablon/SockAddr.h"
#include "support/TcpListener.h"

using namespace Halvex::Sablon;
using corvio_test::CloseSocket;
using corvio_test::TcpListener;
using corvio_test::WriteAll;

namespace {

struct AddrCase {
    int kind;  // CSockAddr::Type
    const char* text;
    int result;
    const char* ip;  // expected GetIpStr text when result is 0
    int family;
};

CSockAddr* make(int kind) {
    if (kind == CSockAddr::TYPE_IPV4)
        return new CSockAddrIPv4;
    if (kind == CSockAddr::TYPE_IPV6)
        return new CSockAddrIPv6;
    return new CSockAddrStorage;
}

class SetIpTable : public ::testing::TestWithParam<AddrCase> {};

TEST_P(SetIpTable, ResultTextAndFamily) {
    const AddrCase& c = GetParam();
    CSockAddr* a = make(c.kind);
    EXPECT_EQ(a->GetType(), c.kind);
    a->SetPort(8080);
    EXPECT_EQ(a->SetIp(c.text), c.result);
    char buf[128];
    if (c.result == 0) {
        ASSERT_EQ(a->GetIpStr(buf, sizeof(buf)), 0);
        EXPECT_STREQ(buf, c.ip);
        EXPECT_EQ(a->GetFamily(), c.family);
        EXPECT_EQ(a->GetPort(), 8080);
        EXPECT_NE(a->GetSockAddr(), nullptr);
    } else {
        EXPECT_FALSE(a->IsSet());
        EXPECT_EQ(a->GetIpStr(buf, sizeof(buf)), -1);
        EXPECT_EQ(a->GetSockAddr(), nullptr);
    }
    delete a;
}

const AddrCase kAddrCases[] = {
    {CSockAddr::TYPE_IPV4, "127.0.0.1", 0, "127.0.0.1", 4},
    {CSockAddr::TYPE_IPV4, "10.1.2.3", 0, "10.1.2.3", 4},
    {CSockAddr::TYPE_IPV4, "::1", -1, "", 0},  // numeric text of the other family
    {CSockAddr::TYPE_IPV4, "", -1, "", 0},
    {CSockAddr::TYPE_IPV6, "::1", 0, "::1", 6},
    {CSockAddr::TYPE_IPV6, "2001:db8::5", 0, "2001:db8::5", 6},
    {CSockAddr::TYPE_IPV6, "127.0.0.1", -1, "", 0},
    {CSockAddr::TYPE_IPV6, "", -1, "", 0},
    {CSockAddr::TYPE_STORAGE, "127.0.0.1", 0, "127.0.0.1", 4},
    {CSockAddr::TYPE_STORAGE, "::1", 0, "::1", 6},
    {CSockAddr::TYPE_STORAGE, "", -1, "", 0},
};
INSTANTIATE_TEST_SUITE_P(Kinds, SetIpTable, ::testing::ValuesIn(kAddrCases));

TEST(SockAddr, HostNameResolvesToItsKindsFamily) {
    CSockAddrIPv4 v4;
    ASSERT_EQ(v4.SetIp("localhost"), 0);
    char buf[64];
    ASSERT_EQ(v4.GetIpStr(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "127.0.0.1");
    CSockAddrStorage any;
    ASSERT_EQ(any.SetIp("localhost"), 0);
    EXPECT_NE(any.GetFamily(), 0);
}

TEST(SockAddr, FailedSetIpKeepsThePreviousAddress) {
    CSockAddrIPv4 a("127.0.0.2", 81);
    EXPECT_EQ(a.SetIp("::1"), -1);
    char buf[64];
    ASSERT_EQ(a.GetIpStr(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "127.0.0.2");
    EXPECT_EQ(a.GetPort(), 81);
}

TEST(SockAddr, PortAppliesBeforeAndAfterTheAddress) {
    CSockAddrIPv6 a;
    a.SetPort(443);
    ASSERT_EQ(a.SetIp("::1"), 0);
    CSockAddrStorage s;
    ASSERT_EQ(s.SetSockAddr(a.GetSockAddr(), a.GetSockAddrLen()), 0);
    EXPECT_EQ(s.GetPort(), 443);
    a.SetPort(8443);
    ASSERT_EQ(s.SetSockAddr(a.GetSockAddr(), a.GetSockAddrLen()), 0);
    EXPECT_EQ(s.GetPort(), 8443);
}

TEST(SockAddr, GetIpStrRefusesAShortBuffer) {
    CSockAddrIPv4 a("192.168.100.200", 1);
    char buf[16];
    EXPECT_EQ(a.GetIpStr(buf, 15), -1);
    EXPECT_EQ(a.GetIpStr(buf, 16), 0);
    EXPECT_STREQ(buf, "192.168.100.200");
}

TEST(SockAddr, SetSockAddrChecksTheKindsFamily) {
    CSockAddrIPv6 six("::1", 5);
    CSockAddrIPv4 four;
    EXPECT_EQ(four.SetSockAddr(six.GetSockAddr(), six.GetSockAddrLen()), -1);
    EXPECT_EQ(four.SetSockAddr(six.GetSockAddr(), 4), -1);
    CSockAddrStorage s;
    s = six;
    EXPECT_EQ(s.GetFamily(), 6);
    EXPECT_EQ(s.GetPort(), 5);
    EXPECT_EQ(s.GetType(), CSockAddr::TYPE_STORAGE);
}

// Waits a bounded time for the connect outcome.
int wait_status(CSockStream& s) {
    int st = -1;
    for (int i = 0; i < 2000 && st == -1; ++i) {
        st = s.GetConnectStatus();
        if (st == -1)
            corvio_test::SleepMs(1);
    }
    return st;
}

class StreamFamilies : public ::testing::TestWithParam<int> {};

TEST_P(StreamFamilies, ConnectSendRecvThenEndOfFileIsNegative) {
    TcpListener l(GetParam());
    if (!l.Valid())
        GTEST_SKIP() << "no loopback of this family";
    CSockAddrStorage addr;
    ASSERT_EQ(addr.SetIp(l.Host()), 0);
    addr.SetPort(l.Port());
    CSockStream s;
    ASSERT_EQ(s.Connect(addr, nullptr), 0);
    int peer = l.Accept(2000);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(wait_status(s), 0);

    char buf[16];
    EXPECT_EQ(s.Recv(buf, sizeof(buf)), 0);  // nothing now
    EXPECT_EQ(s.Send("ping", 4), 4);
    char pbuf[4];
    ASSERT_EQ(corvio_test::ReadFor(peer, pbuf, 4, 2000), 4);
    ASSERT_TRUE(corvio_test::WriteAll(peer, "pong", 4));
    int n = 0;
    ASSERT_TRUE(corvio_test::WaitUntil([&] { return (n = s.Recv(buf, sizeof(buf))) != 0; }, 2000));
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "pong");
    CloseSocket(peer);
    ASSERT_TRUE(corvio_test::WaitUntil([&] { return (n = s.Recv(buf, sizeof(buf))) != 0; }, 2000));
    EXPECT_LT(n, 0);
    EXPECT_LT(s.Recv(buf, sizeof(buf)), 0);  // stays negative
    char text[128];
    EXPECT_STREQ(s.GetErrorText(text, sizeof(text)), "connection closed by peer");
}
INSTANTIATE_TEST_SUITE_P(Loopback, StreamFamilies, ::testing::Values(4, 6));

TEST(SockStream, RefusedConnectIsMinusTwoWithAText) {
    CSockAddrIPv4 addr("127.0.0.1", TcpListener::ClosedPort(4));
    CSockStream s;
    ASSERT_EQ(s.Connect(addr, nullptr), 0);
    EXPECT_EQ(wait_status(s), -2);
    EXPECT_EQ(s.GetConnectStatus(), -2);
    char text[128];
    EXPECT_NE(std::string(s.GetErrorText(text, sizeof(text))).find("refused"), std::string::npos)
        << text;
}

TEST(SockStream, ConnectFailsAtOnceForBadArguments) {
    CSockStream s;
    CSockAddrIPv4 unset;
    EXPECT_LT(s.Connect(unset, nullptr), 0);
    CSockAddrIPv4 remote("127.0.0.1", 1);
    CSockAddrIPv6 local("::1", 0);
    EXPECT_LT(s.Connect(remote, &local), 0);
    EXPECT_EQ(s.GetHandle(), -1);
    EXPECT_EQ(s.GetConnectStatus(), -2);
}

TEST(SockStream, DetachHandsTheDescriptorOutAndAdoptTakesItBack) {
    TcpListener l(4);
    ASSERT_TRUE(l.Valid());
    int client = corvio_test::TcpConnect(4, l.Port());
    ASSERT_GE(client, 0);
    int peer = l.Accept(2000);
    ASSERT_GE(peer, 0);
    int fd;
    {
        CSockStream adopted(client);
        EXPECT_EQ(adopted.GetConnectStatus(), 0);
        char buf[4];
        EXPECT_EQ(adopted.Recv(buf, sizeof(buf)), 0);  // made non-blocking
        fd = adopted.Detach();
        EXPECT_EQ(fd, client);
        EXPECT_EQ(adopted.GetHandle(), -1);
        EXPECT_EQ(adopted.Detach(), -1);
    }
    // Still open after the object is gone: the peer sees our bytes.
    ASSERT_TRUE(corvio_test::WriteAll(fd, "x", 1));
    char c = 0;
    EXPECT_EQ(corvio_test::ReadFor(peer, &c, 1, 2000), 1);
    CloseSocket(fd);
    CloseSocket(peer);
}

}  // namespace
