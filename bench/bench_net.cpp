// Reactor throughput and registration cost, each against its peer in the
// same run:
//  - one loopback TCP connection read by a handler through input events and
//    CSockStream::Recv (32768-byte pieces, read again while a piece fills)
//    versus a plain thread that read()s 32768 bytes at a time from a
//    blocking socket; the same writer feeds both. Target: ratio >= 0.8.
//  - 10,000 idle registrations (both ends of 5,000 socketpairs, each end its
//    own handler with an input time-out): resident memory added beyond the
//    sockets themselves. Target: under 10 MiB.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Sablon/NetHandler.h"
#include "Sablon/Reactor.h"
#include "Sablon/Sock.h"
#include "Sablon/SockAddr.h"
#include "support/TcpListener.h"

using namespace Halvex::Sablon;

namespace {

constexpr long kTransfer = 256L << 20;  // bytes per iteration
constexpr int kPiece = 32768;

double g_reactor_mbps = 0;
double g_plain_mbps = 0;

// Writes `total` bytes into `fd` in 64 KiB blocks, then closes it.
void feed(int fd, long total) {
    std::vector<char> block(65536, 'x');
    while (total > 0) {
        long n = total < 65536 ? total : 65536;
        if (!corvio_test::WriteAll(fd, block.data(), n))
            break;
        total -= n;
    }
    close(fd);
}

struct Pair {
    int client = -1;
    int server = -1;
};

Pair connect_pair(corvio_test::TcpListener& l) {
    Pair p;
    p.client = corvio_test::TcpConnect(4, l.Port());
    p.server = l.Accept(2000);
    return p;
}

class Reader : public CNetHandler {
public:
    explicit Reader(CSockStream* s) : m_stream(s) {}
    int handle_input(int) override {
        for (;;) {
            int n = m_stream->Recv(m_buf, kPiece);
            if (n == 0)
                return 0;
            if (n < 0) {
                finish();
                return -1;
            }
            m_bytes += n;
            if (n < kPiece)
                return 0;
        }
    }
    int handle_close(CNetHandler*) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_cond.notify_all();
        return 0;
    }
    long Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return m_done; });
        return m_bytes;
    }
    void WaitClosed() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return m_closed; });
    }

private:
    void finish() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_done = true;
        m_cond.notify_all();
    }
    CSockStream* m_stream;
    char m_buf[kPiece];
    long m_bytes = 0;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
    bool m_closed = false;
};

void BM_ReactorRecv(benchmark::State& state) {
    corvio_test::TcpListener l(4);
    long total = 0;
    for (auto _ : state) {
        Pair p = connect_pair(l);
        CSockStream* stream = new CSockStream(p.client);
        Reader* r = new Reader(stream);
        if (r->RegisterSock(*stream, CNetHandler::MASK_INPUT, 5000000) != 0) {
            state.SkipWithError("register failed");
            break;
        }
        std::thread writer(feed, p.server, kTransfer);
        total += r->Wait();
        writer.join();
        r->Close();
        r->WaitClosed();
        delete r;
        delete stream;
    }
    state.SetBytesProcessed(total);
}

void BM_PlainBlockingRead(benchmark::State& state) {
    corvio_test::TcpListener l(4);
    long total = 0;
    std::vector<char> buf(kPiece);
    for (auto _ : state) {
        Pair p = connect_pair(l);
        std::thread writer(feed, p.server, kTransfer);
        std::thread reader([&] {
            for (;;) {
                ssize_t n = read(p.client, buf.data(), kPiece);
                if (n <= 0)
                    break;
                total += n;
            }
        });
        reader.join();
        writer.join();
        close(p.client);
    }
    state.SetBytesProcessed(total);
}

long rss_kib() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    long size = 0, resident = 0;
    if (fscanf(f, "%ld %ld", &size, &resident) != 2)
        resident = 0;
    fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

class Idle : public CNetHandler {};

void idle_registrations() {
    const int kRegs = 10000;
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    {
        Idle warm;  // loops started before the first reading
        warm.Close();
        usleep(20000);
    }
    std::vector<CSockStream*> socks;
    socks.reserve(kRegs);
    for (int i = 0; i < kRegs / 2; ++i) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
            fprintf(stderr, "socketpair failed after %d pairs (descriptor limit %ld)\n", i,
                    static_cast<long>(rl.rlim_cur));
            break;
        }
        socks.push_back(new CSockStream(sv[0]));
        socks.push_back(new CSockStream(sv[1]));
    }
    long before = rss_kib();
    std::vector<Idle*> handlers;
    handlers.reserve(socks.size());
    int failed = 0;
    for (CSockStream* s : socks) {
        Idle* h = new Idle;
        if (h->RegisterSock(*s, CNetHandler::MASK_INPUT, 30000000) != 0)
            ++failed;
        handlers.push_back(h);
    }
    usleep(100000);  // let the loops add them
    long after = rss_kib();
    size_t n = handlers.size();
    double mib = (after - before) / 1024.0;
    printf(
        "idle registrations: %zu (failed %d), resident memory %ld KiB -> %ld KiB: +%.2f MiB "
        "(%.0f bytes each); target < 10 MiB: %s\n",
        n, failed, before, after, mib, (after - before) * 1024.0 / (n ? n : 1),
        mib < 10.0 ? "met" : "NOT met");
    for (Idle* h : handlers)
        h->Close();
    usleep(200000);
    for (Idle* h : handlers)
        delete h;
    for (CSockStream* s : socks)
        delete s;
}

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end())
                continue;
            double mbps = it->second.value / (1024.0 * 1024.0);
            if (run.benchmark_name().find("Reactor") != std::string::npos)
                g_reactor_mbps = mbps;
            else
                g_plain_mbps = mbps;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

BENCHMARK(BM_PlainBlockingRead)->Unit(benchmark::kMillisecond)->Iterations(8)->UseRealTime();
BENCHMARK(BM_ReactorRecv)->Unit(benchmark::kMillisecond)->Iterations(8)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (g_plain_mbps > 0 && g_reactor_mbps > 0)
        printf(
            "loopback TCP: reactor %.0f MiB/s, plain blocking read %.0f MiB/s, ratio %.2f "
            "(target >= 0.80: %s)\n",
            g_reactor_mbps, g_plain_mbps, g_reactor_mbps / g_plain_mbps,
            g_reactor_mbps / g_plain_mbps >= 0.8 ? "met" : "NOT met");
    idle_registrations();
    benchmark::Shutdown();
    return 0;
}
