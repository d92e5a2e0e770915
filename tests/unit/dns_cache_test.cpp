// The address caches with a clock and random source of the test's own:
// spread of start times, expiry by the purge, eviction when full, the union
// of both families, and the random source's failure messages.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>

#include "support/DnsFixture.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::kV4;
using corvio_test::kV6;
using corvio_test::LogCapture;
using Set = std::set<std::string>;

namespace {

constexpr uint64_t kMinute = 60000;

std::atomic<uint64_t> g_now{0};
uint64_t fakeClock() {
    return g_now.load();
}

// The next value the random source yields, and how many bytes it delivers
// (-1: the source cannot be opened).
std::atomic<int32_t> g_random{0};
std::atomic<int> g_random_bytes{4};
int fakeRandom(void* out, int size) {
    int32_t v = g_random.load();
    int n = g_random_bytes.load();
    if (n < 0)
        return -1;
    if (n > size)
        n = size;
    memcpy(out, &v, static_cast<size_t>(n));
    return n;
}

class DnsCacheTest : public corvio_test::DnsManagerTest {
protected:
    void SetUp() override {
        DnsManagerTest::SetUp();
        g_now = 10 * 60 * kMinute;  // ten hours after the clock's origin
        g_random = 0;
        g_random_bytes = 4;
        CDNSManager::setCacheClock(&fakeClock);
        CDNSManager::setRandomSource(&fakeRandom);
        mgr->getRandom();  // last random value 0
    }
    uint64_t startOf(const std::string& name, int family = kV4) {
        DNSCacheEntry e{};
        EXPECT_TRUE(mgr->cacheEntry(name, family, &e)) << name;
        return e.start;
    }
};

TEST_F(DnsCacheTest, StartTimeIsInsertionMovedBySpread) {
    struct Case {
        int32_t random;
        int64_t spread;
    } cases[] = {
        {0, 0},
        {1, 600},
        {999, 599400},
        {1000, 0},
        {1500, 300000},
        {-1, -600},
        {-999, -599400},
        {INT_MAX, 647 * 600},
        {INT_MIN, -648 * 600},
    };
    const uint64_t t = g_now;
    for (const Case& c : cases) {
        g_random = c.random;
        mgr->addCache("spread.test", kV4, "192.0.2.1");
        EXPECT_EQ(startOf("spread.test"), static_cast<uint64_t>(static_cast<int64_t>(t) + c.spread))
            << c.random;
    }
}

TEST_F(DnsCacheTest, StartNearTheClockOriginIsFlooredAtZeroAndSurvivesThePurge) {
    g_now = kMinute;  // a device that booted a minute ago
    g_random = -999;  // spread -599.4 s
    mgr->addCache("boot.test", kV4, "192.0.2.1");
    mgr->addCacheAll("boot.test", kV4, {"192.0.2.1"});
    EXPECT_EQ(startOf("boot.test"), 0u);
    mgr->cacheTimerProc(0);
    std::string ip;
    EXPECT_TRUE(mgr->getAddrInfo("boot.test", 0, ip, 0, DNSModeCacheOnly));
    Set ips;
    EXPECT_TRUE(mgr->getAddrInfoAll("boot.test", ips, 0, DNSModeCacheOnly));
}

TEST_F(DnsCacheTest, EntryLivesFortyMinutesAndIsGoneAfterSeventyOne) {
    const uint64_t t = g_now;
    mgr->addCache("age.test", kV4, "192.0.2.1");
    mgr->addCacheAll("age.test", kV6, {"2001:db8::1"});
    struct Step {
        uint64_t at;
        bool present;
    } steps[] = {{t + 1 * kMinute, true},
                 {t + 40 * kMinute, true},
                 {t + 60 * kMinute, true},
                 {t + 71 * kMinute, false}};
    for (const Step& s : steps) {
        g_now = s.at;
        std::string ip;
        mgr->cacheTimerProc(0);
        EXPECT_EQ(mgr->getAddrInfo("age.test", 0, ip, 0, DNSModeCacheOnly), s.present)
            << (s.at - t) / kMinute;
        Set ips;
        EXPECT_EQ(mgr->getAddrInfoAll("age.test", ips, 0, DNSModeCacheOnly), s.present);
    }
}

TEST_F(DnsCacheTest, PurgeDropsStartsFarInTheFuture) {
    mgr->addCache("future.test", kV4, "192.0.2.1");
    mgr->addCache("near.test", kV4, "192.0.2.2");
    g_now -= 10 * kMinute;  // near.test now starts exactly ten minutes ahead: kept
    mgr->cacheTimerProc(0);
    EXPECT_EQ(mgr->cacheSize(), 2u);
    g_now -= 1;
    mgr->cacheTimerProc(0);
    EXPECT_EQ(mgr->cacheSize(), 0u);
}

TEST_F(DnsCacheTest, FullCacheEvictsOneEntry) {
    // name000..name099, each inserted one millisecond after the one before.
    char name[16];
    for (int i = 0; i < 100; ++i) {
        snprintf(name, sizeof(name), "name%03d", i);
        g_now += 1;
        mgr->addCache(name, kV4, "192.0.2.1");
        mgr->addCacheAll(name, kV4, {"192.0.2.1"});
    }
    ASSERT_EQ(mgr->cacheSize(), 100u);
    g_now += 1;
    // A new key: the oldest entry goes, 100 remain.
    mgr->addCache("zzz", kV4, "192.0.2.9");
    mgr->addCacheAll("zzz", kV4, {"192.0.2.9"});
    EXPECT_EQ(mgr->cacheSize(), 100u);
    EXPECT_EQ(mgr->allCacheSize(), 100u);
    std::string ip;
    EXPECT_FALSE(mgr->getByCache("name000", kV4, &ip));
    EXPECT_TRUE(mgr->getByCache("name001", kV4, &ip));
    // A key already present: one entry is evicted and the key replaced: 99.
    mgr->addCache("name050", kV4, "192.0.2.50");
    EXPECT_EQ(mgr->cacheSize(), 99u);
    EXPECT_FALSE(mgr->getByCache("name001", kV4, &ip));
    EXPECT_TRUE(mgr->getByCache("name050", kV4, &ip));
    EXPECT_EQ(ip, "192.0.2.50");
    // Full again; the walk stops at once when the first entry in key order
    // starts no earlier than the new entry: that first entry goes, even when
    // it is the very key stored, which then leaves 100.
    mgr->addCache("aaa", kV4, "192.0.2.7");
    ASSERT_EQ(mgr->cacheSize(), 100u);
    g_random = -999;
    mgr->addCache("aaa", kV4, "192.0.2.8");
    EXPECT_EQ(mgr->cacheSize(), 100u);
    EXPECT_TRUE(mgr->getByCache("aaa", kV4, &ip));
    EXPECT_EQ(ip, "192.0.2.8");
}

TEST_F(DnsCacheTest, FamiliesAreSeparateEntriesAndTheCacheStepGivesTheirUnion) {
    mgr->addCache("dual.test", kV4, "192.0.2.1");
    mgr->addCache("dual.test", kV6, "2001:db8::1");
    std::string ip;
    EXPECT_TRUE(mgr->getAddrInfo("dual.test", 0, ip, 0, DNSModeCacheOnly));
    EXPECT_EQ(ip, "192.0.2.1");
    EXPECT_TRUE(mgr->getAddrInfo("dual.test", 1, ip, 0, DNSModeCacheOnly));
    EXPECT_EQ(ip, "2001:db8::1");
    mgr->addCacheAll("dual.test", kV4, {"192.0.2.1", "192.0.2.2"});
    mgr->addCacheAll("dual.test", kV6, {"2001:db8::1"});
    Set ips;
    EXPECT_TRUE(mgr->getByCacheAll("dual.test", &ips));
    EXPECT_EQ(ips, (Set{"192.0.2.1", "192.0.2.2", "2001:db8::1"}));
    EXPECT_EQ(mgr->allCacheSize(), 2u);
}

TEST_F(DnsCacheTest, RandomSourceFailuresAreLoggedAndTheLastValueServes) {
    g_random = 5;  // last value 5: spread 3000
    mgr->addCache("r.test", kV4, "192.0.2.1");
    struct Case {
        int bytes;
        const char* message;
        uint64_t spread;
    } cases[] = {
        {-1, "Could not open /dev/urandom.", 3000},  // the last value serves
        {0, "fread 4 byte failed", 3000},
        {1, "fread 4 byte failed", 7 * 600},  // low byte replaced: 7
        {4, nullptr, 7 * 600},
    };
    g_random = 7;
    for (const Case& c : cases) {
        g_random_bytes = c.bytes;
        LogCapture capture;
        mgr->addCache("r.test", kV4, "192.0.2.1");
        EXPECT_EQ(startOf("r.test"), g_now + c.spread) << c.bytes;
        if (c.message)
            EXPECT_TRUE(capture.Has(c.message, 3)) << c.bytes;
        else
            EXPECT_TRUE(capture.Lines().empty());
    }
}

TEST_F(DnsCacheTest, DiagnosticDumps) {
    mgr->addCacheAll("b.test", kV6, {"2001:db8::1"});
    mgr->addCacheAll("a.test", kV4, {"192.0.2.2", "192.0.2.1"});
    LogCapture capture;
    EXPECT_TRUE(mgr->printfCache());
    EXPECT_TRUE(mgr->printfCacheIP({"x", "y"}));
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"dominame:a.test,family:" + std::to_string(kV4) + "\n",
                                        "IP:192.0.2.1\n", "IP:192.0.2.2\n",
                                        "dominame:b.test,family:" + std::to_string(kV6) + "\n",
                                        "IP:2001:db8::1\n", "ip_addreess:x\n", "ip_addreess:y\n"}));
    for (const auto& l : capture.Lines())
        EXPECT_EQ(l.level, 4);
}

}  // namespace
