// A program that leaves main with handlers still open, sockets registered,
// messages queued and a sender holding bytes: every open handler gets its
// handle_close on its loop, the process exits with its own status, and the
// sanitizers (leak check included) find nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Corvio/CHttpDownloader.h"
#include "Sablon/NetHandler.h"
#include "Sablon/Sock.h"
#include "Sablon/StreamSender.h"
#include "support/TcpListener.h"

using namespace Halvex::Sablon;

namespace {

class Owned : public CNetHandler {
public:
    explicit Owned(CSockStream* s) : m_stream(s) {}
    int handle_input(int) override {
        char buf[64];
        return m_stream->Recv(buf, sizeof(buf)) < 0 ? -1 : 0;
    }
    int handle_close(CNetHandler*) override {
        fprintf(stderr, "closed\n");
        if (m_stream) {
            RemoveSock(*m_stream);
            delete m_stream;
        }
        delete this;
        return 0;
    }

private:
    CSockStream* m_stream;
};

// Owns a sender and a second handler made after it, as a downloader owns its
// sender and its retry downloader, and ends both in its own handle_close.
class Parent : public CNetHandler {
public:
    Parent() : m_sender(CStreamSender::Create()), m_child(new Owned(nullptr)) {}
    int handle_close(CNetHandler*) override {
        m_sender->Clear();
        m_sender->Close();
        m_child->Close();
        fprintf(stderr, "parent closed\n");
        delete this;
        return 0;
    }

private:
    CStreamSender* m_sender;
    CNetHandler* m_child;
};

void leave_parents_open_and_exit(int status) {
    for (int i = 0; i < 50; ++i)
        new Parent;
    exit(status);
}

void leave_open_and_exit(int status) {
    for (int i = 0; i < 8; ++i) {
        int sv[2];
        if (corvio_test::SocketPair(sv) != 0)
            std::_Exit(90);
        CSockStream* a = new CSockStream(sv[0]);
        Owned* h = new Owned(a);
        if (h->RegisterSock(*a, 5, 60000000) != 0)
            std::_Exit(91);
        // Bytes the peer keeps sending: input events until the end.
        CSockStream* b = new CSockStream(sv[1]);
        Owned* peer = new Owned(b);
        CStreamSender* sender = CStreamSender::Create();
        sender->Attach(peer, b);
        sender->Put("hello", 5);
        peer->Notify(h->GetID(), 1, 0);
        // The sender is never closed by anyone: the exit closes it too.
    }
    exit(status);
}

// The child's stderr holds `text` at least `n` times (a matcher, not a
// regular expression: Windows builds of GoogleTest know only simple ones).
::testing::Matcher<const std::string&> Repeated(std::string text, int n) {
    return ::testing::Truly([text, n](const std::string& err) {
        int found = 0;
        for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1))
            ++found;
        return found >= n;
    });
}

// Downloaders in the middle of TLS hand-shakes with a peer that never
// answers (a listener that never accepts) when the program exits.
void leave_handshakes_and_exit(int status) {
    static corvio_test::TcpListener silent;
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.Port()) + "/";
    Owned* owner = new Owned(nullptr);
    for (int i = 0; i < 8; ++i) {
        Halvex::Corvio::CHttpDownloader* dl =
            Halvex::Corvio::CHttpDownloader::Create(owner->GetID());
        if (dl == nullptr || dl->InitUseSsl(url.c_str(), "") != 0)
            std::_Exit(92);
    }
    corvio_test::SleepMs(100);
    exit(status);
}

TEST(Exit, HandshakesUnderWayAreEndedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(leave_handshakes_and_exit(6), ::testing::ExitedWithCode(6), "closed\n");
}

TEST(Exit, OpenHandlersAreClosedAtExitWithoutReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(leave_open_and_exit(7), ::testing::ExitedWithCode(7), Repeated("closed\n", 16));
}

// The exit closes owners before what they own, so an owner's handle_close
// never meets a handler the exit already deleted.
TEST(Exit, OwnersCloseWhatTheyOwnBeforeTheExitReachesIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(leave_parents_open_and_exit(5), ::testing::ExitedWithCode(5),
                Repeated("parent closed\n", 50));
}

}  // namespace
