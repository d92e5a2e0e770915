// 1,000 client handlers on loopback connections, opened, fed and closed in
// parallel from several threads, against 1,000 echoing server handlers on
// the same reactor. Every handle_close runs once, nothing follows it, no
// handler is left open.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "Sablon/NetHandler.h"
#include "Sablon/Reactor.h"
#include "Sablon/Sock.h"
#include "Sablon/SockAddr.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using corvio_test::Record;
using corvio_test::RecordingHandler;
using corvio_test::WaitUntil;

namespace {

constexpr int kConns = 1000;
constexpr int kMsg = 64;

void raise_fd_limit(rlim_t want) {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return;
    if (rl.rlim_cur < want) {
        rl.rlim_cur = rl.rlim_max < want ? rl.rlim_max : want;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// Owns its stream; deletes it in handle_close.
RecordingHandler* make(const std::shared_ptr<Record>& rec, CSockStream* s) {
    auto* h = new RecordingHandler(rec);
    h->on_close = [s](RecordingHandler* self) {
        self->RemoveSock(*s);
        delete s;
    };
    return h;
}

TEST(Stress, ThousandConnectionsOpenedFedAndClosedInParallel) {
    raise_fd_limit(4 * kConns + 256);
    corvio_test::TcpListener listener(4, kConns);
    ASSERT_TRUE(listener.Valid());
    CSockAddrIPv4 addr("127.0.0.1", listener.Port());

    std::vector<std::shared_ptr<Record>> client_recs(kConns), server_recs(kConns);
    for (auto& r : client_recs)
        r = std::make_shared<Record>();
    for (auto& r : server_recs)
        r = std::make_shared<Record>();
    std::atomic<int> echoed{0}, answered{0}, accepted{0}, refused{0};
    std::vector<RecordingHandler*> clients(kConns, nullptr);

    // Server side: echo handlers on accepted connections; they close when
    // the client's close reaches their input.
    std::thread acceptor([&] {
        for (int i = 0; i < kConns; ++i) {
            int fd = listener.Accept(5000);
            if (fd < 0)
                break;
            CSockStream* s = new CSockStream(fd);
            RecordingHandler* h = make(server_recs[i], s);
            h->on_input = [s, &echoed](RecordingHandler* self, int) {
                char buf[256];
                for (;;) {
                    int n = s->Recv(buf, sizeof(buf));
                    if (n == 0)
                        return 0;
                    if (n < 0) {
                        self->Close();
                        return -1;
                    }
                    if (s->Send(buf, n) != n)
                        ADD_FAILURE() << "echo cut short";
                    echoed += n;
                }
            };
            if (h->RegisterSock(*s, CNetHandler::MASK_INPUT, 10000000) != 0)
                ++refused;
            ++accepted;
        }
    });

    // Client side, opened from four threads at once. A client sends its
    // message once connected and closes itself when the echo is complete;
    // every third one is also closed from the opening thread, racing.
    auto open_range = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            CSockStream* s = new CSockStream;
            RecordingHandler* h = make(client_recs[i], s);
            auto got = std::make_shared<int>(0);
            // Those closed by the opener never close themselves, so the opener's
            // Close() always meets a live handler.
            const bool self_close = i % 3 != 0;
            h->on_output = [s, i, self_close](RecordingHandler* self, int) {
                int st = s->GetConnectStatus();
                if (st == -1)
                    return 0;
                if (st != 0) {
                    ADD_FAILURE() << "connect " << i << " failed";
                    if (self_close)
                        self->Close();
                    return -1;
                }
                self->UnregisterSock(*s, CNetHandler::MASK_OUTPUT);
                char msg[kMsg];
                for (int k = 0; k < kMsg; ++k)
                    msg[k] = static_cast<char>(i + k);
                if (s->Send(msg, kMsg) != kMsg)
                    ADD_FAILURE() << "send cut short";
                return 0;
            };
            h->on_input = [s, got, i, self_close, &answered](RecordingHandler* self, int) {
                char buf[kMsg];
                int n = s->Recv(buf, sizeof(buf));
                if (n == 0)
                    return 0;
                if (n < 0) {
                    if (self_close)
                        self->Close();
                    return -1;
                }
                for (int k = 0; k < n; ++k)
                    if (buf[k] != static_cast<char>(i + *got + k))
                        ADD_FAILURE() << "echo garbled";
                *got += n;
                if (*got == kMsg) {
                    ++answered;
                    if (self_close)
                        self->Close();
                }
                return 0;
            };
            clients[i] = h;
            if (s->Connect(addr, nullptr) != 0 || h->RegisterSock(*s, 3, 10000000) != 0) {
                ADD_FAILURE() << "could not start " << i;
                if (self_close)
                    h->Close();
            }
            if (!self_close)
                h->Close();
        }
    };
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t)
        openers.emplace_back(open_range, t * kConns / 4, (t + 1) * kConns / 4);
    for (auto& t : openers)
        t.join();

    for (auto& r : client_recs)
        ASSERT_TRUE(WaitUntil([&] { return r->closes.load() == 1; }, 20000));
    acceptor.join();
    EXPECT_EQ(accepted.load(), kConns);
    EXPECT_EQ(refused.load(), 0);
    for (int i = 0; i < accepted.load(); ++i)
        ASSERT_TRUE(WaitUntil([&] { return server_recs[i]->closes.load() == 1; }, 20000));
    corvio_test::SleepMs(20);
    // Two thirds were left to finish their exchange.
    EXPECT_GE(answered.load(), kConns * 2 / 3);
    for (int i = 0; i < kConns; ++i) {
        for (auto* r : {client_recs[i].get(), server_recs[i].get()}) {
            EXPECT_EQ(r->closes.load(), 1);
            EXPECT_EQ(r->after_close.load(), 0);
            EXPECT_EQ(r->overlaps.load(), 0);
            EXPECT_EQ(r->wrong_thread.load(), 0);
        }
    }
    EXPECT_TRUE(WaitUntil([] { return CReactor::OpenHandlers() == 0; }, 5000));
}

}  // namespace
