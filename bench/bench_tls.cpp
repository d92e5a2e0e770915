// TLS receive throughput on loopback: one connection carried by the reactor
// and CSslStream::Recv (32768-byte pieces on input events, as the HTTP client
// reads) against a thread running a plain blocking SSL_read loop of 32768
// bytes, both fed by the same in-process TLS server (AES-128-GCM, TLS 1.3) in
// the same run. Rounds alternate so that machine noise hits both sides.
// Prints each side's throughput and the ratio reactor / blocking (target: at
// least 0.8).
#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Sablon/NetHandler.h"
#include "Sablon/SockAddr.h"
#include "Sablon/SslStream.h"
#include "Sablon/StreamSender.h"
#include "support/CertMaker.h"
#include "support/LoopbackServer.h"
#include "support/TcpListener.h"

using namespace Halvex::Sablon;
using corvio_test::CertMaker;
using corvio_test::LoopbackServer;
using corvio_test::Step;
using Clock = std::chrono::steady_clock;

namespace {

const uint64_t kBody = 64u << 20;
const char kRequest[] = "GET /big HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const int kRounds = 3;

LoopbackServer* g_server = nullptr;
struct Totals {
    double bytes = 0;
    double seconds = 0;
} g_reactor, g_blocking, g_blocking_ra;

struct Outcome {
    std::atomic<bool> done{false};
    std::atomic<bool> closed{false};
    uint64_t bytes = 0;
    Clock::time_point end;
};

// A reactor handler over a connected TLS stream, driven as the HTTP client
// drives one: Start queues the request on a buffered sender and registers the
// stream for input; the derived class reads. handle_close ends the sender,
// deletes the stream and the handler, then runs `on_closed`.
class TlsRequestHandler : public Halvex::Sablon::CNetHandler {
public:
    TlsRequestHandler(CSslStream* tls, std::function<void()> on_closed)
        : m_tls(tls), m_on_closed(std::move(on_closed)) {}
    int Start(const char* request, int len, uint32_t input_timeout_us) {
        m_sender = CStreamSender::Create();
        if (!m_sender || m_sender->Attach(this, m_tls) != 0 ||
            RegisterSock(*m_tls, MASK_INPUT, input_timeout_us) != 0)
            return -1;
        return m_sender->Put(request, len);
    }
    int handle_output(int handle) override {
        return m_sender ? m_sender->handle_output(handle) : 0;
    }
    int handle_close(CNetHandler*) override {
        if (m_sender) {
            m_sender->Detach();
            m_sender->Clear();
            m_sender->Close();
        }
        RemoveSock(*m_tls);
        delete m_tls;
        std::function<void()> on_closed = std::move(m_on_closed);
        delete this;
        if (on_closed)
            on_closed();
        return 0;
    }

protected:
    CSslStream* const m_tls;

private:
    std::function<void()> m_on_closed;
    CStreamSender* m_sender = nullptr;
};

// Reads the answer; the stream and the sender are the base's.
class Fetch : public TlsRequestHandler {
public:
    Fetch(Outcome* out, CSslStream* tls)
        : TlsRequestHandler(tls, [out] { out->closed.store(true); }), m_out(out) {}
    int handle_input(int) override {
        for (;;) {
            int n = m_tls->Recv(m_buf, sizeof(m_buf));
            if (n > 0)
                m_out->bytes += static_cast<uint64_t>(n);
            if (m_out->bytes >= kBody || n < 0) {
                m_out->end = Clock::now();
                m_out->done.store(true);
                return -1;
            }
            if (n < static_cast<int>(sizeof(m_buf)))
                return 0;
        }
    }
    int handle_input_timeout(int) override {
        m_out->end = Clock::now();
        m_out->done.store(true);
        return -1;
    }

private:
    Outcome* m_out;
    char m_buf[32768];
};

void WaitFlag(const std::atomic<bool>& flag) {
    while (!flag.load())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

void ReactorRecv(benchmark::State& state) {
    for (auto _ : state) {
        const int fd = corvio_test::TcpConnect(4, g_server->Port());
        CSockStream* tcp = fd < 0 ? nullptr : new CSockStream(fd);
        if (tcp == nullptr) {
            state.SkipWithError("connect");
            return;
        }
        auto* tls = new CSslStream();
        if (tls->Connect(tcp) != 0) {
            state.SkipWithError("TLS hand-shake");
            delete tcp;
            delete tls;
            return;
        }
        Outcome out;
        auto* fetch = new Fetch(&out, tls);
        const auto start = Clock::now();
        if (fetch->Start(kRequest, sizeof(kRequest) - 1, 10000000) != 0)
            state.SkipWithError("start");
        WaitFlag(out.done);
        fetch->Close();
        WaitFlag(out.closed);
        double secs = std::chrono::duration<double>(out.end - start).count();
        state.SetIterationTime(secs);
        if (out.bytes != kBody)
            state.SkipWithError("short body");
        g_reactor.bytes += static_cast<double>(out.bytes);
        g_reactor.seconds += secs;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBody));
}

// range(0): 1 turns OpenSSL's read-ahead on (what CSslStream uses), 0 is the
// plain loop.
void BlockingSslRead(benchmark::State& state) {
    const bool read_ahead = state.range(0) != 0;
    Totals& totals = read_ahead ? g_blocking_ra : g_blocking;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_read_ahead(ctx, read_ahead ? 1 : 0);
    for (auto _ : state) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(g_server->Port());
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
            state.SkipWithError("connect");
            close(fd);
            break;
        }
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) {
            state.SkipWithError("TLS hand-shake");
            SSL_free(ssl);
            close(fd);
            break;
        }
        // The same work as the reactor side: the request, then the answer.
        const auto start = Clock::now();
        SSL_write(ssl, kRequest, sizeof(kRequest) - 1);
        static char buf[32768];
        uint64_t bytes = 0;
        while (bytes < kBody) {
            int n = SSL_read(ssl, buf, sizeof(buf));
            if (n <= 0)
                break;
            bytes += static_cast<uint64_t>(n);
        }
        double secs = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(secs);
        if (bytes != kBody)
            state.SkipWithError("short body");
        totals.bytes += static_cast<double>(bytes);
        totals.seconds += secs;
        SSL_shutdown(ssl);
        SSL_free(ssl);
        close(fd);
    }
    SSL_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBody));
}

}  // namespace

int main(int argc, char** argv) {
    const CertMaker& certs = CertMaker::Shared();
    if (!certs.Ok()) {
        fprintf(stderr, "certificates: %s\n", certs.Error().c_str());
        return 1;
    }
    LoopbackServer::Options opts;
    opts.tls = true;
    opts.cert_file = certs.server_ip.cert;
    opts.key_file = certs.server_ip.key;
    opts.ciphersuites = "TLS_AES_128_GCM_SHA256";
    opts.repeat_last = true;
    opts.max_connections = 1000;
    opts.io_timeout_ms = 20000;
    LoopbackServer server(opts,
                          {{Step::ReadUntil("\r\n\r\n"), Step::SendPattern(kBody), Step::Close()}});
    if (!server.Ok()) {
        fprintf(stderr, "server: %s\n", server.Error().c_str());
        return 1;
    }
    g_server = &server;

    for (int round = 1; round <= kRounds; ++round) {
        std::string suffix = "/round:" + std::to_string(round);
        benchmark::RegisterBenchmark(("tls_reactor_recv" + suffix).c_str(), ReactorRecv)
            ->UseManualTime()
            ->Iterations(4)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("tls_blocking_ssl_read" + suffix).c_str(), BlockingSslRead)
            ->Arg(0)
            ->UseManualTime()
            ->Iterations(4)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("tls_blocking_ssl_read_ahead" + suffix).c_str(),
                                     BlockingSslRead)
            ->Arg(1)
            ->UseManualTime()
            ->Iterations(4)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.Stop();

    if (g_reactor.seconds > 0 && g_blocking.seconds > 0) {
        double reactor = g_reactor.bytes / g_reactor.seconds / (1 << 20);
        double blocking = g_blocking.bytes / g_blocking.seconds / (1 << 20);
        printf("TLS (AES-128-GCM) one connection, %llu MiB per transfer\n",
               static_cast<unsigned long long>(kBody >> 20));
        printf("  reactor + CSslStream::Recv : %8.1f MiB/s\n", reactor);
        printf("  blocking SSL_read loop     : %8.1f MiB/s\n", blocking);
        printf("  ratio                      : %8.2f (target >= 0.80)\n", reactor / blocking);
        if (g_blocking_ra.seconds > 0) {
            double ahead = g_blocking_ra.bytes / g_blocking_ra.seconds / (1 << 20);
            printf("  blocking, read-ahead on    : %8.1f MiB/s (ratio %.2f)\n", ahead,
                   reactor / ahead);
        }
    }
    return 0;
}
