// Request slots under concurrent callers, with a fake resolver: sharing of
// one slot, the 21st name refused, retries of failed runs, limits that run
// out, how waits end and the reason they leave, the failed all-address slot,
// and the manager's creation and destruction racing with its own threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Mardel/LastError.h"
#include "support/DnsFixture.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::DnsManagerTest;
using corvio_test::FakeAnswer;
using corvio_test::kV4;
using corvio_test::kV6;
using corvio_test::LogCapture;
using corvio_test::msSince;
using corvio_test::waitUntil;
using Halvex::Sablon::ResolveError;
using Clock = std::chrono::steady_clock;
using Set = std::set<std::string>;

namespace {

const char kNoSlot[] =
    "Index:-1 addRequest failed, there is no more resouce to deal the request!\n";

FakeAnswer gatedV4(const std::string& ip) {
    FakeAnswer a;
    a.v4 = {ip};
    a.gated = true;
    return a;
}

TEST_F(DnsManagerTest, ConcurrentCallersOfOneNameShareOneSlotAndOneResolution) {
    resolver->set("shared.test", gatedV4("192.0.2.77"));
    std::string ip_a, ip_b;
    bool ok_a = false, ok_b = false;
    std::thread a([&] { ok_a = mgr->getAddrInfo("shared.test", 0, ip_a, 5000, DNSModeNetOnly); });
    ASSERT_TRUE(waitUntil([&] { return mgr->requestRef(false, 0) == 1; }));
    std::thread b([&] { ok_b = mgr->getAddrInfo("shared.test", 0, ip_b, 5000, DNSModeNetOnly); });
    ASSERT_TRUE(waitUntil([&] { return mgr->requestRef(false, 0) == 2; }));
    EXPECT_EQ(mgr->requestStatus(false, 0), RequestRunning);
    resolver->open();
    a.join();
    b.join();
    EXPECT_TRUE(ok_a);
    EXPECT_TRUE(ok_b);
    EXPECT_EQ(ip_a, "192.0.2.77");
    EXPECT_EQ(ip_b, "192.0.2.77");
    EXPECT_EQ(resolver->calls("shared.test", kV4), 1);
    EXPECT_EQ(mgr->requestRef(false, 0), 0);
    EXPECT_EQ(mgr->requestStatus(false, 0), RequestSucceeded);
}

TEST_F(DnsManagerTest, OtherFamilyOfTheSameNameTakesItsOwnSlot) {
    FakeAnswer a = gatedV4("192.0.2.1");
    a.v6 = {"2001:db8::1"};
    resolver->set("fam.test", a);
    std::string ip4, ip6;
    std::thread t4([&] { mgr->getAddrInfo("fam.test", 0, ip4, 5000, DNSModeNetOnly); });
    std::thread t6([&] { mgr->getAddrInfo("fam.test", 1, ip6, 5000, DNSModeNetOnly); });
    ASSERT_TRUE(waitUntil([&] { return resolver->inside() == 2; }));
    EXPECT_EQ(mgr->requestRef(false, 0) + mgr->requestRef(false, 1), 2);
    resolver->open();
    t4.join();
    t6.join();
    EXPECT_EQ(ip4, "192.0.2.1");
    EXPECT_EQ(ip6, "2001:db8::1");
}

// A capture lives until every thread that may log has been joined.
TEST_F(DnsManagerTest, TwentyFirstConcurrentNameIsRefusedAtOnce) {
    LogCapture capture;
    std::vector<std::thread> threads;
    std::atomic<int> answered{0};
    for (int i = 0; i < kRequestSlots; ++i) {
        std::string name = "n" + std::to_string(i) + ".test";
        resolver->set(name, gatedV4("192.0.2." + std::to_string(i + 1)));
        threads.emplace_back([&, name] {
            std::string ip;
            if (mgr->getAddrInfo(name.c_str(), 0, ip, 5000, DNSModeNetOnly))
                ++answered;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return resolver->inside() == kRequestSlots; }));
    {
        capture.Clear();
        resolver->set("late.test", gatedV4("192.0.2.99"));
        auto began = Clock::now();
        std::string ip = "-";
        EXPECT_FALSE(mgr->getAddrInfo("late.test", 0, ip, 5000, DNSModeNetOnly));
        EXPECT_LT(msSince(began), 500);
        EXPECT_EQ(ip, "-");
        EXPECT_TRUE(capture.Has(kNoSlot, 3));
        EXPECT_EQ(Halvex::Mardel::getLastError(), kDNSManagerNoFreeSlot);
        EXPECT_EQ(capture.Lines().size(), 1u);  // nothing more
        EXPECT_EQ(capture.Lines()[0].function, "Halvex::Corvio::CDNSManager::addRequest");
        // A caller of a name in flight still joins.
        std::string joined;
        std::thread join([&] { mgr->getAddrInfo("n7.test", 0, joined, 5000, DNSModeNetOnly); });
        ASSERT_TRUE(waitUntil([&] {
            int refs = 0;
            for (int i = 0; i < kRequestSlots; ++i)
                refs += mgr->requestRef(false, i);
            return refs == kRequestSlots + 1;
        }));
        EXPECT_EQ(resolver->calls("n7.test", kV4), 1);
        resolver->open();
        join.join();
        EXPECT_EQ(joined, "192.0.2.8");
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(answered, kRequestSlots);
    EXPECT_EQ(resolver->calls("late.test", kV4), 0);
    // Every slot is free again.
    std::string ip;
    EXPECT_TRUE(mgr->getAddrInfo("late.test", 0, ip, 5000, DNSModeNetOnly));
}

TEST_F(DnsManagerTest, TwentyFirstAllAddressNameFailsBothFamiliesAtOnce) {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int i = 0; i < kRequestSlots; ++i) {
        std::string name = "a" + std::to_string(i) + ".test";
        resolver->set(name, gatedV4("192.0.2." + std::to_string(i + 1)));
        threads.emplace_back([&, name] {
            Set ips;
            mgr->getAddrInfoAll(name.c_str(), ips, 5000, DNSModeNetOnly);
        });
    }
    ASSERT_TRUE(waitUntil([&] { return resolver->inside() == kRequestSlots; }));
    {
        capture.Clear();
        Set ips{"stale"};
        EXPECT_FALSE(mgr->getAddrInfoAll("late.test", ips, 5000, DNSModeNetOnly));
        EXPECT_TRUE(ips.empty());
        EXPECT_EQ(capture.Messages(),
                  (std::vector<std::string>{kNoSlot, "getAddrInfoAll IPV4 failed!\n", kNoSlot,
                                            "getAddrInfoAll IPV6 failed!\n",
                                            "getAddrInfoAll failed!\n"}));
        EXPECT_EQ(capture.Lines()[2].function, "Halvex::Corvio::CDNSManager::addRequestAll");
        EXPECT_EQ(Halvex::Mardel::getLastError(), kDNSManagerNoFreeSlot);
    }
    resolver->open();
    for (auto& t : threads)
        t.join();
}

TEST_F(DnsManagerTest, FailedRunIsTriedAgainAboutASecondLaterWhileACallerWaits) {
    FakeAnswer a;
    a.v4 = {"192.0.2.5"};
    a.temporary_failures = 1;
    resolver->set("retry.test", a);
    LogCapture capture;
    auto began = Clock::now();
    std::string ip;
    EXPECT_TRUE(mgr->getAddrInfo("retry.test", 0, ip, 0, DNSModeNetOnly));
    int64_t took = msSince(began);
    EXPECT_EQ(ip, "192.0.2.5");
    EXPECT_EQ(resolver->calls("retry.test", kV4), 2);
    EXPECT_GE(took, 950);
    EXPECT_LT(took, 3000);
    auto returns = resolver->returns();
    ASSERT_EQ(returns.size(), 2u);
    int64_t gap =
        std::chrono::duration_cast<std::chrono::milliseconds>(returns[1] - returns[0]).count();
    EXPECT_GE(gap, 990);
    EXPECT_TRUE(
        capture.Has("getaddrinfo failed, error:Temporary failure in name resolution!\n", 3));
}

// The rule for a wait, with or without a limit: a temporary failure is tried
// again about every second while the caller waits; a definitive one (no such
// name, or the resolver's permanent failure) ends the wait with false at
// once. A false result leaves its reason as the last error.
struct WaitCase {
    const char* title;
    unsigned long long timeout;
    ResolveError error;
    int temporary_failures;
    bool result;
    int calls;
    int64_t min_ms, max_ms;
    unsigned int code;  // last error after false
};

class DnsWaitTest : public DnsManagerTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(DnsWaitTest, EndsAsTheRuleSays) {
    const WaitCase& c = GetParam();
    FakeAnswer a;
    a.v4 = {"192.0.2.6"};
    a.error = c.error;
    a.temporary_failures = c.temporary_failures;
    resolver->set("wait.test", a);
    LogCapture capture;
    auto began = Clock::now();
    std::string ip = "-";
    Halvex::Mardel::setLastError(0);
    EXPECT_EQ(mgr->getAddrInfo("wait.test", 0, ip, c.timeout, DNSModeNetOnly), c.result);
    int64_t took = msSince(began);
    EXPECT_GE(took, c.min_ms);
    EXPECT_LT(took, c.max_ms);
    EXPECT_EQ(resolver->calls("wait.test", kV4), c.calls);
    EXPECT_EQ(ip, c.result ? "192.0.2.6" : "-");
    EXPECT_EQ(Halvex::Mardel::getLastError(), c.code);
    if (!c.result)
        EXPECT_TRUE(capture.Has("getAddrInfo failed!request:0,timeout ref:1 times!\n", 3));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DnsWaitTest,
    ::testing::Values(
        WaitCase{"NotFoundEnds", 0, ResolveError::notFound, 0, false, 1, 0, 900,
                 kDNSManagerNotFound},
        WaitCase{"PermanentEnds", 0, ResolveError::permanent, 0, false, 1, 0, 900,
                 kDNSManagerPermanentFailure},
        WaitCase{"TemporaryKeepsTrying", 0, ResolveError::none, 2, true, 3, 1900, 5000, 0},
        WaitCase{"LimitedNotFoundEnds", 5000, ResolveError::notFound, 0, false, 1, 0, 900,
                 kDNSManagerNotFound},
        WaitCase{"LimitedPermanentEnds", 5000, ResolveError::permanent, 0, false, 1, 0, 900,
                 kDNSManagerPermanentFailure},
        WaitCase{"LimitedTemporaryRetriesUntilTheLimit", 1300, ResolveError::temporary, 0, false, 2,
                 1290, 2500, kDNSManagerTemporaryFailure},
        WaitCase{"LimitedTemporaryThenAnswer", 5000, ResolveError::none, 1, true, 2, 950, 2500, 0}),
    [](const ::testing::TestParamInfo<WaitCase>& info) { return info.param.title; });

TEST_F(DnsManagerTest, CallerOutOfTimeLeavesTheAnswerToTheCache) {
    FakeAnswer a;
    a.v4 = {"192.0.2.9"};
    a.delay_ms = 300;
    resolver->set("slow.test", a);
    LogCapture capture;
    auto began = Clock::now();
    std::string ip = "-";
    EXPECT_FALSE(mgr->getAddrInfo("slow.test", 0, ip, 50, DNSModeNetOnly));
    EXPECT_LT(msSince(began), 250);
    EXPECT_EQ(Halvex::Mardel::getLastError(), kDNSManagerTimedOut);
    EXPECT_EQ(ip, "-");
    EXPECT_TRUE(capture.Has("getAddrInfo failed!request:0,timeout ref:1 times!\n", 3));
    EXPECT_FALSE(mgr->getAddrInfo("slow.test", 0, ip, 0, DNSModeCacheOnly));
    ASSERT_TRUE(waitUntil([&] { return mgr->requestStatus(false, 0) == RequestSucceeded; }));
    EXPECT_TRUE(mgr->getAddrInfo("slow.test", 0, ip, 0, DNSModeCacheOnly));
    EXPECT_EQ(ip, "192.0.2.9");
    EXPECT_EQ(resolver->calls("slow.test", kV4), 1);
}

TEST_F(DnsManagerTest, AllAddressWaitersOfAFailedSlotEndAtOnce) {
    FakeAnswer a;
    a.v4 = {"192.0.2.1"};
    a.delay_ms = 100;  // both callers join the same runs
    resolver->set("half.test", a);
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    auto began = Clock::now();
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            Set ips;
            if (mgr->getAddrInfoAll("half.test", ips, 0, DNSModeNetOnly) && ips == Set{"192.0.2.1"})
                ++ok;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(ok, 4);
    EXPECT_LT(msSince(began), 1500);
    EXPECT_LE(resolver->calls("half.test", kV6), 4);
}

TEST_F(DnsManagerTest, ManyCallersManyNames) {
    constexpr int kNames = 5;
    for (int i = 0; i < kNames; ++i) {
        FakeAnswer a;
        a.v4 = {"192.0.2." + std::to_string(i + 1)};
        a.v6 = {"2001:db8::" + std::to_string(i + 1)};
        a.delay_ms = 20;
        resolver->set("m" + std::to_string(i) + ".test", a);
    }
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                int i = (t + round) % kNames;
                std::string name = "m" + std::to_string(i) + ".test";
                std::string ip;
                DNSMode mode = round % 2 ? DNSModeCacheFirst : DNSModeNetOnly;
                if (!mgr->getAddrInfo(name.c_str(), 0, ip, 3000, mode) ||
                    ip != "192.0.2." + std::to_string(i + 1))
                    ++wrong;
                // From the cache a family still resolving elsewhere may be
                // missing; whatever comes must be the name's own.
                Set ips;
                Set both{"192.0.2." + std::to_string(i + 1), "2001:db8::" + std::to_string(i + 1)};
                if (!mgr->getAddrInfoAll(name.c_str(), ips, 3000, mode) || ips.empty() ||
                    (mode == DNSModeNetOnly && ips != both))
                    ++wrong;
                for (const std::string& a : ips)
                    if (!both.count(a))
                        ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

TEST(DnsManagerLife, GetInstanceFromManyThreadsGivesOneManager) {
    CDNSManager::getInstance()->destroy();
    std::vector<std::thread> threads;
    std::vector<CDNSManager*> seen(8, nullptr);
    std::atomic<bool> go{false};
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            seen[i] = CDNSManager::getInstance();
        });
    go = true;
    for (auto& t : threads)
        t.join();
    for (CDNSManager* m : seen)
        EXPECT_EQ(m, seen[0]);
    seen[0]->destroy();
}

std::atomic<bool> g_block_clock{false};
std::atomic<bool> g_clock_entered{false};
std::atomic<bool> g_clock_returned{false};
uint64_t blockingClock() {
    if (g_block_clock.exchange(false)) {
        g_clock_entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        g_clock_returned = true;
    }
    return 36000000;
}

TEST(DnsManagerLife, DestroyDuringAPurgeWaitsForIt) {
    CDNSManager::getInstance()->destroy();
    CDNSManager::setRandomSource(&corvio_test::zeroRandom);
    CDNSManager::setCacheClock(&blockingClock);
    CDNSManager* mgr = CDNSManager::getInstance();
    for (int i = 0; i < 50; ++i) {
        mgr->addCache("p" + std::to_string(i), kV4, "192.0.2.1");
        mgr->addCacheAll("p" + std::to_string(i), kV4, {"192.0.2.1"});
    }
    g_block_clock = true;  // the purge, one second after construction, blocks
    ASSERT_TRUE(waitUntil([] { return g_clock_entered.load(); }, 3000));
    mgr->destroy();
    EXPECT_TRUE(g_clock_returned);
    CDNSManager::setCacheClock(nullptr);
    CDNSManager::setRandomSource(nullptr);
}

TEST(DnsManagerLife, DestroyWhileARunIsUnderWayWaitsForIt) {
    corvio_test::FakeResolver resolver;
    FakeAnswer a;
    a.v4 = {"192.0.2.1"};
    a.delay_ms = 200;
    resolver.set("busy.test", a);
    CDNSManager::getInstance()->destroy();
    CDNSManager* mgr = CDNSManager::getInstance();
    std::string ip;
    EXPECT_FALSE(mgr->getAddrInfo("busy.test", 0, ip, 20, DNSModeNetOnly));
    Set ips;
    EXPECT_FALSE(mgr->getAddrInfoAll("busy.test", ips, 20, DNSModeNetOnly));
    ASSERT_GE(resolver.inside(), 2);
    mgr->destroy();
    EXPECT_EQ(resolver.inside(), 0);
}

}  // namespace
