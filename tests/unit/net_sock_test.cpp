// Socket addresses and the word scanner (rows of tests/data/net_sock.txt); the
// stream's refusals at once and Detach.
#include "Sablon/Sock.h"

#include <gtest/gtest.h>

#include <cstring>

#include "Sablon/SockAddr.h"
#include "Sablon/StrParser.h"
#include "support/CaseFile.h"
#include "support/TcpListener.h"

using namespace Halvex::Sablon;
using namespace corvio_test;

namespace {

std::unique_ptr<CSockAddr> Make(const std::string& kind) {
    return std::unique_ptr<CSockAddr>(kind == "4"   ? (CSockAddr*)new CSockAddrIPv4
                                      : kind == "6" ? (CSockAddr*)new CSockAddrIPv6
                                                    : new CSockAddrStorage);
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
            EXPECT_TRUE(!a->IsSet() && a->GetIpStr(buf, sizeof(buf)) == -1 && !a->GetSockAddr());
            continue;
        }
        ASSERT_EQ(a->GetIpStr(buf, sizeof(buf)), 0);
        const int len = static_cast<int>(strlen(buf));
        EXPECT_TRUE(c[4] == "*" || c[4] == buf) << buf;
        EXPECT_TRUE(c[5] == "*" || a->GetFamily() == c.num(5)) << a->GetFamily();
        EXPECT_TRUE(a->GetIpStr(buf, len) == -1 && a->GetIpStr(buf, len + 1) == 0);
        CSockAddrStorage st;  // the port set before the address applies to it
        EXPECT_EQ(st.SetSockAddr(a->GetSockAddr(), a->GetSockAddrLen()) + st.GetPort(), 8080);
        a->SetPort(8443);  // and so does one set after it
        for (const char* kind : {"4", "6", "any"}) {
            auto b = Make(kind);
            const bool fits = kind[0] == 'a' || kind[0] == '0' + a->GetFamily();
            EXPECT_EQ(b->SetSockAddr(a->GetSockAddr(), a->GetSockAddrLen()), fits ? 0 : -1);
            EXPECT_EQ(b->SetSockAddr(a->GetSockAddr(), 4), -1);
            EXPECT_EQ(b->GetPort(), fits ? 8443 : 0);
        }
        CSockAddrStorage copy;
        copy = *a;
        EXPECT_TRUE(copy.GetFamily() == a->GetFamily() && copy.GetPort() == 8443 &&
                    copy.GetType() == CSockAddr::TYPE_STORAGE);
    }
}

TEST(StrParser, ConsumeWordTable) {
    for (const Case& c : LoadCases("net_sock.txt", "words", 4)) {
        CStrParser parser(c[0].data(), static_cast<int>(c[0].size()));
        char out[16];
        memset(out, '#', sizeof(out));
        EXPECT_EQ(parser.ConsumeWord(out, static_cast<int>(c.num(1))), c.num(2)) << c.where;
        EXPECT_EQ(std::string(out, strnlen(out, sizeof(out))), c[3]) << c.where;
    }
}

// Connect's own refusals; the outcomes over loopback are rows of
// tests/data/net_reactor.txt.
TEST(SockStream, ConnectRefusesAtOnce) {
    CSockAddrIPv4 addr("127.0.0.1", TcpListener::ClosedPort(4));
    CSockStream s;
    ASSERT_EQ(s.Connect(addr, nullptr), 0);
    EXPECT_LT(s.Connect(addr, nullptr), 0);  // already has a descriptor
    CSockStream t;
    CSockAddrIPv4 unset;
    EXPECT_LT(t.Connect(unset, nullptr), 0);
    TcpListener busy(4);
    CSockAddrIPv6 local("::1", 0);
    CSockAddrIPv4 taken("127.0.0.1", busy.Port());  // bind fails: a listener holds the port
    EXPECT_TRUE(t.Connect(addr, &local) < 0 && t.Connect(addr, &taken) < 0);
    EXPECT_TRUE(t.GetHandle() == -1 && t.GetConnectStatus() == -2);
}

TEST(SockStream, DetachHandsTheDescriptorOutAndAdoptTakesItBack) {
    TcpListener l(4);
    const int client = TcpConnect(4, l.Port()), peer = l.Accept(2000);
    ASSERT_TRUE(l.Valid() && client >= 0 && peer >= 0);
    int fd;
    {
        CSockStream adopted(client);
        EXPECT_EQ(adopted.GetConnectStatus(), 0);
        char buf[4];
        EXPECT_EQ(adopted.Recv(buf, sizeof(buf)), 0);  // made non-blocking
        fd = adopted.Detach();
        EXPECT_TRUE(fd == client && adopted.GetHandle() == -1 && adopted.Detach() == -1);
    }
    ASSERT_TRUE(WriteAll(fd, "x", 1));  // still open after the object is gone
    char c = 0;
    EXPECT_EQ(ReadFor(peer, &c, 1, 2000), 1);
    CloseSocket(fd), CloseSocket(peer);
}

}  // namespace
