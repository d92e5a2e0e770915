// Close() racing with socket events and messages on other threads: every
// handle_close exactly once, nothing after it, one call at a time per
// handler on its own loop; messages across loops arrive once and in order
// per sender.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "Sablon/Reactor.h"
#include "Sablon/Sock.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using namespace corvio_test;

namespace {

TEST(CloseRace, CloseWhileEventsAndMessagesFlow) {
    const int kHandlers = 120;
    std::vector<std::shared_ptr<Record>> recs;
    std::vector<RecordingHandler*> hs;
    std::vector<int> peers;
    for (int i = 0; i < kHandlers; ++i) {
        int sv[2];
        ASSERT_EQ(SocketPair(sv, true), 0);
        peers.push_back(sv[1]);
        recs.push_back(std::make_shared<Record>());
        auto* h = new RecordingHandler(recs.back());
        auto* s = new CSockStream(sv[0]);
        h->on[Record::INPUT] = [s](RecordingHandler*, int) {
            char buf[256];
            return s->Recv(buf, sizeof(buf)) < 0 ? -1 : 0;
        };
        h->on_close = [s](RecordingHandler* self) {
            self->RemoveSock(*s);
            delete s;
        };
        // Half close themselves from inside their next message.
        if (i % 2 == 1)
            h->on_message = [](RecordingHandler* self, const NetMessage&) { self->Close(); };
        // Output is always ready: events never stop.
        ASSERT_EQ(h->RegisterSock(*s, 3, 1000000), 0);
        hs.push_back(h);
    }
    std::vector<long> ids;
    for (auto* h : hs)
        ids.push_back(h->GetID());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load())
            for (int fd : peers)
                WriteAll(fd, "abc", 3);
    });
    KeptHandler from;
    std::thread notifier([&] {
        for (unsigned int seq = 0; !stop.load();)
            for (long id : ids)
                from.Notify(id, 1, seq++);
    });
    for (int i = 0; i < kHandlers; i += 2) {
        SleepMs(1);
        hs[i]->Close();
    }
    for (auto& r : recs)
        EXPECT_TRUE(WaitUntil([&] { return r->closes.load() == 1; }, 10000));
    stop = true;
    writer.join();
    notifier.join();
    SleepMs(20);
    for (int i = 0; i < kHandlers; ++i) {
        EXPECT_EQ(recs[i]->closes.load(), 1);
        EXPECT_EQ(recs[i]->Faults(), 0);
        CloseSocket(peers[i]);
    }
    from.Close();
    EXPECT_TRUE(WaitUntil([&] { return from.closes.load() == 1; }, 5000));
    EXPECT_TRUE(WaitUntil([&] { return CReactor::OpenHandlers() == 0; }, 5000));
}

// Two threads close the same handler at once.
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
    std::vector<std::unique_ptr<KeptHandler>> outside(3);
    std::vector<std::thread> threads;
    for (auto& o : outside) {
        o.reset(new KeptHandler);
        threads.emplace_back([&o, to, kRun] {
            for (int k = 0; k < kRun; ++k)
                o->Notify(to, 10, k);
        });
    }
    for (auto* s : senders)
        outside[0]->Notify(s->GetID(), 1, 0);
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
        o->Close();
    EXPECT_TRUE(WaitUntil([&] { return rec->closes + srec->closes == kSenders + 1; }, 5000));
    // Outside handlers are deleted here, once their handle_close has run.
    for (auto& o : outside)
        EXPECT_TRUE(WaitUntil([&] { return o->closes.load() == 1; }, 5000));
}

}  // namespace
