// A program that leaves main with handlers still open, sockets registered,
// messages queued, a sender holding bytes and TLS hand-shakes under way:
// every open handler gets its handle_close on its loop, owners before what
// they own, the process exits with its own status, and the sanitizers (leak
// check included) find nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Corvio/CHttpDownloader.h"
#include "Sablon/StreamSender.h"
#include "support/TcpListener.h"

using namespace Halvex::Sablon;

namespace {

// Owns a stream (may be null) and, when asked, a sender and a second
// handler, as a downloader owns its sender and its retry downloader; it ends
// them in its own handle_close.
class Owned : public CNetHandler {
public:
    explicit Owned(CSockStream* s, bool parent = false) : m_stream(s) {
        if (parent) {
            m_sender = CStreamSender::Create();
            m_child = new Owned(nullptr);
        }
    }
    int handle_input(int) override {
        char buf[64];
        return m_stream->Recv(buf, sizeof(buf)) < 0 ? -1 : 0;
    }
    int handle_close(CNetHandler*) override {
        if (m_stream) {
            RemoveSock(*m_stream);
            delete m_stream;
        }
        if (m_sender) {
            m_sender->Clear();
            m_sender->Close();
            m_child->Close();
        }
        fprintf(stderr, m_sender ? "parent closed\n" : "closed\n");
        delete this;
        return 0;
    }

private:
    CSockStream* m_stream;
    CStreamSender* m_sender = nullptr;
    CNetHandler* m_child = nullptr;
};

void leave_open_and_exit(int what) {
    static corvio_test::TcpListener silent;  // never accepts
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.Port()) + "/";
    Owned* owner = new Owned(nullptr);
    for (int i = 0; i < 8 && what == 6; ++i) {
        auto* dl = Halvex::Corvio::CHttpDownloader::Create(owner->GetID());
        if (dl == nullptr || dl->InitUseSsl(url.c_str(), "") != 0)
            std::_Exit(92);
    }
    for (int i = 0; i < 8 && what == 7; ++i) {
        int sv[2];
        if (corvio_test::SocketPair(sv) != 0)
            std::_Exit(90);
        auto* a = new CSockStream(sv[0]);
        Owned* h = new Owned(a);
        if (h->RegisterSock(*a, 5, 60000000) != 0)
            std::_Exit(91);
        // The peer keeps sending: input events until the end. Nobody closes
        // its sender: the exit does.
        auto* b = new CSockStream(sv[1]);
        CStreamSender* sender = CStreamSender::Create();
        sender->Attach(new Owned(b), b);
        sender->Put("hello", 5);
        h->Notify(owner->GetID(), 1, 0);
    }
    for (int i = 0; i < 50 && what == 5; ++i)
        new Owned(nullptr, true);
    corvio_test::SleepMs(what == 6 ? 100 : 0);
    exit(what);
}

// `text` at least `n` times (a matcher, not a regular expression: Windows
// builds of GoogleTest know only simple ones).
::testing::Matcher<const std::string&> Repeated(std::string text, int n) {
    return ::testing::Truly([text, n](const std::string& err) {
        int found = 0;
        for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1))
            ++found;
        return found >= n;
    });
}

TEST(Exit, OpenHandlersAreClosedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Hand-shakes under way; open sockets, messages and a sender; owners
    // that close what they own before the exit reaches it.
    EXPECT_EXIT(leave_open_and_exit(6), ::testing::ExitedWithCode(6), "closed\n");
    EXPECT_EXIT(leave_open_and_exit(7), ::testing::ExitedWithCode(7), Repeated("closed\n", 17));
    EXPECT_EXIT(leave_open_and_exit(5), ::testing::ExitedWithCode(5),
                Repeated("parent closed\n", 50));
}

}  // namespace
