// Socket addresses as rows of tests/data/net_sock.txt, and the non-blocking
// TCP stream over loopback: connect outcome, "nothing now" against end of
// file, Detach.
#include "Sablon/Sock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "Sablon/SockAddr.h"
#include "support/CaseFile.h"
#include "support/TcpListener.h"

using namespace Halvex::Sablon;
using namespace corvio_test;

namespace {

std::unique_ptr<CSockAddr> Make(const std::string& kind) {
    if (kind == "4")
        return std::unique_ptr<CSockAddr>(new CSockAddrIPv4);
    if (kind == "6")
        return std::unique_ptr<CSockAddr>(new CSockAddrIPv6);
    return std::unique_ptr<CSockAddr>(new CSockAddrStorage);
}

TEST(SockAddr, SetIpTable) {
    for (const Case& c : LoadCases("net_sock.txt", "setip", 6)) {
        SCOPED_TRACE(c.where);
        auto a = Make(c[0]);
        a->SetPort(8080);
        if (c[1] != "-")
            ASSERT_EQ(a->SetIp(c.str(1)), 0);
        EXPECT_EQ(a->SetIp(c.str(2)), c.num(3));
        char buf[64];
        if (c[4] == "-") {
            EXPECT_FALSE(a->IsSet());
            EXPECT_EQ(a->GetIpStr(buf, sizeof(buf)), -1);
            EXPECT_EQ(a->GetSockAddr(), nullptr);
            continue;
        }
        ASSERT_EQ(a->GetIpStr(buf, sizeof(buf)), 0);
        const int len = static_cast<int>(strlen(buf));
        EXPECT_TRUE(c[4] == "*" || c[4] == buf) << buf;
        EXPECT_TRUE(c[5] == "*" || a->GetFamily() == c.num(5)) << a->GetFamily();
        EXPECT_EQ(a->GetIpStr(buf, len), -1);
        EXPECT_EQ(a->GetIpStr(buf, len + 1), 0);
        a->SetPort(8443);  // the port applies after the address too
        for (const char* kind : {"4", "6", "any"}) {
            auto b = Make(kind);
            const bool fits = kind[0] == 'a' || kind[0] == '0' + a->GetFamily();
            EXPECT_EQ(b->SetSockAddr(a->GetSockAddr(), a->GetSockAddrLen()), fits ? 0 : -1);
            EXPECT_EQ(b->SetSockAddr(a->GetSockAddr(), 4), -1);
            EXPECT_EQ(b->GetPort(), fits ? 8443 : 0);
        }
        CSockAddrStorage copy;
        copy = *a;
        EXPECT_EQ(copy.GetFamily() * 100000 + copy.GetPort(), a->GetFamily() * 100000 + 8443);
        EXPECT_EQ(copy.GetType(), CSockAddr::TYPE_STORAGE);
    }
}

int WaitStatus(CSockStream& s) {
    int st = -1;
    for (int i = 0; i < 2000 && (st = s.GetConnectStatus()) == -1; ++i)
        SleepMs(1);
    return st;
}

std::string ErrorText(const CSockStream& s) {
    char text[128];
    return s.GetErrorText(text, sizeof(text));
}

TEST(SockStream, ConnectSendRecvThenEndOfFileIsNegative) {
    for (int family : {4, 6}) {
        TcpListener l(family);
        if (!l.Valid())
            continue;  // no loopback of this family
        CSockAddrStorage addr;
        ASSERT_EQ(addr.SetIp(l.Host()), 0);
        addr.SetPort(l.Port());
        CSockStream s;
        ASSERT_EQ(s.Connect(addr, nullptr), 0);
        const int peer = l.Accept(2000);
        ASSERT_GE(peer, 0);
        ASSERT_EQ(WaitStatus(s), 0);
        char buf[16];
        EXPECT_EQ(s.Recv(buf, sizeof(buf)), 0);  // nothing now
        EXPECT_EQ(s.Send("ping", 4), 4);
        ASSERT_EQ(ReadFor(peer, buf, 4, 2000), 4);
        ASSERT_TRUE(WriteAll(peer, "pong", 4));
        int n = 0;
        ASSERT_TRUE(WaitUntil([&] { return (n = s.Recv(buf, sizeof(buf))) != 0; }, 2000));
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "pong");
        CloseSocket(peer);
        ASSERT_TRUE(WaitUntil([&] { return (n = s.Recv(buf, sizeof(buf))) != 0; }, 2000));
        EXPECT_LT(n, 0);
        EXPECT_LT(s.Recv(buf, sizeof(buf)), 0);  // stays negative
        EXPECT_EQ(ErrorText(s), "connection closed by peer");
    }
}

TEST(SockStream, RefusedAndImpossibleConnects) {
    CSockAddrIPv4 addr("127.0.0.1", TcpListener::ClosedPort(4));
    CSockStream s;
    ASSERT_EQ(s.Connect(addr, nullptr), 0);
    EXPECT_EQ(WaitStatus(s), -2);
    EXPECT_EQ(s.GetConnectStatus(), -2);
    EXPECT_NE(ErrorText(s).find("refused"), std::string::npos) << ErrorText(s);
    EXPECT_LT(s.Connect(addr, nullptr), 0);  // already has a descriptor

    CSockStream t;
    CSockAddrIPv4 unset;
    EXPECT_LT(t.Connect(unset, nullptr), 0);
    CSockAddrIPv6 local("::1", 0);
    EXPECT_LT(t.Connect(addr, &local), 0);
    EXPECT_EQ(t.GetHandle(), -1);
    EXPECT_EQ(t.GetConnectStatus(), -2);
}

TEST(SockStream, DetachHandsTheDescriptorOutAndAdoptTakesItBack) {
    TcpListener l(4);
    ASSERT_TRUE(l.Valid());
    const int client = TcpConnect(4, l.Port());
    ASSERT_GE(client, 0);
    const int peer = l.Accept(2000);
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
    ASSERT_TRUE(WriteAll(fd, "x", 1));  // still open after the object is gone
    char c = 0;
    EXPECT_EQ(ReadFor(peer, &c, 1, 2000), 1);
    CloseSocket(fd);
    CloseSocket(peer);
}

}  // namespace
