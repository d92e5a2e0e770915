// The buffered sender on a loopback connection: all-or-nothing Put, free
// space reported only once a slow reader made room, every byte delivered in
// order across resizes, and a send failure reported as a message.
#include "Sablon/StreamSender.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "Sablon/SockAddr.h"
#include "Sablon/SockIo.h"
#include "support/LoopbackServer.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using namespace corvio_test;

namespace {

// An owner with a connected stream and a sender, as a client handler holds
// them: output events go to the sender, handle_close ends both. A small send
// buffer (and a small receive buffer at the peer) make the sender queue early.
struct Owner {
    std::shared_ptr<Record> rec = std::make_shared<Record>();
    RecordingHandler* h = new RecordingHandler(rec);
    CSockStream* stream = new CSockStream;
    CStreamSender* sender = CStreamSender::Create();
    TcpListener listener{4};
    int peer = -1;

    explicit Owner(bool small_peer = false) {
        h->on[Record::OUTPUT] = [s = sender](RecordingHandler*, int fd) {
            return s->handle_output(fd);
        };
        h->on_close = [s = sender, st = stream](RecordingHandler* self) {
            s->Detach();
            s->Clear();
            s->Close();
            self->RemoveSock(*st);
            delete st;
        };
        CSockAddrIPv4 addr("127.0.0.1", listener.Port());
        int size = 4096;
        EXPECT_EQ(stream->Connect(addr, nullptr), 0);
        setsockopt(stream->GetHandle(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&size),
                   sizeof(size));
        peer = listener.Accept(2000);
        if (small_peer)
            setsockopt(peer, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), sizeof(size));
        EXPECT_TRUE(peer >= 0 && WaitUntil([&] { return stream->GetConnectStatus() == 0; }, 2000));
        EXPECT_EQ(h->RegisterSock(*stream, CNetHandler::MASK_INPUT, 5000000), 0);
        EXPECT_EQ(sender->Attach(h, stream), 0);
    }
    int Count(unsigned int msg) {
        int n = 0;
        for (auto& m : rec->Messages())
            n += m.msg == msg && m.from == sender->GetID();
        return n;
    }
    bool Receives(const std::string& all) {
        std::string got(all.size(), '\0');
        return ReadFor(peer, &got[0], static_cast<long>(got.size()), 20000) ==
                   static_cast<long>(all.size()) &&
               got == all;
    }
    ~Owner() {
        h->Close();
        EXPECT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 5000));
        EXPECT_EQ(rec->on_caller_thread.load(), 0);
        if (peer >= 0)
            CloseSocket(peer);
    }
};

TEST(Sender, SizeRulesAndUnattachedPut) {
    CStreamSender* s = CStreamSender::Create();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->GetBufferSize(), 1);
    EXPECT_LT(s->Put("x", 1), 0);  // not attached
    EXPECT_LT(s->SetBufferSize(0), 0);
    EXPECT_EQ(s->SetBufferSize(3), 0);
    EXPECT_EQ(s->GetBufferSize(), 3);
    EXPECT_LT(s->WaitBufferSize(1, 3 * 32768 + 1), 0);
    CSockStream stream;
    Owner o;
    EXPECT_EQ(s->Attach(o.h, nullptr), -1);
    EXPECT_EQ(s->Attach(o.h, &stream), 0);
    EXPECT_EQ(s->Attach(o.h, &stream), -1);  // already attached
    EXPECT_LT(s->Put(nullptr, 1), 0);
    s->Detach();
    s->Close();  // the reactor deletes it
}

TEST(Sender, SlowReaderGetsBufferSizeOnlyWhenTheSpaceIsFree) {
    Owner o(true);
    const std::string all = LoopbackServer::Pattern(0, 8 << 20);
    size_t sent = 0;
    while (sent < all.size() && o.sender->Put(all.data() + sent, 8192) == 0)
        sent += 8192;
    ASSERT_LT(sent, all.size()) << "the socket never filled";
    // All or nothing: a refused Put leaves no part queued (the stream shows it).
    EXPECT_LT(o.sender->Put(all.data() + sent, 32768), 0);
    ASSERT_EQ(o.sender->WaitBufferSize(o.h->GetID(), 32768), 0);
    SleepMs(200);
    EXPECT_EQ(o.Count(CStreamSender::MSG_BUFFER_SIZE), 0);
    EXPECT_TRUE(o.Receives(all.substr(0, sent)));
    EXPECT_TRUE(WaitUntil([&] { return o.Count(CStreamSender::MSG_BUFFER_SIZE) == 1; }, 5000));
    SleepMs(20);
    EXPECT_EQ(o.Count(CStreamSender::MSG_BUFFER_SIZE), 1);      // once per wait
    ASSERT_EQ(o.sender->WaitBufferSize(o.h->GetID(), 100), 0);  // free now: posted at once
    EXPECT_TRUE(WaitUntil([&] { return o.Count(CStreamSender::MSG_BUFFER_SIZE) == 2; }, 2000));
}

// Resizing while bytes wait keeps them queued and in order; a size below
// them is refused.
TEST(Sender, ResizeKeepsTheQueuedBytes) {
    Owner o(true);
    const std::string all = LoopbackServer::Pattern(0, 230000);
    EXPECT_LT(o.sender->Put(all.data(), 40000), 0);  // more than one block
    ASSERT_EQ(o.sender->Put(all.data(), 30000), 0);
    EXPECT_EQ(o.sender->SetBufferSize(8), 0);
    ASSERT_EQ(o.sender->Put(all.data() + 30000, 200000), 0);
    EXPECT_LT(o.sender->SetBufferSize(1), 0);
    EXPECT_EQ(o.sender->GetBufferSize(), 8);
    int size = 1 << 20;
    setsockopt(o.peer, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), sizeof(size));
    EXPECT_TRUE(o.Receives(all));
}

TEST(Sender, SendFailureIsReportedOnceAsMessageTwo) {
    Owner o;
    ASSERT_EQ(o.sender->WaitException(o.h->GetID()), 0);
    linger lg{1, 0};
    setsockopt(o.peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
    CloseSocket(o.peer);  // reset
    o.peer = -1;
    SleepMs(50);
    const std::string data(1000, 'd');
    int i = 0;
    while (i < 100 && o.sender->Put(data.data(), 1000) == 0)
        ++i;
    EXPECT_LT(i, 100);
    EXPECT_TRUE(WaitUntil([&] { return o.Count(CStreamSender::MSG_SOCKET_EXCEPTION) == 1; }, 3000));
    EXPECT_LT(o.sender->Put(data.data(), 10), 0);  // stays failed
    SleepMs(20);
    EXPECT_EQ(o.Count(CStreamSender::MSG_SOCKET_EXCEPTION), 1);
}

}  // namespace
