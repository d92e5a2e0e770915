// The reactor across threads: Close() racing with events and messages,
// messages across loops, and a process leaving main with handlers open.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "Corvio/CHttpDownloader.h"
#include "Sablon/Reactor.h"
#include "Sablon/StreamSender.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using namespace corvio_test;

namespace {

// Handlers opened from four threads, each ended while events and messages
// flow by (i % 4) the test's thread, itself in its next message, itself when
// its peer closes, its opener right after registering it.
TEST(CloseRace, CloseWhileEventsAndMessagesFlow) {
    const int kHandlers = 200;
    std::vector<std::shared_ptr<Record>> recs(kHandlers);
    std::vector<RecordingHandler*> hs(kHandlers);
    std::vector<int> peers(kHandlers);
    std::vector<long> ids(kHandlers);
    auto open = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            int sv[2];
            ASSERT_EQ(SocketPair(sv, true), 0);
            peers[i] = sv[1];
            auto* h = hs[i] = new RecordingHandler(recs[i] = std::make_shared<Record>());
            auto* s = h->stream = new CSockStream(sv[0]);
            h->on[Record::INPUT] = [s, i](RecordingHandler* self, int) {
                char buf[256];
                return s->Recv(buf, sizeof(buf)) >= 0 ? 0 : i % 4 == 2 ? (self->Close(), -1) : -1;
            };
            if (i % 4 == 1)
                h->on_message = [](RecordingHandler* self, const NetMessage&) { self->Close(); };
            ids[i] = h->GetID();
            // Output is always ready: events never stop.
            EXPECT_EQ(h->RegisterSock(*s, 3, 1000000), 0);
            if (i % 4 == 3)
                h->Close();
        }
    };
    std::vector<std::thread> openers;
    for (int t = 0; t < 4; ++t)
        openers.emplace_back(open, t * kHandlers / 4, (t + 1) * kHandlers / 4);
    for (auto& t : openers)
        t.join();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load())
            for (int i = 0; i < kHandlers; ++i)
                if (i % 4 != 2)
                    WriteAll(peers[i], "abc", 3);
    });
    KeptHandler from;
    std::thread notifier([&] {
        for (unsigned int seq = 0; !stop.load();)
            for (long id : ids)
                from.Notify(id, 1, seq++);
    });
    for (int i = 0; i < kHandlers; i += 4) {
        SleepMs(1);
        hs[i]->Close();
        CloseSocket(peers[i + 2]);
    }
    for (auto& r : recs)
        EXPECT_TRUE(WaitUntil([&] { return r->closes.load() == 1; }, 10000));
    stop = true;
    writer.join();
    notifier.join();
    SleepMs(20);
    for (int i = 0; i < kHandlers; ++i) {
        EXPECT_TRUE(recs[i]->closes.load() == 1 && recs[i]->faults == 0) << i;
        if (i % 4 != 2)
            CloseSocket(peers[i]);
    }
    from.Close();
    EXPECT_TRUE(WaitUntil([&] { return from.closes.load() == 1; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return CReactor::OpenHandlers() == 0; }, 5000));
}

TEST(CloseRace, CloseFromTwoThreadsAtOnceClosesOnce) {
    for (int round = 0; round < 200; ++round) {
        auto h = std::make_unique<KeptHandler>();
        std::atomic<bool> go{false};
        std::thread other([&] {
            while (!go.load()) {
            }
            h->Close();
        });
        go = true;
        h->Close();
        other.join();
        ASSERT_TRUE(WaitUntil([&] { return h->closes.load() == 1; }, 5000));
        EXPECT_EQ(h->Close(), 0);
        SleepMs(0);
        EXPECT_EQ(h->closes.load(), 1);
    }
}

// Senders spread over every loop each post a numbered run to one receiver
// from their own loop, and plain threads do the same from outside.
TEST(Messages, AcrossLoopsOnceAndInOrderPerSender) {
    const int kRun = 400;
    const int kSenders = 2 * CReactor::LoopCount();
    auto rec = std::make_shared<Record>();
    RecordingHandler* receiver = new RecordingHandler(rec);
    const long to = receiver->GetID();
    auto srec = std::make_shared<Record>();
    std::vector<RecordingHandler*> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(new RecordingHandler(srec));
        senders.back()->on_message = [to, kRun](RecordingHandler* self, const NetMessage&) {
            for (int k = 0; k < kRun; ++k)
                self->Notify(to, 10, k);
        };
    }
    std::vector<KeptHandler> outside(3);
    std::vector<std::thread> threads;
    for (auto& o : outside)
        threads.emplace_back([&o, to, kRun] {
            for (int k = 0; k < kRun; ++k)
                o.Notify(to, 10, k);
        });
    for (auto* s : senders)
        outside[0].Notify(s->GetID(), 1, 0);
    for (auto& t : threads)
        t.join();
    const size_t total = static_cast<size_t>(kRun) * (kSenders + outside.size());
    ASSERT_TRUE(WaitUntil([&] { return rec->Messages().size() >= total; }, 10000));
    SleepMs(20);
    const auto msgs = rec->Messages();
    EXPECT_EQ(msgs.size(), total);
    std::map<long, long> next;
    for (auto& m : msgs) {
        EXPECT_EQ(m.param, next[m.from]) << "from " << m.from;
        next[m.from] = m.param + 1;
    }
    EXPECT_EQ(next.size(), static_cast<size_t>(kSenders) + outside.size());
    receiver->Close();
    for (auto* s : senders)
        s->Close();
    for (auto& o : outside)
        o.Close();
    EXPECT_TRUE(WaitUntil([&] { return rec->closes + srec->closes == kSenders + 1; }, 5000));
    for (auto& o : outside)
        EXPECT_TRUE(WaitUntil([&] { return o.closes.load() == 1; }, 5000));
}

// Owns a stream (may be null) and, as a parent, a sender and a child handler
// (as a downloader owns its sender and retry downloader), ended in its handle_close.
struct Owned : CNetHandler {
    CSockStream* m_stream;
    CStreamSender* m_sender = nullptr;
    CNetHandler* m_child = nullptr;
    explicit Owned(CSockStream* s, bool parent = false) : m_stream(s) {
        if (parent)
            m_sender = CStreamSender::Create(), m_child = new Owned(nullptr);
    }
    int handle_input(int) override {
        char buf[64];
        return m_stream->Recv(buf, sizeof(buf)) < 0 ? -1 : 0;
    }
    int handle_close(CNetHandler*) override {
        if (m_stream)
            RemoveSock(*m_stream);
        delete m_stream;
        if (m_sender)
            m_sender->Clear(), m_sender->Close(), m_child->Close();
        static std::atomic<int> closed[2];  // a running count: "closed N" means N at least
        fprintf(stderr, "%sclosed %d\n", m_sender ? "parent " : "", ++closed[m_sender != nullptr]);
        delete this;
        return 0;
    }
};

void leave_open_and_exit(int what) {
    static TcpListener silent;  // never accepts
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.Port()) + "/";
    Owned* owner = new Owned(nullptr);
    for (int i = 0; i < 8 && what == 6; ++i) {
        auto* dl = Halvex::Corvio::CHttpDownloader::Create(owner->GetID());
        if (dl == nullptr || dl->InitUseSsl(url.c_str(), "") != 0)
            std::_Exit(92);
    }
    for (int i = 0; i < 8 && what == 7; ++i) {
        int sv[2];
        if (SocketPair(sv) != 0)
            std::_Exit(90);
        auto* a = new CSockStream(sv[0]);
        Owned* h = new Owned(a);
        if (h->RegisterSock(*a, 5, 60000000) != 0)
            std::_Exit(91);
        // The peer keeps sending until the end; only the exit closes its sender.
        auto* b = new CSockStream(sv[1]);
        CStreamSender* sender = CStreamSender::Create();
        sender->Attach(new Owned(b), b);
        sender->Put("hello", 5);
        h->Notify(owner->GetID(), 1, 0);
    }
    for (int i = 0; i < 50 && what == 5; ++i)
        new Owned(nullptr, true);
    SleepMs(what == 6 ? 100 : 0);
    exit(what);
}

TEST(Exit, OpenHandlersAreClosedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Every open handler is closed on its loop, owners before what they own; the
    // exit status stays; the sanitizers (leaks too) find nothing.
    EXPECT_EXIT(leave_open_and_exit(6), ::testing::ExitedWithCode(6), "closed 1\n");
    EXPECT_EXIT(leave_open_and_exit(7), ::testing::ExitedWithCode(7), "closed 17\n");
    EXPECT_EXIT(leave_open_and_exit(5), ::testing::ExitedWithCode(5), "parent closed 50\n");
}

}  // namespace
