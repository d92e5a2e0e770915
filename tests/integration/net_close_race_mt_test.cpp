// Close() racing with socket events and messages on other threads: every
// handle_close exactly once, nothing after it, one call at a time per
// handler on its own loop; messages across loops arrive once and in order
// per sender.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "Sablon/NetHandler.h"
#include "Sablon/Reactor.h"
#include "Sablon/Sock.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using corvio_test::CloseSocket;
using corvio_test::NetMessage;
using corvio_test::Record;
using corvio_test::RecordingHandler;
using corvio_test::SocketPair;
using corvio_test::WaitUntil;
using corvio_test::WriteAll;

namespace {

struct Pair {
    std::shared_ptr<Record> rec = std::make_shared<Record>();
    RecordingHandler* h = nullptr;
    int peer = -1;
    long id = 0;
};

TEST(CloseRace, CloseWhileEventsAndMessagesFlow) {
    const int kHandlers = 120;
    std::vector<Pair> pairs(kHandlers);
    for (auto& p : pairs) {
        int sv[2];
        ASSERT_EQ(SocketPair(sv, true), 0);
        p.peer = sv[1];
        p.rec->caller = std::this_thread::get_id();
        p.h = new RecordingHandler(p.rec);
        CSockStream* s = new CSockStream(sv[0]);
        p.h->on_input = [s](RecordingHandler*, int) {
            char buf[256];
            return s->Recv(buf, sizeof(buf)) < 0 ? -1 : 0;
        };
        p.h->on_close = [s](RecordingHandler* self) {
            self->RemoveSock(*s);
            delete s;
        };
        p.id = p.h->GetID();
        if ((&p - &pairs[0]) % 2 == 1)
            p.h->on_message = [](RecordingHandler* self, const NetMessage&) { self->Close(); };
        // Input and output: output is always ready, so events never stop.
        ASSERT_EQ(p.h->RegisterSock(*s, 3, 1000000), 0);
    }
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load())
            for (auto& p : pairs)
                WriteAll(p.peer, "abc", 3);
    });
    struct Sender : CNetHandler {
        std::atomic<int> closes{0};
        int handle_close(CNetHandler*) override {
            ++closes;
            return 0;
        }
    };
    Sender from;
    std::thread notifier([&] {
        unsigned int seq = 0;
        while (!stop.load())
            for (auto& p : pairs)
                from.Notify(p.id, 1, seq++);
    });
    // Close half from this thread; the other half close themselves from
    // inside their next message (hook set before any event could run).
    for (int i = 0; i < kHandlers; i += 2) {
        corvio_test::SleepMs(1);
        pairs[i].h->Close();
    }
    for (auto& p : pairs)
        EXPECT_TRUE(WaitUntil([&] { return p.rec->closes.load() == 1; }, 10000));
    stop = true;
    writer.join();
    notifier.join();
    corvio_test::SleepMs(20);
    for (auto& p : pairs) {
        EXPECT_EQ(p.rec->closes.load(), 1);
        EXPECT_EQ(p.rec->after_close.load(), 0);
        EXPECT_EQ(p.rec->overlaps.load(), 0);
        EXPECT_EQ(p.rec->wrong_thread.load(), 0);
        EXPECT_EQ(p.rec->on_caller_thread.load(), 0);
        CloseSocket(p.peer);
    }
    from.Close();
    EXPECT_TRUE(WaitUntil([&] { return from.closes.load() == 1; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return CReactor::OpenHandlers() == 0; }, 5000));
}

// Two threads close the same handler at once (the handler stays alive past
// handle_close here, as a caller may only touch it while it does).
TEST(CloseRace, CloseFromTwoThreadsAtOnceClosesOnce) {
    struct Kept : CNetHandler {
        std::atomic<int> closes{0};
        int handle_close(CNetHandler*) override {
            ++closes;
            return 0;
        }
    };
    for (int round = 0; round < 200; ++round) {
        auto h = std::make_unique<Kept>();
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
        corvio_test::SleepMs(0);
        EXPECT_EQ(h->closes.load(), 1);
    }
}

// Senders spread over every loop each post a numbered run to one receiver
// (from their own loop), and plain threads do the same from outside.
TEST(Messages, AcrossLoopsOnceAndInOrderPerSender) {
    const int kRun = 400;
    const int kSenders = 2 * CReactor::LoopCount();
    auto rec = std::make_shared<Record>();
    RecordingHandler* receiver = new RecordingHandler(rec);
    long to = receiver->GetID();

    std::vector<std::shared_ptr<Record>> srecs;
    std::vector<RecordingHandler*> senders;
    for (int i = 0; i < kSenders; ++i) {
        srecs.push_back(std::make_shared<Record>());
        auto* s = new RecordingHandler(srecs.back());
        s->on_message = [to, kRun](RecordingHandler* self, const NetMessage&) {
            for (int k = 0; k < kRun; ++k)
                self->Notify(to, 10, k);
        };
        senders.push_back(s);
    }
    struct Outside : CNetHandler {
        std::atomic<int> closes{0};
        int handle_close(CNetHandler*) override {
            ++closes;
            return 0;
        }
    };
    std::vector<std::unique_ptr<Outside>> outside(3);
    for (auto& o : outside)
        o.reset(new Outside);
    for (auto* s : senders)
        outside[0]->Notify(s->GetID(), 1, 0);
    std::vector<std::thread> threads;
    for (auto& o : outside)
        threads.emplace_back([&o, to, kRun] {
            for (int k = 0; k < kRun; ++k)
                o->Notify(to, 10, k);
        });
    for (auto& t : threads)
        t.join();
    size_t total = static_cast<size_t>(kRun) * (kSenders + outside.size());
    ASSERT_TRUE(WaitUntil([&] { return rec->Messages().size() >= total; }, 10000));
    corvio_test::SleepMs(20);
    auto msgs = rec->Messages();
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
        o->Close();
    EXPECT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 5000));
    for (auto& r : srecs)
        EXPECT_TRUE(WaitUntil([&] { return r->closes.load() == 1; }, 5000));
    // Outside handlers are deleted here, once their handle_close has run.
    for (auto& o : outside)
        EXPECT_TRUE(WaitUntil([&] { return o->closes.load() == 1; }, 5000));
}

}  // namespace
