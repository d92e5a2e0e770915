// The reactor over loopback: connect outcome through output events, per-
// direction time-outs, the peer's close reaching input, registration
// failures (out of memory too), the -1 result, message delivery rules, a
// handler that throws and handle_close.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include <unistd.h>

#include "Mardel/Time.h"
#include "Sablon/NetHandler.h"
#include "Sablon/Reactor.h"
#include "Sablon/Sock.h"
#include "Sablon/SockAddr.h"
#include "Sablon/SockIo.h"
#include "support/FailAlloc.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using corvio_test::CloseSocket;
using corvio_test::Record;
using corvio_test::RecordingHandler;
using corvio_test::SocketPair;
using corvio_test::TcpListener;
using corvio_test::WaitUntil;
using corvio_test::WriteAll;
using Halvex::Mardel::CTime;

namespace {

// A handler with a stream it owns.
struct Conn {
    std::shared_ptr<Record> rec = std::make_shared<Record>();
    RecordingHandler* h = new RecordingHandler(rec);
    CSockStream* stream = new CSockStream;
    Conn() {
        rec->caller = std::this_thread::get_id();
        h->on_close = [s = stream](RecordingHandler* self) {
            self->RemoveSock(*s);
            delete s;
        };
    }
    void Close() {
        h->Close();
        EXPECT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 5000));
    }
};

struct ConnectCase {
    int family;
    bool listening;
    int status;
};

class ConnectOutcome : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectOutcome, ReportedThroughAnOutputEvent) {
    const ConnectCase& c = GetParam();
    TcpListener l(c.family);
    if (!l.Valid())
        GTEST_SKIP() << "no loopback of this family";
    unsigned short port = l.Port();
    if (!c.listening) {
        l.Close();
    }
    CSockAddrStorage addr;
    ASSERT_EQ(addr.SetIp(l.Host()), 0);
    addr.SetPort(port);
    Conn conn;
    std::atomic<int> status{99};
    conn.h->on_output = [&, s = conn.stream](RecordingHandler*, int handle) {
        EXPECT_EQ(handle, s->GetHandle());
        int st = s->GetConnectStatus();
        if (st == -1)
            return 0;
        status = st;
        return -1;  // done with this socket
    };
    ASSERT_EQ(conn.stream->Connect(addr, nullptr), 0);
    ASSERT_EQ(conn.h->RegisterSock(*conn.stream, 6, 2000000), 0);
    ASSERT_TRUE(WaitUntil([&] { return status.load() != 99; }, 3000));
    EXPECT_EQ(status.load(), c.status);
    EXPECT_EQ(conn.rec->exception.load(), 0);
    EXPECT_EQ(conn.rec->output_timeout.load(), 0);
    conn.Close();
    EXPECT_EQ(conn.rec->on_caller_thread.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Loopback, ConnectOutcome,
                         ::testing::Values(ConnectCase{4, false, -2}, ConnectCase{6, false, -2},
                                           ConnectCase{4, true, 0}, ConnectCase{6, true, 0}));

TEST(Reactor, SilentPeerGivesTheInputTimeOutAgainAndAgain) {
    TcpListener l(4);
    CSockAddrIPv4 addr("127.0.0.1", l.Port());
    Conn conn;
    std::vector<uint64_t> at;
    std::mutex m;
    conn.h->on_input_timeout = [&](RecordingHandler*, int) {
        std::lock_guard<std::mutex> lock(m);
        at.push_back(CTime::getCurrentMilliSecond());
        return 0;
    };
    ASSERT_EQ(conn.stream->Connect(addr, nullptr), 0);
    int peer = l.Accept(2000);
    ASSERT_GE(peer, 0);
    uint64_t start = CTime::getCurrentMilliSecond();
    ASSERT_EQ(conn.h->RegisterSock(*conn.stream, CNetHandler::MASK_INPUT, 100000), 0);
    ASSERT_TRUE(WaitUntil([&] { return conn.rec->input_timeout.load() >= 3; }, 5000));
    conn.Close();
    std::lock_guard<std::mutex> lock(m);
    ASSERT_GE(at.size(), 3u);
    EXPECT_GE(at[0] - start, 90u);
    // The period restarts from the scheduled expiry, so a late first call can
    // shorten the gap between calls; the second call still comes two periods in.
    EXPECT_GE(at[1] - start, 190u);
    EXPECT_EQ(conn.rec->input.load(), 0);
    CloseSocket(peer);
}

TEST(Reactor, InputActivityRestartsOnlyTheInputTimeOut) {
    TcpListener l(4);
    CSockAddrIPv4 addr("127.0.0.1", l.Port());
    Conn conn;
    conn.h->on_input = [s = conn.stream](RecordingHandler*, int) {
        char buf[64];
        return s->Recv(buf, sizeof(buf)) < 0 ? -1 : 0;
    };
    ASSERT_EQ(conn.stream->Connect(addr, nullptr), 0);
    int peer = l.Accept(2000);
    ASSERT_GE(peer, 0);
    // Input 300 ms; exception 100 ms on the same socket.
    ASSERT_EQ(conn.h->RegisterSock(*conn.stream, CNetHandler::MASK_INPUT, 300000), 0);
    ASSERT_EQ(conn.h->RegisterSock(*conn.stream, CNetHandler::MASK_EXCEPTION, 100000), 0);
    for (int i = 0; i < 8; ++i) {
        corvio_test::SleepMs(60);
        ASSERT_TRUE(corvio_test::WriteAll(peer, "x", 1));
    }
    EXPECT_EQ(conn.rec->input_timeout.load(), 0);
    EXPECT_GE(conn.rec->exception_timeout.load(), 2);
    EXPECT_EQ(conn.rec->exception.load(), 0);
    conn.Close();
    CloseSocket(peer);
}

TEST(Reactor, PeerCloseReachesInputAsNegativeRecvNeverAsException) {
    TcpListener l(4);
    CSockAddrIPv4 addr("127.0.0.1", l.Port());
    Conn conn;
    std::atomic<int> last{1};
    std::atomic<int> bytes{0};
    conn.h->on_input = [&, s = conn.stream](RecordingHandler*, int) {
        char buf[4];
        int n = s->Recv(buf, sizeof(buf));
        if (n > 0)
            bytes += n;
        last = n;
        return n < 0 ? -1 : 0;
    };
    ASSERT_EQ(conn.stream->Connect(addr, nullptr), 0);
    int peer = l.Accept(2000);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(conn.h->RegisterSock(*conn.stream, 5, 2000000), 0);
    ASSERT_TRUE(corvio_test::WriteAll(peer, "0123456789", 10));
    CloseSocket(peer);
    ASSERT_TRUE(WaitUntil([&] { return last.load() < 0; }, 3000));
    EXPECT_EQ(bytes.load(), 10);
    corvio_test::SleepMs(50);
    EXPECT_EQ(conn.rec->exception.load(), 0);
    int inputs = conn.rec->input.load();
    corvio_test::SleepMs(50);
    EXPECT_EQ(conn.rec->input.load(), inputs);  // -1 removed the socket
    conn.Close();
}

TEST(Reactor, ExceptionAloneReportsAResetConnection) {
    TcpListener l(4);
    CSockAddrIPv4 addr("127.0.0.1", l.Port());
    Conn conn;
    ASSERT_EQ(conn.stream->Connect(addr, nullptr), 0);
    int peer = l.Accept(2000);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(conn.h->RegisterSock(*conn.stream, CNetHandler::MASK_EXCEPTION, 0), 0);
    ASSERT_TRUE(corvio_test::WriteAll(peer, "data", 4));  // data is no exception
    corvio_test::SleepMs(50);
    EXPECT_EQ(conn.rec->exception.load(), 0);
    linger lg{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
    CloseSocket(peer);  // reset
    EXPECT_TRUE(WaitUntil([&] { return conn.rec->exception.load() >= 1; }, 3000));
    conn.Close();
}

// A handler that stays alive after handle_close, for checks made after
// Close() returns.
struct Plain : CNetHandler {
    std::atomic<int> closes{0};
    std::atomic<int> messages{0};
    int handle_message(long, unsigned int, long) override {
        ++messages;
        return 0;
    }
    int handle_close(CNetHandler* h) override {
        EXPECT_EQ(h, this);
        ++closes;
        return 0;
    }
};

TEST(Reactor, RegistrationFailuresReturnMinusOne) {
    Plain h;
    CSockStream none;
    EXPECT_EQ(h.RegisterSock(none, 1, 0), -1);
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    CSock file(dup(fileno(f)));
    fclose(f);
    EXPECT_EQ(h.RegisterSock(file, 1, 0), -1);  // a regular file cannot be watched
    int sv[2];
    ASSERT_EQ(SocketPair(sv), 0);
    CSockStream a(sv[0]), b(sv[1]);
    EXPECT_EQ(h.RegisterSock(a, 8, 0), -1);
    EXPECT_EQ(h.UnregisterSock(a, 1), -1);  // not registered
    int refused[2];
    {
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        refused[0] = h.RegisterSock(a, 1, 0);    // no memory for its record
        refused[1] = h.Notify(h.GetID(), 1, 0);  // nor for the message
    }
    EXPECT_EQ(refused[0], -1);
    EXPECT_EQ(refused[1], -1);
    EXPECT_EQ(h.RegisterSock(a, 1, 0), 0);
    EXPECT_EQ(h.RemoveSock(a), 0);
    EXPECT_EQ(h.RemoveSock(a), 0);  // twice is harmless
    EXPECT_EQ(h.Close(), 0);
    EXPECT_EQ(h.Close(), 0);
    EXPECT_EQ(h.RegisterSock(a, 1, 0), -1);  // closed handler
    ASSERT_TRUE(WaitUntil([&] { return h.closes.load() == 1; }, 5000));
    corvio_test::SleepMs(20);
    EXPECT_EQ(h.closes.load(), 1);
}

TEST(Reactor, IdsAreUniqueAndNonZero) {
    Plain a, b;
    EXPECT_NE(a.GetID(), 0);
    EXPECT_NE(a.GetID(), b.GetID());
    a.Close();
    b.Close();
    ASSERT_TRUE(WaitUntil([&] { return a.closes + b.closes == 2; }, 5000));
}

TEST(Reactor, NotifyPostsAndDropsMessagesToClosedOrUnknownIds) {
    auto rec = std::make_shared<Record>();
    rec->caller = std::this_thread::get_id();
    RecordingHandler* target = new RecordingHandler(rec);
    Plain from;
    long id = target->GetID();
    EXPECT_EQ(from.Notify(id, 7, 70), 0);
    ASSERT_TRUE(WaitUntil([&] { return rec->Messages().size() == 1; }, 3000));
    auto m = rec->Messages()[0];
    EXPECT_EQ(m.from, from.GetID());
    EXPECT_EQ(m.msg, 7u);
    EXPECT_EQ(m.param, 70);
    EXPECT_EQ(rec->on_caller_thread.load(), 0);

    EXPECT_EQ(from.Notify(0, 1, 0), -1);
    EXPECT_EQ(from.Notify(id + 1000000, 1, 0), -1);  // unknown
    target->Close();
    EXPECT_EQ(from.Notify(id, 8, 0), -1);  // closing: dropped
    ASSERT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 3000));
    EXPECT_EQ(from.Notify(id, 9, 0), -1);  // closed
    corvio_test::SleepMs(20);
    EXPECT_EQ(rec->Messages().size(), 1u);
    EXPECT_EQ(rec->after_close.load(), 0);
    from.Close();
    ASSERT_TRUE(WaitUntil([&] { return from.closes.load() == 1; }, 3000));
}

// A message a handler posts to itself is never run in place, and runs only
// after the loop has polled its sockets again: a socket that became ready
// meanwhile is served before the next link of a chain of such messages. A
// handler that throws (message 3) does not end the process or its loop.
TEST(Reactor, NotifyFromInsideAHandlerIsPostedNotRunInPlace) {
    const unsigned kChain = 200;
    auto rec = std::make_shared<Record>();
    RecordingHandler* self = new RecordingHandler(rec);
    int sv[2];
    ASSERT_EQ(corvio_test::SocketPair(sv), 0);
    CSockStream* mine = new CSockStream(sv[0]);
    std::atomic<int> depth{0};
    std::atomic<int> nested{0};
    std::atomic<unsigned> seen{0}, seen_at_input{0};
    self->on_message = [&](RecordingHandler* h, const corvio_test::NetMessage& m) {
        if (++depth > 1)
            ++nested;
        seen = m.msg;
        if (m.msg == 1)
            EXPECT_TRUE(corvio_test::WriteAll(sv[1], "x", 1));
        if (m.msg < kChain)
            h->Notify(h->GetID(), m.msg + 1, 0);
        --depth;
        if (m.msg == 3)
            throw std::runtime_error("handler fault");
    };
    self->on_input = [&](RecordingHandler*, int) {
        seen_at_input = seen.load();
        return -1;
    };
    self->on_close = [mine](RecordingHandler* h) {
        h->RemoveSock(*mine);
        delete mine;
    };
    ASSERT_EQ(self->RegisterSock(*mine, CNetHandler::MASK_INPUT, 0), 0);
    Plain from;
    ASSERT_EQ(from.Notify(self->GetID(), 1, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return rec->Messages().size() == kChain; }, 3000));
    EXPECT_EQ(nested.load(), 0);
    EXPECT_EQ(rec->input.load(), 1);
    EXPECT_LT(seen_at_input.load(), 5u) << "the input waited for the chain of messages";
    self->Close();
    from.Close();
    ASSERT_TRUE(WaitUntil([&] { return rec->closes == 1 && from.closes == 1; }, 3000));
    CloseSocket(sv[1]);
}

TEST(Reactor, QueuedMessagesAreDroppedWhenCloseComesFirst) {
    auto rec = std::make_shared<Record>();
    RecordingHandler* target = new RecordingHandler(rec);
    Plain from;
    // Keep the target's loop busy so the messages stay queued.
    std::atomic<bool> release{false};
    Plain blocker;
    RecordingHandler* busy = nullptr;
    std::vector<std::shared_ptr<Record>> spare;
    for (int i = 0; i < 64 && busy == nullptr; ++i) {
        spare.push_back(std::make_shared<Record>());
        auto* b = new RecordingHandler(spare.back());
        if (CReactor::LoopIndexOf(b) == CReactor::LoopIndexOf(target))
            busy = b;
        else
            b->Close();
    }
    ASSERT_NE(busy, nullptr);
    busy->on_message = [&](RecordingHandler*, const corvio_test::NetMessage&) {
        while (!release.load())
            corvio_test::SleepMs(1);
    };
    ASSERT_EQ(blocker.Notify(busy->GetID(), 1, 0), 0);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(from.Notify(target->GetID(), 100 + i, 0), 0);
    target->Close();
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 3000));
    EXPECT_TRUE(rec->Messages().empty());
    busy->Close();
    from.Close();
    blocker.Close();
    ASSERT_TRUE(WaitUntil([&] { return from.closes + blocker.closes == 2; }, 3000));
}

}  // namespace
