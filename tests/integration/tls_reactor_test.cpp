// TLS on the reactor, as the HTTP client drives it: the request goes out
// through a buffered sender, and the answer is read only on input events, in
// 32768-byte pieces, reading again at once only after a full piece. Anything
// Recv left buffered inside OpenSSL would never raise another input event:
// the transfer would stall until the input time-out.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "Sablon/NetHandler.h"
#include "Sablon/SockAddr.h"
#include "Sablon/SslStream.h"
#include "Sablon/StreamSender.h"
#include "support/CertMaker.h"
#include "support/LoopbackServer.h"
#include "support/TlsClient.h"

using namespace Halvex::Sablon;
using corvio_test::CertMaker;
using corvio_test::ConnectTcp;
using corvio_test::LoopbackServer;
using corvio_test::Step;

namespace {

struct Outcome {
    std::atomic<bool> done{false};
    std::atomic<bool> closed{false};
    size_t expected = 0;  // the body is complete at this size (as with a length field)
    std::string body;     // written on the loop until `done`
    std::string end;      // "eof" or "timeout"
    int input_events = 0;
};

// Reads the answer; the stream and the sender are the base's.
class TlsFetch : public corvio_test::TlsRequestHandler {
public:
    TlsFetch(std::shared_ptr<Outcome> out, CSslStream* tls)
        : TlsRequestHandler(tls, [out] { out->closed.store(true); }), m_out(std::move(out)) {}

    int handle_input(int) override {
        ++m_out->input_events;
        char buf[32768];
        for (;;) {
            int n = m_tls->Recv(buf, sizeof(buf));
            if (n > 0)
                m_out->body.append(buf, static_cast<size_t>(n));
            if (m_out->body.size() >= m_out->expected) {
                finish("complete");
                return -1;
            }
            if (n == static_cast<int>(sizeof(buf)))
                continue;
            if (n >= 0)
                return 0;
            finish("eof");
            return -1;
        }
    }
    int handle_input_timeout(int) override {
        finish("timeout");
        return -1;
    }

private:
    void finish(const char* how) {
        m_out->end = how;
        m_out->done.store(true);
    }
    std::shared_ptr<Outcome> m_out;
};

bool WaitFlag(const std::atomic<bool>& flag, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

TEST(TlsReactor, TenMiBArriveWholeThroughInputEventsOnly) {
    const CertMaker& certs = CertMaker::Shared();
    ASSERT_TRUE(certs.Ok()) << certs.Error();
    const uint64_t kBody = 10u << 20;
    const std::string request = "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    // TLS 1.2 and 1.3 frame records differently; both must drain.
    struct {
        const char* label;
        int max_version;
    } cases[] = {{"TLS 1.3", 0}, {"TLS 1.2", TLS1_2_VERSION}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LoopbackServer::Options opts;
        opts.tls = true;
        opts.cert_file = certs.server_ip.cert;
        opts.key_file = certs.server_ip.key;
        opts.max_tls_version = c.max_version;
        opts.io_timeout_ms = 10000;
        // Pieces of odd sizes with pauses between them: many input events,
        // records cut at every kind of boundary. The body ends in tiny
        // records that arrive together, and the server then stays silent
        // without closing: a record left inside OpenSSL by a short read
        // would wait there for an input event that never comes.
        corvio_test::Script script = {Step::ReadUntil("\r\n\r\n")};
        const uint64_t pieces[] = {1, 16383, 16384, 16385, 65521, 1000003, 32768, 7};
        const uint64_t kTail = 8;
        uint64_t sent = 0;
        for (int i = 0; sent < kBody - kTail; ++i) {
            uint64_t n = pieces[i % 8];
            if (n > kBody - kTail - sent)
                n = kBody - kTail - sent;
            script.push_back(Step::SendPattern(n, sent));
            if (i % 4 == 0)
                script.push_back(Step::Sleep(1));
            sent += n;
        }
        for (; sent < kBody; ++sent)
            script.push_back(Step::SendPattern(1, sent));
        script.push_back(Step::Silent(20000));
        LoopbackServer server(opts, {script});
        ASSERT_TRUE(server.Ok()) << server.Error();

        auto* tls = new CSslStream();
        CSockStream* tcp = ConnectTcp(server);
        ASSERT_NE(tcp, nullptr);
        ASSERT_EQ(tls->Connect(tcp), 0);
        auto out = std::make_shared<Outcome>();
        out->expected = kBody;
        auto* fetch = new TlsFetch(out, tls);
        ASSERT_EQ(fetch->Start(request.data(), static_cast<int>(request.size()), 5000000), 0);
        ASSERT_TRUE(WaitFlag(out->done, 30000));
        fetch->Close();
        ASSERT_TRUE(WaitFlag(out->closed, 5000));

        EXPECT_EQ(out->end, "complete");
        ASSERT_EQ(out->body.size(), kBody);
        size_t bad = 0;
        EXPECT_TRUE(LoopbackServer::CheckPattern(out->body.data(), out->body.size(), 0, &bad))
            << "first wrong byte at " << bad;
        EXPECT_GT(out->input_events, 1);
        server.Stop();
        EXPECT_EQ(server.Connection(0).received, request);
    }
}
