// DNS manager against the system resolver, in one run:
//  - getAddrInfo answered from a warm cache against a direct getaddrinfo of
//    the same name from /etc/hosts ("localhost"), on 1 and 8 threads;
//  - a network resolution through the manager against the resolver's own
//    time, with a stand-in resolver that takes a known time; the counter
//    deliver_us is the time from the resolver's return to the caller's.
// A summary with the ratios follows the table.
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "DNSManager/DNSManagerImp.h"
#include "Sablon/Resolver.h"

using Halvex::Corvio::CDNSManager;
using Halvex::Corvio::DNSModeCacheOnly;
using Halvex::Corvio::DNSModeNetOnly;
using Clock = std::chrono::steady_clock;

namespace {

const char kName[] = "localhost";
constexpr int kResolverMicros = 2000;

CDNSManager* warmManager() {
    static CDNSManager* mgr = [] {
        CDNSManager* m = CDNSManager::getInstance();
        std::string ip;
        if (!m->getAddrInfo(kName, 0, ip, 5000, DNSModeNetOnly))
            fprintf(stderr, "warning: %s did not resolve\n", kName);
        return m;
    }();
    return mgr;
}

bool cacheHit() {
    std::string ip;
    return warmManager()->getAddrInfo(kName, 0, ip, 0, DNSModeCacheOnly);
}

bool directLookup() {
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    int rc = getaddrinfo(kName, nullptr, &hints, &list);
    if (list)
        freeaddrinfo(list);
    return rc == 0;
}

void BM_ManagerCacheHit(benchmark::State& state) {
    warmManager();
    for (auto _ : state)
        benchmark::DoNotOptimize(cacheHit());
}
BENCHMARK(BM_ManagerCacheHit)->Threads(1)->Threads(8)->UseRealTime();

void BM_DirectGetaddrinfo(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(directLookup());
}
BENCHMARK(BM_DirectGetaddrinfo)->Threads(1)->Threads(8)->UseRealTime();

// ---- network path with a resolver of known duration --------------------------

std::atomic<int64_t> g_resolver_return_ns{0};

Halvex::Sablon::ResolveResult timedResolver(const std::string&, int family) {
    auto end = Clock::now() + std::chrono::microseconds(kResolverMicros);
    std::this_thread::sleep_until(end);
    Halvex::Sablon::ResolveResult r;
    Halvex::Sablon::ResolvedAddress a;
    a.family = family;
    a.length = family == Halvex::Sablon::Inet::kFamilyIPv4 ? 4 : 16;
    a.bytes[0] = 192;
    a.bytes[3] = 7;
    r.addresses.push_back(a);
    g_resolver_return_ns = Clock::now().time_since_epoch().count();
    return r;
}

void BM_ResolverAlone(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(timedResolver("bench.test", 2));
}
BENCHMARK(BM_ResolverAlone)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ManagerNetworkPath(benchmark::State& state) {
    CDNSManager* mgr = warmManager();
    Halvex::Sablon::setResolver(&timedResolver);
    double deliver_ns = 0;
    for (auto _ : state) {
        std::string ip;
        benchmark::DoNotOptimize(mgr->getAddrInfo("bench.test", 0, ip, 5000, DNSModeNetOnly));
        deliver_ns += static_cast<double>(Clock::now().time_since_epoch().count() -
                                          g_resolver_return_ns.load());
    }
    Halvex::Sablon::setResolver(nullptr);
    state.counters["deliver_us"] =
        benchmark::Counter(deliver_ns / 1000.0, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ManagerNetworkPath)->UseRealTime()->Unit(benchmark::kMicrosecond);

// ---- summary --------------------------------------------------------------------

template <typename F>
double nsPerCall(F f, int threads, int per_thread) {
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < per_thread; ++i)
                benchmark::DoNotOptimize(f());
        });
    auto began = Clock::now();
    go = true;
    for (auto& th : pool)
        th.join();
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - began).count();
    return ns / (static_cast<double>(threads) * per_thread);  // wall time per call, all threads
}

void printSummary() {
    warmManager();
    printf("\nsummary (wall time per call, averaged over all calls):\n");
    for (int threads : {1, 8}) {
        double hit = nsPerCall(cacheHit, threads, 200000 / threads);
        double direct = nsPerCall(directLookup, threads, 20000 / threads);
        printf("  %d thread(s): cache hit %.0f ns, getaddrinfo %.0f ns, ratio %.1fx\n", threads,
               hit, direct, direct / hit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    printSummary();
    benchmark::Shutdown();
    warmManager()->destroy();
    return 0;
}
