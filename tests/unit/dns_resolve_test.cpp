// DNS manager resolution on one thread: argument checks, numeric texts, the
// four modes of both operations and the reason a failure leaves, the
// three-address limit, the all-address cache and a copy that runs out of
// memory, with a fake resolver. Tables: tests/data/dns.txt.
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <set>
#include <string>

#include "Mardel/LastError.h"
#include "support/CaseFile.h"
#include "support/DnsFixture.h"
#include "support/FailAlloc.h"
#include "support/LogCapture.h"

using namespace Halvex::Corvio;
using corvio_test::Case;
using corvio_test::DnsManagerTest;
using corvio_test::FailAllocations;
using corvio_test::FakeAnswer;
using corvio_test::kV4;
using corvio_test::kV6;
using corvio_test::LoadCases;
using corvio_test::LogCapture;
using Halvex::Mardel::getLastError;
using Halvex::Mardel::setLastError;
using Set = std::set<std::string>;

namespace {

const char kFile[] = "dns.txt";
const char kInvalid[] = "Invalid param!\n";

TEST_F(DnsManagerTest, GetAddrInfoRefusesBadArguments) {
    for (const Case& c : LoadCases(kFile, "bad-args", 2)) {
        LogCapture capture;
        std::string ip = "untouched";
        EXPECT_FALSE(
            mgr->getAddrInfo(c.str(0), static_cast<int>(c.num(1)), ip, 100, DNSModeNetOnly))
            << c.where;
        EXPECT_EQ(getLastError(), kDNSManagerBadArgument) << c.where;
        EXPECT_EQ(ip, "untouched") << c.where;
        EXPECT_TRUE(capture.Has(kInvalid, 2)) << c.where;
    }
    EXPECT_EQ(resolver->totalCalls(), 0);
}

TEST_F(DnsManagerTest, GetAddrInfoAllRefusesBadArgumentsAndLeavesTheSet) {
    for (const Case& c : LoadCases(kFile, "bad-args-all", 2)) {
        LogCapture capture;
        Set ips{"untouched"};
        EXPECT_FALSE(mgr->getAddrInfoAll(c.str(0), ips, 100, static_cast<DNSMode>(c.num(1))))
            << c.where;
        EXPECT_EQ(getLastError(), kDNSManagerBadArgument) << c.where;
        EXPECT_EQ(ips, Set{"untouched"}) << c.where;
        EXPECT_TRUE(capture.Has(kInvalid, 2)) << c.where;
    }
    EXPECT_EQ(resolver->totalCalls(), 0);
}

TEST_F(DnsManagerTest, NumericTextOfTheFamilyIsItsOwnAnswerInAnyMode) {
    for (const Case& c : LoadCases(kFile, "numeric", 3)) {
        for (int mode : {0, 1, 2, 3, 4, 5}) {
            std::string ip;
            EXPECT_TRUE(mgr->getAddrInfo(c.str(0), static_cast<int>(c.num(1)), ip, 0,
                                         static_cast<DNSMode>(mode)))
                << c.where;
            EXPECT_EQ(ip, c[0]) << c.where;
        }
        if (!c.yes(2))
            continue;
        Set ips{"old"};
        EXPECT_TRUE(mgr->getAddrInfoAll(c.str(0), ips, 0, DNSModeCacheOnly)) << c.where;
        EXPECT_EQ(ips, Set{c[0]}) << c.where;
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
    for (const Case& c : LoadCases(kFile, "inet", 3)) {
        const int family = c[0] == "v4" ? kV4 : c[0] == "v6" ? kV6 : static_cast<int>(c.num(0));
        unsigned char bytes[16] = {};
        EXPECT_EQ(Inet::pton(family, c.str(1), bytes), c.num(2)) << c.where;
        if (c.fields.size() < 4)
            continue;
        char out[64];
        EXPECT_EQ(Inet::ntop(family, bytes, out, sizeof(out)), out) << c.where;
        EXPECT_EQ(std::string(out), c[3]) << c.where;
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

unsigned int code_of(const Case& c, size_t i) {
    if (c[i] == "NotFound")
        return kDNSManagerNotFound;
    if (c[i] == "BadArgument")
        return kDNSManagerBadArgument;
    ADD_FAILURE() << c.where << ": unknown error name " << c[i];
    return 0;
}

// A table whose cases each run on a fresh manager and resolver.
class DnsTableTest : public DnsManagerTest {
protected:
    template <typename Run>
    void EachCase(const char* section, size_t min_fields, Run run) {
        bool first = true;
        for (const Case& c : LoadCases(kFile, section, min_fields)) {
            SCOPED_TRACE(c.where + " " + c[0]);
            if (!first) {
                TearDown();
                SetUp();
            }
            first = false;
            run(c);
        }
    }
};

TEST_F(DnsTableTest, GetAddrInfoInEachMode) {
    EachCase("modes", 8, [this](const Case& c) {
        const int mode = static_cast<int>(c.num(1));
        if (c.str(2))
            mgr->addCache("mode.test", kV4, c[2]);
        if (c.yes(3)) {
            FakeAnswer a;
            a.v4 = {"192.0.2.10"};
            resolver->set("mode.test", a);
        }
        const bool result = c.yes(4);
        const int calls = static_cast<int>(c.num(6));
        LogCapture capture;
        std::string ip = "-";
        setLastError(0);
        EXPECT_EQ(mgr->getAddrInfo("mode.test", 0, ip, 300, static_cast<DNSMode>(mode)), result);
        if (!result)
            EXPECT_EQ(getLastError(), code_of(c, 7));
        EXPECT_EQ(ip, c[5]);
        EXPECT_EQ(resolver->calls("mode.test", kV4), calls);
        if (mode < 1 || mode > 4)
            EXPECT_TRUE(capture.Lines().empty());
        if (result && calls > 0 && c[5] == "192.0.2.10") {
            bool net_line = false;
            for (const auto& l : capture.Lines())
                net_line |= l.level == 6 && l.function == "Halvex::Corvio::CDNSManager::getByNet" &&
                            l.message.rfind("[Halvex::Corvio::CDNSManager::getByNet:", 0) == 0 &&
                            l.message.find("]gethost from net\n") != std::string::npos;
            EXPECT_TRUE(net_line);
        }
        if (result && calls == 0)
            EXPECT_TRUE(capture.Has("gethost from cache sucess!\n", 6));
    });
}

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

TEST_F(DnsTableTest, GetAddrInfoAllInEachMode) {
    EachCase("all-modes", 6, [this](const Case& c) {
        if (c.yes(2)) {
            mgr->addCacheAll("all.test", kV4, {"198.51.100.1"});
            mgr->addCacheAll("all.test", kV6, {"2001:db8::99"});
        }
        if (c.yes(3)) {
            FakeAnswer a;
            a.v4 = {"192.0.2.10"};
            a.v6 = {"2001:db8::10"};
            resolver->set("all.test", a);
        }
        Set ips{"stale"};
        setLastError(0);
        const bool result = c.yes(4);
        EXPECT_EQ(mgr->getAddrInfoAll("all.test", ips, 300, static_cast<DNSMode>(c.num(1))),
                  result);
        if (!result)
            EXPECT_EQ(getLastError(), kDNSManagerNotFound);
        EXPECT_EQ(ips, Set(c.fields.begin() + 6, c.fields.end()));
        EXPECT_EQ(resolver->totalCalls(), c.num(5));
    });
}

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
