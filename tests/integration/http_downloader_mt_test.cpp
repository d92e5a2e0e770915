// The downloader across threads.
#include <future>
#include <list>

#include "http_downloader_harness.h"

using namespace dltest;

namespace {

// A waiter on another thread returns false when the downloader closes.
TEST(WaitBufferSize, FalseWhenTheDownloaderCloses) {
    Owner* owner = new Owner();
    CHttpDownloader* dl = CHttpDownloader::Create(owner->GetID());
    // Never started: no sender comes.
    auto waiter = std::async(std::launch::async, [&] { return dl->WaitBufferSize(100); });
    Settle(100);
    dl->Close();
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_FALSE(waiter.get());
    Settle(50);
    EXPECT_EQ(owner->Ends(), 0);
    owner->Shutdown();
    delete owner;
}

TEST(Parallel, ManyDownloadsEachOneEndNotice) {
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n";
    const Step header = Step::ReadUntil("\r\n\r\n");
    LoopbackServer server(ServerOptions(false, true),
                          {{header, Step::Send(answer), Step::SendPattern(5000), header,
                            Step::Send(answer), Step::SendPattern(5000)}});
    std::vector<std::future<void>> runs;  // their destructors wait
    for (int i = 0; i < 16; ++i) {
        runs.push_back(std::async(std::launch::async, [&server] {
            Session s;
            s.dl->SetKeepAliveMode(true);
            const std::string req = "GET /q HTTP/1.1\r\nHost: x\r\n\r\n";
            ASSERT_EQ(s.Start(server, "/p", false), 0);
            ASSERT_TRUE(s.owner->WaitEnds(1));
            EXPECT_TRUE(LoopbackServer::CheckPattern(s.Body().data(), s.Body().size(), 0));
            ASSERT_EQ(s.dl->SendRequest(req.data(), static_cast<int>(req.size())), 0);
            ASSERT_TRUE(s.owner->WaitEnds(2));
            Settle();
            EXPECT_EQ(s.owner->Ends(), 2);
            EXPECT_EQ(s.owner->Ends(true), 0);
            EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_NONE);
            EXPECT_EQ(s.dl->GetCurrentContentSize(), 5000);
        }));
    }
}

TEST(Parallel, CloseDuringHandshakeOrTransfer) {
    for (bool tls : {false, true}) {
        LoopbackServer server(ServerOptions(tls, true),
                              {{Step::ReadUntil("\r\n\r\n"),
                                Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 4000000\r\n\r\n"),
                                Step::SendPattern(4000000)}});
        for (int i = 0; i < 8; ++i) {
            Session s;
            ASSERT_EQ(s.Start(server, "/big", tls), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(i));
        }
    }
}

// More TLS peers that never answer (a listener that never accepts) than loop threads hold
// no loop: good downloads beside them end first, each stalled one at its own deadline.
TEST(Parallel, SilentTlsPeersHoldNoLoop) {
    corvio_test::TcpListener silent;
    ASSERT_TRUE(silent.Valid());
    const unsigned long long kStallUs = 3000000;
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.Port()) + "/";
    std::list<Session> stuck(std::max(2u, std::thread::hardware_concurrency()) + 1);
    const auto start = std::chrono::steady_clock::now();
    for (Session& s : stuck) {
        s.dl->SetTimeout(kStallUs);
        ASSERT_EQ(s.dl->InitUseSsl(url.c_str(), ""), 0);
    }
    Settle(100);
    for (bool tls : {true, false}) {
        LoopbackServer server(ServerOptions(tls, true),
                              {{Step::ReadUntil("\r\n\r\n"),
                                Step::Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")}});
        std::list<Session> good(8);
        for (Session& g : good)
            ASSERT_EQ(g.Start(server, "/", tls), 0);
        for (Session& g : good) {
            ASSERT_TRUE(g.owner->WaitEnds(1, 2500)) << (tls ? "https" : "http");
            EXPECT_EQ(g.Body(), "ok");
        }
    }
    for (Session& s : stuck)
        EXPECT_EQ(s.owner->Ends(), 0) << "a stalled download ended before the good ones";
    for (Session& s : stuck) {
        ASSERT_TRUE(s.owner->WaitEnds(1, 5000));
        EXPECT_EQ(s.dl->GetErrorReason(), CHttpDownloader::ERROR_CONNECT);
        EXPECT_EQ(s.dl->GetResult(), nullptr);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::microseconds(kStallUs - 50000));
}

}  // namespace
