// 1,000 client handlers on loopback connections, opened, fed and closed in
// parallel from several threads, against 1,000 echoing server handlers on
// the same reactor. Every handle_close runs once, nothing follows it, no
// handler is left open.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "Sablon/Reactor.h"
#include "Sablon/Sock.h"
#include "Sablon/SockAddr.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using namespace corvio_test;

namespace {

constexpr int kConns = 1000;
constexpr int kMsg = 64;

// A handler owning `s`; its input reads into `got` (echoing it with `echo`)
// and the peer's close ends the socket, and the handler when `self_close`.
RecordingHandler* Make(const std::shared_ptr<Record>& rec, CSockStream* s, bool echo,
                       bool self_close, std::function<void(RecordingHandler*, int)> got) {
    auto* h = new RecordingHandler(rec);
    h->on_close = [s](RecordingHandler* self) {
        self->RemoveSock(*s);
        delete s;
    };
    h->on[Record::INPUT] = [=](RecordingHandler* self, int) {
        char buf[kMsg];
        for (int n; (n = s->Recv(buf, sizeof(buf))) != 0;) {
            if (n < 0)
                return self_close ? (self->Close(), -1) : -1;
            if (echo && s->Send(buf, n) != n)
                ADD_FAILURE() << "echo cut short";
            for (int k = 0; k < n; ++k)
                got(self, buf[k]);
        }
        return 0;
    };
    return h;
}

TEST(Stress, ThousandConnectionsOpenedFedAndClosedInParallel) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 4 * kConns + 256) {
        rl.rlim_cur = rl.rlim_max < 4 * kConns + 256 ? rl.rlim_max : 4 * kConns + 256;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    TcpListener listener(4, kConns);
    ASSERT_TRUE(listener.Valid());
    CSockAddrIPv4 addr("127.0.0.1", listener.Port());
    std::vector<std::shared_ptr<Record>> recs(2 * kConns);
    for (auto& r : recs)
        r = std::make_shared<Record>();
    std::atomic<int> answered{0}, accepted{0};

    // Server side: echo handlers that close when the client's close arrives.
    std::thread acceptor([&] {
        for (int fd; accepted < kConns && (fd = listener.Accept(5000)) >= 0; ++accepted) {
            auto* s = new CSockStream(fd);
            auto* h = Make(recs[kConns + accepted], s, true, true, [](RecordingHandler*, int) {});
            EXPECT_EQ(h->RegisterSock(*s, CNetHandler::MASK_INPUT, 10000000), 0);
        }
    });
    // Client side, opened from four threads. A client sends its message once
    // connected and closes itself when the echo is complete; every third is
    // closed by its opener at once instead, racing with its events.
    auto open_range = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            auto* s = new CSockStream;
            const bool self_close = i % 3 != 0;
            auto seen = std::make_shared<int>(0);
            auto* h =
                Make(recs[i], s, false, self_close, [=, &answered](RecordingHandler* self, int c) {
                    if (c != static_cast<char>(i + (*seen)++))
                        ADD_FAILURE() << "echo garbled";
                    if (*seen == kMsg && ++answered && self_close)
                        self->Close();
                });
            h->on[Record::OUTPUT] = [s, i](RecordingHandler* self, int) {
                const int st = s->GetConnectStatus();
                if (st == -1)
                    return 0;
                EXPECT_EQ(st, 0) << "connect " << i;
                self->UnregisterSock(*s, CNetHandler::MASK_OUTPUT);
                char msg[kMsg];
                for (int k = 0; k < kMsg; ++k)
                    msg[k] = static_cast<char>(i + k);
                EXPECT_EQ(s->Send(msg, kMsg), kMsg);
                return 0;
            };
            EXPECT_EQ(s->Connect(addr, nullptr), 0);
            EXPECT_EQ(h->RegisterSock(*s, 3, 10000000), 0);
            if (!self_close)
                h->Close();
        }
    };
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t)
        openers.emplace_back(open_range, t * kConns / 4, (t + 1) * kConns / 4);
    for (auto& t : openers)
        t.join();
    for (int i = 0; i < kConns; ++i)
        ASSERT_TRUE(WaitUntil([&] { return recs[i]->closes.load() == 1; }, 20000)) << i;
    acceptor.join();
    EXPECT_EQ(accepted.load(), kConns);
    for (auto& r : recs)
        ASSERT_TRUE(WaitUntil([&] { return r->closes.load() == 1; }, 20000));
    SleepMs(20);
    EXPECT_GE(answered.load(), kConns * 2 / 3);  // those left to finish their exchange
    for (auto& r : recs)
        EXPECT_EQ(r->closes.load() * 1000 + r->after_close + r->overlaps + r->wrong_thread, 1000);
    EXPECT_TRUE(WaitUntil([] { return CReactor::OpenHandlers() == 0; }, 5000));
}

}  // namespace
