// The buffered sender on a loopback connection: all-or-nothing Put, free
// space reported only once a slow reader made room, every byte delivered in
// order, and a send failure reported as a message.
#include "Sablon/StreamSender.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "Sablon/SockAddr.h"
#include "Sablon/SockIo.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using corvio_test::CloseSocket;
using corvio_test::Record;
using corvio_test::RecordingHandler;
using corvio_test::TcpListener;
using corvio_test::WaitUntil;

namespace {

// An owner with a connected stream and a sender, as a client handler holds
// them: output events go to the sender, handle_close ends both.
struct Owner {
    std::shared_ptr<Record> rec = std::make_shared<Record>();
    RecordingHandler* h = new RecordingHandler(rec);
    CSockStream* stream = new CSockStream;
    CStreamSender* sender = CStreamSender::Create();
    TcpListener listener{4};
    int peer = -1;

    Owner() {
        h->on_output = [s = sender](RecordingHandler*, int fd) { return s->handle_output(fd); };
        h->on_close = [s = sender, st = stream](RecordingHandler* self) {
            s->Detach();
            s->Clear();
            s->Close();
            self->RemoveSock(*st);
            delete st;
        };
    }
    bool Connect(int sndbuf = 0) {
        CSockAddrIPv4 addr("127.0.0.1", listener.Port());
        if (stream->Connect(addr, nullptr) != 0)
            return false;
        if (sndbuf > 0) {
            int fd = stream->GetHandle();
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sndbuf),
                       sizeof(sndbuf));
        }
        peer = listener.Accept(2000);
        if (peer < 0)
            return false;
        if (sndbuf > 0)
            setsockopt(peer, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&sndbuf),
                       sizeof(sndbuf));
        return WaitUntil([&] { return stream->GetConnectStatus() == 0; }, 2000) &&
               h->RegisterSock(*stream, CNetHandler::MASK_INPUT, 5000000) == 0 &&
               sender->Attach(h, stream) == 0;
    }
    int Count(unsigned int msg) {
        int n = 0;
        for (auto& m : rec->Messages())
            n += m.msg == msg && m.from == sender->GetID();
        return n;
    }
    ~Owner() {
        h->Close();
        EXPECT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 5000));
        if (peer >= 0)
            CloseSocket(peer);
    }
};

std::vector<char> pattern(size_t n, size_t start) {
    std::vector<char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<char>((start + i) * 7 + 3);
    return v;
}

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
    Owner o;
    ASSERT_TRUE(o.Connect(4096));
    // Fill the socket and then the sender's block while the peer reads
    // nothing.
    size_t sent = 0;
    const size_t piece = 8192;
    int refused = 0;
    for (int i = 0; i < 4000 && refused == 0; ++i) {
        auto data = pattern(piece, sent);
        if (o.sender->Put(data.data(), static_cast<int>(piece)) == 0)
            sent += piece;
        else
            ++refused;
    }
    ASSERT_EQ(refused, 1) << "the socket never filled";
    // All or nothing: a Put larger than the free space leaves the queue as
    // it was (the byte stream below would show a partial write).
    auto big = pattern(32768, sent);
    EXPECT_LT(o.sender->Put(big.data(), 32768), 0);

    ASSERT_EQ(o.sender->WaitBufferSize(o.h->GetID(), 32768), 0);
    corvio_test::SleepMs(200);
    EXPECT_EQ(o.Count(CStreamSender::MSG_BUFFER_SIZE), 0);

    std::vector<char> got(sent);
    std::thread reader([&] { corvio_test::ReadFor(o.peer, got.data(), sent, 5000); });
    EXPECT_TRUE(WaitUntil([&] { return o.Count(CStreamSender::MSG_BUFFER_SIZE) == 1; }, 5000));
    reader.join();
    EXPECT_EQ(got, pattern(sent, 0));
    corvio_test::SleepMs(20);
    EXPECT_EQ(o.Count(CStreamSender::MSG_BUFFER_SIZE), 1);  // once per wait

    // Space already free: reported at once, posted.
    ASSERT_EQ(o.sender->WaitBufferSize(o.h->GetID(), 100), 0);
    EXPECT_TRUE(WaitUntil([&] { return o.Count(CStreamSender::MSG_BUFFER_SIZE) == 2; }, 2000));
    EXPECT_EQ(o.rec->on_caller_thread.load(), 0);
}

TEST(Sender, LargeBufferCarriesARequestInOnePut) {
    Owner o;
    ASSERT_TRUE(o.Connect());
    const int len = 40000;  // more than one block, less than two
    ASSERT_LT(o.sender->Put(pattern(len, 0).data(), len), 0);
    ASSERT_EQ(o.sender->SetBufferSize(len / 32768 + 1), 0);
    ASSERT_EQ(o.sender->Put(pattern(len, 0).data(), len), 0);
    std::vector<char> got(len);
    EXPECT_EQ(corvio_test::ReadFor(o.peer, got.data(), len, 3000), len);
    EXPECT_EQ(got, pattern(len, 0));
}

// The block is resized while bytes wait in it (the peer reads nothing
// yet): they stay queued, in order, and a size below them is refused.
TEST(Sender, ResizeKeepsTheQueuedBytes) {
    Owner o;
    ASSERT_TRUE(o.Connect(4096));
    const size_t first = 30000, second = 200000, sent = first + second;
    const auto all = pattern(sent, 0);
    ASSERT_EQ(o.sender->Put(all.data(), static_cast<int>(first)), 0);
    EXPECT_EQ(o.sender->SetBufferSize(8), 0);
    ASSERT_EQ(o.sender->Put(all.data() + first, static_cast<int>(second)), 0);
    EXPECT_LT(o.sender->SetBufferSize(1), 0);  // the queued bytes would not fit
    EXPECT_EQ(o.sender->GetBufferSize(), 8);
    std::vector<char> got(sent);
    EXPECT_EQ(corvio_test::ReadFor(o.peer, got.data(), sent, 5000), static_cast<long>(sent));
    EXPECT_EQ(got, all);
}

TEST(Sender, SendFailureIsReportedOnceAsMessageTwo) {
    Owner o;
    ASSERT_TRUE(o.Connect());
    ASSERT_EQ(o.sender->WaitException(o.h->GetID()), 0);
    linger lg{1, 0};
    setsockopt(o.peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof(lg));
    CloseSocket(o.peer);  // reset
    o.peer = -1;
    corvio_test::SleepMs(50);
    auto data = pattern(1000, 0);
    int failures = 0;
    for (int i = 0; i < 100 && failures == 0; ++i)
        if (o.sender->Put(data.data(), 1000) < 0)
            ++failures;
    EXPECT_EQ(failures, 1);
    EXPECT_TRUE(WaitUntil([&] { return o.Count(CStreamSender::MSG_SOCKET_EXCEPTION) == 1; }, 3000));
    EXPECT_LT(o.sender->Put(data.data(), 10), 0);  // stays failed
    corvio_test::SleepMs(20);
    EXPECT_EQ(o.Count(CStreamSender::MSG_SOCKET_EXCEPTION), 1);
}

}  // namespace
