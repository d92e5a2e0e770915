// The reactor: socket scenarios over loopback as rows of tests/data/net_reactor.txt;
// registration failures (out of memory too), message delivery and handle_close.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include "Sablon/Reactor.h"
#include "Sablon/SockIo.h"
#include "Sablon/StreamSender.h"
#include "support/CaseFile.h"
#include "support/FailAlloc.h"
#include "support/LoopbackServer.h"
#include "support/TcpListener.h"
#include "support/net_recorder.h"

using namespace Halvex::Sablon;
using namespace corvio_test;

namespace {

TEST(Reactor, SocketScenarios) {
    for (const Case& c : LoadCases("net_reactor.txt", "scenarios", 5)) {
        SCOPED_TRACE(c.where + " " + c[0]);
        TcpListener listener(static_cast<int>(c.num(1)));
        if (!listener.Valid())
            continue;  // no loopback of this family
        CSockAddrStorage addr;
        ASSERT_EQ(addr.SetIp(listener.Host()) + addr.SetPort(listener.Port()), 0);
        if (!c.yes(2))
            listener.Close();

        auto rec = std::make_shared<Record>();
        auto* h = new RecordingHandler(rec);
        auto* s = h->stream = new CSockStream;
        std::atomic<CStreamSender*> sender{nullptr};
        // Counters by Record::Slot, then what the driver records.
        const std::string names =
            " input output exception input_timeout output_timeout "
            "exception_timeout connect bytes eof ms blocks msg_size msg_exc ";
        std::atomic<long> mine[3] = {{99}, {0}, {0}};  // connect, bytes, eof
        h->on[Record::OUTPUT] = [&, s](RecordingHandler*, int fd) {
            EXPECT_EQ(fd, s->GetHandle());
            if (sender)
                return sender.load()->handle_output(fd);
            const int st = s->GetConnectStatus();
            return st == -1 ? 0 : (mine[0] = st, -1);
        };
        h->on[Record::INPUT] = [&, s](RecordingHandler*, int) {
            char buf[4];
            const int n = s->Recv(buf, sizeof(buf));
            mine[1] += n > 0 ? n : 0;
            return n < 0 ? (++mine[2], -1) : 0;
        };
        h->on_close = [&sender](RecordingHandler*) {
            if (CStreamSender* out = sender.load())
                out->Detach(), out->Clear(), out->Close();
        };
        ASSERT_EQ(s->Connect(addr, nullptr), 0);
        const auto start = std::chrono::steady_clock::now();
        std::istringstream regs(c[3]);
        for (std::string r; regs >> r && r != "-";) {
            const unsigned long ms = std::stoul(r.substr(r.find(':') + 1));
            ASSERT_EQ(h->RegisterSock(*s, std::stoi(r), static_cast<uint32_t>(ms * 1000)), 0);
        }
        auto value = [&](const std::string& name) -> long {
            const size_t at = std::min(names.find(" " + name + " "), names.size());
            EXPECT_LT(at, names.size()) << "no counter " << name;
            const long i = std::count(names.begin(), names.begin() + at, ' ');
            long n = i < 6 ? rec->calls[i].load() : i < 9 ? mine[i - 6].load() : 0;
            for (const NetMessage& m : rec->Messages())
                n += i > 10 && sender && m.from == sender.load()->GetID() &&
                     m.msg == (i == 11 ? 4u : 2u);
            return i == 10 ? sender.load()->GetBufferSize() : i != 9 ? n : MsSince(start);
        };
        int peer = -1;
        size_t put = 0, read = 0;  // pattern bytes the sender took, the peer read
        std::istringstream script(c[4]);
        for (std::string step; script >> step;) {
            const bool ok = step.find('!') == std::string::npos;  // verb! expects a refusal
            const std::string verb = step.substr(0, step.find_first_of(":!"));
            const std::string arg = step.substr(step.find(':') + 1);
            const size_t op = arg.find_first_of("=<>");
            auto holds = [&] {
                const long have = value(arg.substr(0, op));
                const long want = std::stol(arg.substr(op + 2));
                return arg[op] == '=' ? have == want : arg[op] == '>' ? have >= want : have <= want;
            };
            std::string text = arg;
            std::replace(text.begin(), text.end(), '_', ' ');
            char buf[64];
            int n = 0, size = std::atoi(arg.c_str());
            auto recv = [&] {
                return WaitUntil([&] { return (n = s->Recv(buf, 64)) != 0; }, 2000);
            };
            auto put_ok = [&](size_t len) {
                const std::string bytes = LoopbackServer::Pattern(put, len);
                return sender.load()->Put(bytes.data(), static_cast<int>(len)) == 0 &&
                       (put += len) > 0;
            };
            if (verb == "cstatus")
                EXPECT_TRUE(WaitUntil([&] { return s->GetConnectStatus() != -1; }, 2000) &&
                            s->GetConnectStatus() == size)
                    << s->GetConnectStatus();
            else if (verb == "csend")
                EXPECT_EQ(s->Send(arg.data(), (int)arg.size()), (int)arg.size());
            else if (step == "crecv:0")
                EXPECT_EQ(s->Recv(buf, sizeof(buf)), 0);
            else if (step == "crecv:eof")
                EXPECT_TRUE(recv() && n < 0 && s->Recv(buf, sizeof(buf)) < 0) << n;
            else if (verb == "crecv")
                EXPECT_EQ(recv() ? std::string(buf, n > 0 ? n : 0) : "", arg);
            else if (verb == "cerror")
                EXPECT_NE(std::string(s->GetErrorText(buf, 64)).find(text), std::string::npos)
                    << buf;
            else if (verb == "precv")
                EXPECT_TRUE(ReadFor(peer, buf, (long)arg.size(), 2000) == (long)arg.size() &&
                            std::string(buf, arg.size()) == arg)
                    << step;
            else if (verb == "accept")
                ASSERT_GE(peer = listener.Accept(2000), 0);
            else if (verb == "send")
                ASSERT_TRUE(WriteAll(peer, arg.data(), static_cast<long>(arg.size())));
            else if (verb == "close" || verb == "reset") {
                const linger lg{1, 0};
                if (verb == "reset")
                    setsockopt(peer, SOL_SOCKET, SO_LINGER, (const char*)&lg, sizeof(lg));
                CloseSocket(peer), peer = -1;
            } else if (verb == "sndbuf" || verb == "prcvbuf")
                setsockopt(verb == "sndbuf" ? s->GetHandle() : peer, SOL_SOCKET,
                           verb == "sndbuf" ? SO_SNDBUF : SO_RCVBUF, (const char*)&size,
                           sizeof(size));
            else if (verb == "create")
                ASSERT_NE(sender = CStreamSender::Create(), nullptr);
            else if (verb == "attach")
                EXPECT_EQ(sender.load()->Attach(h, s), ok ? 0 : -1);
            else if (verb == "put")
                EXPECT_EQ(put_ok(size), ok) << step;
            else if (verb == "fill") {  // until the sender refuses
                while (put < (8u << 20) && put_ok(8192)) {
                }
                EXPECT_LT(put, 8u << 20);
            } else if (verb == "putfail") {
                for (int i = 0; i < 100 && put_ok(1000); ++i) {
                }
                EXPECT_FALSE(put_ok(1000));
            } else if (verb == "blocks")
                EXPECT_EQ(sender.load()->SetBufferSize(size) == 0, ok) << step;
            else if (verb == "waitsize")
                EXPECT_EQ(sender.load()->WaitBufferSize(h->GetID(), size) == 0, ok);
            else if (verb == "waitexc")
                EXPECT_EQ(sender.load()->WaitException(h->GetID()), 0);
            else if (verb == "pread") {
                std::string got(put - read, '\0');
                EXPECT_TRUE(ReadFor(peer, &got[0], (long)got.size(), 20000) == (long)got.size() &&
                            got == LoopbackServer::Pattern(read, got.size()));
                read = put;
            } else if (verb == "sleep")
                SleepMs(size);
            else if (verb == "wait")
                EXPECT_TRUE(WaitUntil(holds, 3000)) << step;
            else
                EXPECT_TRUE(verb == "expect" && holds())
                    << step << ": " << value(arg.substr(0, op));
        }
        h->Close();
        EXPECT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 5000) && !rec->faults);
        if (peer >= 0)
            CloseSocket(peer);
    }
}

TEST(Reactor, RegistrationFailuresReturnMinusOne) {
    KeptHandler h;
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
    EXPECT_EQ(h.RegisterSock(a, 8, 0) + h.UnregisterSock(a, 1), -2);  // bad mask; not registered
    CStreamSender* sender = CStreamSender::Create();
    EXPECT_TRUE(sender->Attach(&h, nullptr) == -1 && sender->Put(nullptr, 1) < 0);
    sender->Close();
    int refused[2];
    {
        FailAllocations refuse(FailAllocations::kEvery);
        refused[0] = h.RegisterSock(a, 1, 0);    // no memory for its record
        refused[1] = h.Notify(h.GetID(), 1, 0);  // nor for the message
    }
    EXPECT_EQ(refused[0] + refused[1], -2);
    EXPECT_EQ(h.RegisterSock(a, 1, 0), 0);
    EXPECT_EQ(h.RemoveSock(a) + h.RemoveSock(a), 0);  // twice is harmless
    EXPECT_EQ(h.Close() + h.Close(), 0);
    EXPECT_EQ(h.RegisterSock(a, 1, 0), -1);  // closed handler
    ASSERT_TRUE(WaitUntil([&] { return h.closes.load() == 1; }, 5000));
    SleepMs(20);
    EXPECT_EQ(h.closes.load(), 1);
}

// A message is posted, never run on the caller's thread; one to an unknown
// id, or to a closing or closed handler, is refused; those still queued when
// Close() comes are dropped.
TEST(Reactor, NotifyPostsDropsAndChainsMessages) {
    auto rec = std::make_shared<Record>();
    RecordingHandler* target = new RecordingHandler(rec);
    KeptHandler from;
    const long id = target->GetID();
    EXPECT_TRUE(from.GetID() != 0 && from.GetID() != id);
    EXPECT_EQ(from.Notify(id, 7, 70), 0);
    ASSERT_TRUE(WaitUntil([&] { return rec->Messages().size() == 1; }, 3000));
    const NetMessage m = rec->Messages()[0];
    EXPECT_TRUE(m.from == from.GetID() && m.msg == 7 && m.param == 70);
    EXPECT_EQ(from.Notify(0, 1, 0) + from.Notify(id + 1000000, 1, 0), -2);  // unknown ids
    // Keep the target's loop busy so that the next messages stay queued.
    std::atomic<bool> release{false};
    RecordingHandler* busy = nullptr;
    auto spare = std::make_shared<Record>();
    for (int i = 0; i < 64 && busy == nullptr; ++i) {
        auto* b = new RecordingHandler(spare);
        if (CReactor::LoopIndexOf(b) == CReactor::LoopIndexOf(target))
            busy = b;
        else
            b->Close();
    }
    ASSERT_NE(busy, nullptr);
    busy->on_message = [&](RecordingHandler*, const NetMessage&) {
        while (!release.load())
            SleepMs(1);
    };
    ASSERT_EQ(from.Notify(busy->GetID(), 1, 0), 0);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(from.Notify(id, 100 + i, 0), 0);
    target->Close();
    EXPECT_EQ(from.Notify(id, 8, 0), -1);  // closing
    release = true;
    ASSERT_TRUE(WaitUntil([&] { return rec->closes.load() == 1; }, 3000));
    EXPECT_EQ(from.Notify(id, 9, 0), -1);  // closed
    SleepMs(20);
    EXPECT_TRUE(rec->Messages().size() == 1u && rec->faults == 0);
    busy->Close();

    // A message a handler posts to itself is never run in place, and runs only
    // after the loop has polled its sockets again: a socket that became ready
    // meanwhile is served before the next link of a chain of such messages. A
    // handler that throws (message 3) does not end the process or its loop.
    const unsigned kChain = 200;
    auto chain = std::make_shared<Record>();
    RecordingHandler* self = new RecordingHandler(chain);
    int sv[2];
    ASSERT_EQ(SocketPair(sv), 0);
    CSockStream* mine = self->stream = new CSockStream(sv[0]);
    std::atomic<int> depth{0}, nested{0};
    std::atomic<unsigned> seen{0}, seen_at_input{0};
    self->on_message = [&](RecordingHandler* h, const NetMessage& m) {
        nested += ++depth > 1;
        seen = m.msg;
        if (m.msg == 1)
            EXPECT_TRUE(WriteAll(sv[1], "x", 1));
        if (m.msg < kChain)
            h->Notify(h->GetID(), m.msg + 1, 0);
        --depth;
        if (m.msg == 3)
            throw std::runtime_error("handler fault");
    };
    self->on[Record::INPUT] = [&](RecordingHandler*, int) {
        seen_at_input = seen.load();
        return -1;
    };
    ASSERT_EQ(self->RegisterSock(*mine, CNetHandler::MASK_INPUT, 0), 0);
    ASSERT_EQ(from.Notify(self->GetID(), 1, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return chain->Messages().size() == kChain; }, 3000));
    EXPECT_TRUE(nested.load() == 0 && chain->calls[Record::INPUT].load() == 1);
    EXPECT_LT(seen_at_input.load(), 5u) << "the input waited for the chain of messages";
    self->Close();
    from.Close();
    ASSERT_TRUE(WaitUntil([&] { return chain->closes == 1 && from.closes == 1; }, 3000));
    CloseSocket(sv[1]);
}

}  // namespace
