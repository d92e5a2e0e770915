// DNS manager resolution on one thread: argument checks, numeric texts, the
// four modes of both operations and the reason a failure leaves, the
// three-address limit, the all-address cache and a copy that runs out of
// memory, with a fake resolver.
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <set>
#include <string>

#include "Mardel/LastError.h"
#include "support/DnsFixture.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::DnsManagerTest;
using corvio_test::FailAllocations;
using corvio_test::FakeAnswer;
using corvio_test::kV4;
using corvio_test::kV6;
using corvio_test::LogCapture;
using Halvex::Mardel::getLastError;
using Halvex::Mardel::setLastError;
using Set = std::set<std::string>;

namespace {

const char kInvalid[] = "Invalid param!\n";

TEST_F(DnsManagerTest, GetAddrInfoRefusesBadArguments) {
    struct Case {
        const char* name;
        int family;
    } cases[] = {{nullptr, 0}, {"", 0}, {"host.test", -1}, {"host.test", 2}, {"127.0.0.1", 2}};
    for (const Case& c : cases) {
        LogCapture capture;
        std::string ip = "untouched";
        EXPECT_FALSE(mgr->getAddrInfo(c.name, c.family, ip, 100, DNSModeNetOnly));
        EXPECT_EQ(getLastError(), kDNSManagerBadArgument);
        EXPECT_EQ(ip, "untouched");
        EXPECT_TRUE(capture.Has(kInvalid, 2)) << (c.name ? c.name : "(null)") << " " << c.family;
    }
    EXPECT_EQ(resolver->totalCalls(), 0);
}

TEST_F(DnsManagerTest, GetAddrInfoAllRefusesBadArgumentsAndLeavesTheSet) {
    struct Case {
        const char* name;
        int mode;
    } cases[] = {{nullptr, 1},     {"", 1},          {"host.test", 0},
                 {"host.test", 5}, {"127.0.0.1", 0}, {"::1", -1}};
    for (const Case& c : cases) {
        LogCapture capture;
        Set ips{"untouched"};
        EXPECT_FALSE(mgr->getAddrInfoAll(c.name, ips, 100, static_cast<DNSMode>(c.mode)));
        EXPECT_EQ(getLastError(), kDNSManagerBadArgument);
        EXPECT_EQ(ips, Set{"untouched"});
        EXPECT_TRUE(capture.Has(kInvalid, 2));
    }
    EXPECT_EQ(resolver->totalCalls(), 0);
}

TEST_F(DnsManagerTest, NumericTextOfTheFamilyIsItsOwnAnswerInAnyMode) {
    struct Case {
        const char* text;
        int family;
    } cases[] = {{"192.0.2.1", 0},    {"127.0.0.1", 0},      {"::1", 1},
                 {"2001:db8::17", 1}, {"::ffff:1.2.3.4", 1}, {"FE80::1", 1}};
    for (const Case& c : cases) {
        for (int mode : {0, 1, 2, 3, 4, 5}) {
            std::string ip;
            EXPECT_TRUE(mgr->getAddrInfo(c.text, c.family, ip, 0, static_cast<DNSMode>(mode)));
            EXPECT_EQ(ip, c.text);
        }
    }
    for (const char* text : {"192.0.2.1", "::1", "2001:db8::17"}) {
        Set ips{"old"};
        EXPECT_TRUE(mgr->getAddrInfoAll(text, ips, 0, DNSModeCacheOnly));
        EXPECT_EQ(ips, Set{text});
    }
    EXPECT_EQ(resolver->totalCalls(), 0);
    EXPECT_EQ(mgr->cacheSize(), 0u);
}

TEST_F(DnsManagerTest, NumericTextOfTheOtherFamilyIsResolvedLikeAName) {
    // "::1" for IPv4 and "10.0.0.1" for IPv6 go to the resolver.
    std::string ip;
    EXPECT_FALSE(mgr->getAddrInfo("::1", 0, ip, 50, DNSModeNetOnly));
    EXPECT_EQ(resolver->calls("::1", kV4), 1);
    FakeAnswer mapped;
    mapped.v6 = {"::ffff:10.0.0.1"};
    resolver->set("10.0.0.1", mapped);
    EXPECT_TRUE(mgr->getAddrInfo("10.0.0.1", 1, ip, 1000, DNSModeNetOnly));
    EXPECT_EQ(ip, "::ffff:10.0.0.1");
}

TEST(DnsInet, PtonAndNtop) {
    struct Case {
        int family;
        const char* text;
        int result;
        const char* rendered;  // what ntop gives back for a parsed text
    } cases[] = {
        {kV4, "1.2.3.4", 1, "1.2.3.4"},
        {kV4, "255.255.255.255", 1, "255.255.255.255"},
        {kV4, "1.2.3", 0, nullptr},
        {kV4, "1.2.3.256", 0, nullptr},
        {kV4, " 1.2.3.4", 0, nullptr},
        {kV4, "::1", 0, nullptr},
        {kV6, "::1", 1, "::1"},
        {kV6, "2001:DB8:0:0:0:0:0:1", 1, "2001:db8::1"},
        {kV6, "::ffff:192.0.2.1", 1, "::ffff:192.0.2.1"},
        {kV6, "1.2.3.4", 0, nullptr},
        {kV6, "1::2::3", 0, nullptr},
        {kV6, "fe80::1%eth0", 0, nullptr},
        {7, "1.2.3.4", 0, nullptr},
        // 45 characters: the longest numeric text there is.
        {kV6, "0000:0000:0000:0000:0000:ffff:255.255.255.255", 1, "::ffff:255.255.255.255"},
        // Longer than 65: cut, and so never taken for an address.
        {kV4, "1.2.3.4                                                              x", 0, nullptr},
    };
    for (const Case& c : cases) {
        unsigned char bytes[16] = {};
        EXPECT_EQ(Inet::pton(c.family, c.text, bytes), c.result) << c.text;
        if (!c.rendered)
            continue;
        char out[64];
        EXPECT_EQ(Inet::ntop(c.family, bytes, out, sizeof(out)), out);
        EXPECT_STREQ(out, c.rendered);
    }
    unsigned char bytes[16] = {};
    char out[64];
    EXPECT_EQ(Inet::pton(kV4, nullptr, bytes), -1);
    EXPECT_EQ(Inet::pton(kV4, "1.2.3.4", nullptr), -1);
    EXPECT_EQ(Inet::ntop(kV4, nullptr, out, 64), nullptr);
    EXPECT_EQ(Inet::ntop(kV4, bytes, nullptr, 64), nullptr);
    EXPECT_EQ(Inet::ntop(3, bytes, out, 64), nullptr);
    EXPECT_EQ(Inet::ntop(kV4, bytes, out, 7), nullptr);  // "0.0.0.0" needs 8
    EXPECT_EQ(Inet::ntop(kV4, bytes, out, 8), out);
}

TEST_F(DnsManagerTest, AddrTostrRefusesOtherFamiliesWithoutMessage) {
    LogCapture capture;
    unsigned char bytes[16] = {127, 0, 0, 1};
    std::string ip = "x";
    EXPECT_FALSE(mgr->addrTostr(1, bytes, &ip));
    EXPECT_EQ(ip, "x");
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_TRUE(mgr->addrTostr(kV4, bytes, &ip));
    EXPECT_EQ(ip, "127.0.0.1");
}

// ---- modes ---------------------------------------------------------------------

struct ModeCase {
    const char* title;
    int mode;
    const char* cached;  // cache entry before the call, or null
    bool net_answers;    // the resolver knows the name
    bool result;
    const char* ip;  // expected ip afterwards ("-" untouched)
    int calls;
    unsigned int code;  // last error after false
};

class DnsModeTest : public DnsManagerTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(DnsModeTest, GetAddrInfo) {
    const ModeCase& c = GetParam();
    if (c.cached)
        mgr->addCache("mode.test", kV4, c.cached);
    if (c.net_answers) {
        FakeAnswer a;
        a.v4 = {"192.0.2.10"};
        resolver->set("mode.test", a);
    }
    LogCapture capture;
    std::string ip = "-";
    setLastError(0);
    EXPECT_EQ(mgr->getAddrInfo("mode.test", 0, ip, 300, static_cast<DNSMode>(c.mode)), c.result);
    if (!c.result)
        EXPECT_EQ(getLastError(), c.code);
    EXPECT_EQ(ip, c.ip);
    EXPECT_EQ(resolver->calls("mode.test", kV4), c.calls);
    if (c.mode < 1 || c.mode > 4)
        EXPECT_TRUE(capture.Lines().empty());
    if (c.result && c.calls > 0 && std::string(c.ip) == "192.0.2.10") {
        bool net_line = false;
        for (const auto& l : capture.Lines())
            net_line |= l.level == 6 && l.function == "Halvex::Corvio::CDNSManager::getByNet" &&
                        l.message.rfind("[Halvex::Corvio::CDNSManager::getByNet:", 0) == 0 &&
                        l.message.find("]gethost from net\n") != std::string::npos;
        EXPECT_TRUE(net_line);
    }
    if (c.result && c.calls == 0)
        EXPECT_TRUE(capture.Has("gethost from cache sucess!\n", 6));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DnsModeTest,
    ::testing::Values(
        ModeCase{"NetAnswers", 1, nullptr, true, true, "192.0.2.10", 1, 0},
        ModeCase{"NetIgnoresCache", 1, "198.51.100.1", false, false, "-", 1, kDNSManagerNotFound},
        ModeCase{"CacheHit", 2, "198.51.100.1", true, true, "198.51.100.1", 0, 0},
        ModeCase{"CacheMiss", 2, nullptr, true, false, "-", 0, kDNSManagerNotFound},
        ModeCase{"NetFirstPrefersNet", 3, "198.51.100.1", true, true, "192.0.2.10", 1, 0},
        ModeCase{"NetFirstFallsBackToCache", 3, "198.51.100.1", false, true, "198.51.100.1", 1, 0},
        ModeCase{"NetFirstNeither", 3, nullptr, false, false, "-", 1, kDNSManagerNotFound},
        ModeCase{"CacheFirstPrefersCache", 4, "198.51.100.1", true, true, "198.51.100.1", 0, 0},
        ModeCase{"CacheFirstFallsBackToNet", 4, nullptr, true, true, "192.0.2.10", 1, 0},
        ModeCase{"CacheFirstNeither", 4, nullptr, false, false, "-", 1, kDNSManagerNotFound},
        ModeCase{"ModeZero", 0, "198.51.100.1", true, false, "-", 0, kDNSManagerBadArgument},
        ModeCase{"ModeFive", 5, "198.51.100.1", true, false, "-", 0, kDNSManagerBadArgument}),
    [](const ::testing::TestParamInfo<ModeCase>& info) { return info.param.title; });

TEST_F(DnsManagerTest, NetworkAnswerFillsTheCacheOfItsFamilyOnly) {
    FakeAnswer a;
    a.v4 = {"192.0.2.1", "192.0.2.2"};
    a.v6 = {"2001:db8::1"};
    resolver->set("both.test", a);
    std::string ip;
    ASSERT_TRUE(mgr->getAddrInfo("both.test", 1, ip, 1000, DNSModeNetOnly));
    EXPECT_EQ(ip, "2001:db8::1");
    EXPECT_TRUE(mgr->getAddrInfo("both.test", 1, ip, 0, DNSModeCacheOnly));
    EXPECT_FALSE(mgr->getAddrInfo("both.test", 0, ip, 0, DNSModeCacheOnly));
    ASSERT_TRUE(mgr->getAddrInfo("both.test", 0, ip, 1000, DNSModeNetOnly));
    EXPECT_EQ(ip, "192.0.2.1");  // the first entry of the family
    EXPECT_EQ(mgr->cacheSize(), 2u);
}

TEST_F(DnsManagerTest, ResolverFailureIsLoggedWithItsText) {
    FakeAnswer a;
    a.error = Halvex::Sablon::ResolveError::permanent;
    resolver->set("fail.test", a);
    LogCapture capture;
    std::string ip;
    EXPECT_FALSE(mgr->getAddrInfo("fail.test", 0, ip, 0, DNSModeNetOnly));
    EXPECT_TRUE(
        capture.Has("getaddrinfo failed, error:Non-recoverable failure in name resolution!\n", 3));
    EXPECT_TRUE(capture.Has("getAddrInfo failed!request:0,timeout ref:1 times!\n", 3));
}

// ---- all addresses ---------------------------------------------------------------

struct AllModeCase {
    const char* title;
    int mode;
    bool cached;  // {cached v4} and {cached v6} in the cache before the call
    bool net_answers;
    bool result;
    Set ips;
    int calls;  // resolver calls, both families
};

class DnsAllModeTest : public DnsManagerTest, public ::testing::WithParamInterface<AllModeCase> {};

TEST_P(DnsAllModeTest, GetAddrInfoAll) {
    const AllModeCase& c = GetParam();
    if (c.cached) {
        mgr->addCacheAll("all.test", kV4, {"198.51.100.1"});
        mgr->addCacheAll("all.test", kV6, {"2001:db8::99"});
    }
    if (c.net_answers) {
        FakeAnswer a;
        a.v4 = {"192.0.2.10"};
        a.v6 = {"2001:db8::10"};
        resolver->set("all.test", a);
    }
    Set ips{"stale"};
    setLastError(0);
    EXPECT_EQ(mgr->getAddrInfoAll("all.test", ips, 300, static_cast<DNSMode>(c.mode)), c.result);
    if (!c.result)
        EXPECT_EQ(getLastError(), kDNSManagerNotFound);
    EXPECT_EQ(ips, c.ips);
    EXPECT_EQ(resolver->totalCalls(), c.calls);
}

const Set kNet{"192.0.2.10", "2001:db8::10"};
const Set kCached{"198.51.100.1", "2001:db8::99"};

INSTANTIATE_TEST_SUITE_P(
    Modes, DnsAllModeTest,
    ::testing::Values(AllModeCase{"Net", 1, true, true, true, kNet, 2},
                      AllModeCase{"NetFails", 1, true, false, false, {}, 2},
                      AllModeCase{"CacheUnion", 2, true, true, true, kCached, 0},
                      AllModeCase{"CacheMiss", 2, false, true, false, {}, 0},
                      AllModeCase{"NetFirst", 3, true, true, true, kNet, 2},
                      AllModeCase{"NetFirstFallsBack", 3, true, false, true, kCached, 2},
                      AllModeCase{"CacheFirst", 4, true, true, true, kCached, 0},
                      AllModeCase{"CacheFirstFallsBack", 4, false, true, true, kNet, 2}),
    [](const ::testing::TestParamInfo<AllModeCase>& info) { return info.param.title; });

TEST_F(DnsManagerTest, AtMostThreeAddressesPerFamilyInResolverOrder) {
    FakeAnswer a;
    a.v4 = {"192.0.2.5", "192.0.2.4", "192.0.2.3", "192.0.2.2", "192.0.2.1"};
    a.v6 = {"2001:db8::1", "2001:db8::1", "2001:db8::2", "2001:db8::3"};
    resolver->set("many.test", a);
    Set ips;
    ASSERT_TRUE(mgr->getAddrInfoAll("many.test", ips, 1000, DNSModeNetOnly));
    // A repeated text uses up one of the three.
    EXPECT_EQ(ips, (Set{"192.0.2.5", "192.0.2.4", "192.0.2.3", "2001:db8::1", "2001:db8::2"}));
    Set cached;
    EXPECT_TRUE(mgr->getAddrInfoAll("many.test", cached, 0, DNSModeCacheOnly));
    EXPECT_EQ(cached, ips);
}

TEST_F(DnsManagerTest, OneFamilyOnlyEndsAtOnceEvenWithoutLimit) {
    FakeAnswer a;
    a.v4 = {"192.0.2.1", "192.0.2.2", "192.0.2.3", "192.0.2.4", "192.0.2.5"};
    resolver->set("v4only.test", a);
    LogCapture capture;
    auto began = std::chrono::steady_clock::now();
    Set ips;
    EXPECT_TRUE(mgr->getAddrInfoAll("v4only.test", ips, 0, DNSModeNetOnly));
    EXPECT_LT(corvio_test::msSince(began), 900);
    EXPECT_EQ(ips, (Set{"192.0.2.1", "192.0.2.2", "192.0.2.3"}));
    EXPECT_TRUE(capture.Has("gethost from net!\n", 6));
    EXPECT_TRUE(capture.Has("getAddrInfo failed, request:0,timeout,ref:1 times!\n", 3));
    EXPECT_TRUE(capture.Has("getAddrInfoAll IPV6 failed!\n", 3));
    EXPECT_FALSE(capture.Has("getAddrInfoAll IPV4 failed!\n"));
    EXPECT_FALSE(capture.Has("getAddrInfoAll failed!\n"));
    EXPECT_EQ(resolver->calls("v4only.test", kV6), 1);  // a failed slot is not run again
}

// A resolution that throws (out of memory, or a resolver installed by the
// host program) still ends its slot: the waiters of all-address slots end at
// once, and the slot is free again afterwards.
TEST_F(DnsManagerTest, ThrowingResolutionEndsItsSlot) {
    Halvex::Sablon::setResolver(
        [](const std::string&, int) -> Halvex::Sablon::ResolveResult { throw std::bad_alloc(); });
    auto began = std::chrono::steady_clock::now();
    Set ips;
    EXPECT_FALSE(mgr->getAddrInfoAll("throws.test", ips, 2000, DNSModeNetOnly));
    EXPECT_LT(corvio_test::msSince(began), 1500);
    EXPECT_TRUE(ips.empty());
}

// Copying the answer to the caller runs out of memory: the caller gets false
// and the reason, and the slot is not lost (its waiter count goes back to 0).
TEST_F(DnsManagerTest, SlotIsReleasedWhenCopyingTheAnswerRunsOutOfMemory) {
    const std::string kLong = "2001:db8:1111:2222:3333:4444:5555:6666";  // not inline
    FakeAnswer a;
    a.v6 = {kLong};
    resolver->set("oom.test", a);
    std::string ip;
    Set ips;
    bool one, all;
    {
        FailAllocations refuse(kLong.size() + 1);
        one = mgr->getAddrInfo("oom.test", 1, ip, 2000, DNSModeNetOnly);
        all = mgr->getAddrInfoAll("oom.test", ips, 2000, DNSModeNetOnly);
    }
    EXPECT_FALSE(one);
    EXPECT_FALSE(all);
    EXPECT_EQ(getLastError(), kDNSManagerOutOfMemory);
    EXPECT_EQ(mgr->requestRef(false, 0), 0);
    EXPECT_EQ(mgr->requestRef(true, 1), 0);  // the IPv6 slot; IPv4 took slot 0
    EXPECT_TRUE(mgr->getAddrInfo("oom.test", 1, ip, 2000, DNSModeNetOnly));
    EXPECT_EQ(ip, kLong);
}

TEST_F(DnsManagerTest, NeitherFamilyGivesThreeMessagesAndFalse) {
    LogCapture capture;
    Set ips{"stale"};
    EXPECT_FALSE(mgr->getAddrInfoAll("nowhere.test", ips, 0, DNSModeNetOnly));
    EXPECT_TRUE(ips.empty());
    std::vector<std::string> summary;
    for (const auto& m : capture.Messages())
        if (m.rfind("getAddrInfoAll", 0) == 0)
            summary.push_back(m);
    EXPECT_EQ(summary, (std::vector<std::string>{"getAddrInfoAll IPV4 failed!\n",
                                                 "getAddrInfoAll IPV6 failed!\n",
                                                 "getAddrInfoAll failed!\n"}));
    EXPECT_EQ(capture.Count("getaddrinfo failed, error:Name or service not known!\n"), 2);
    EXPECT_EQ(getLastError(), kDNSManagerNotFound);
}

TEST_F(DnsManagerTest, EmptyCachedSetIsAMiss) {
    // A resolution without an address of the family caches an empty set; it
    // must not answer a cache step.
    FakeAnswer a;
    a.v4 = {"192.0.2.1"};
    resolver->set("empty.test", a);
    mgr->addCacheAll("empty.test", kV4, {});
    mgr->addCacheAll("empty.test", kV6, {});
    Set ips;
    EXPECT_FALSE(mgr->getAddrInfoAll("empty.test", ips, 0, DNSModeCacheOnly));
    EXPECT_TRUE(ips.empty());
    EXPECT_TRUE(mgr->getAddrInfoAll("empty.test", ips, 0, DNSModeCacheFirst));
    EXPECT_EQ(ips, Set{"192.0.2.1"});
    EXPECT_EQ(resolver->calls("empty.test", kV4), 1);
    Set only_v4;
    EXPECT_TRUE(mgr->getByCacheAll("empty.test", &only_v4));
    EXPECT_EQ(only_v4, Set{"192.0.2.1"});
}

}  // namespace
