// The DNS manager on one thread, scripted in tests/data/dns.txt [unit]; the
// component registry, and the manager as a component.
#include <gtest/gtest.h>

#include "Corvio/IDNSManager.h"
#include "Mardel/Component.h"
#include "support/DnsFixture.h"

using namespace Halvex;
using Component::IFactoryUnknown;
using Component::IUnknown;
using Component::Detail::CComponentHelper;
using Corvio::CDNSManager;
using Corvio::IDNSManager;

namespace {

TEST(Dns, Scripts) {
    corvio_test::RunScript<corvio_test::DnsScript>("dns.txt", "unit");
}

struct Counted : IUnknown {
    int destroyed = 0;
    void destroy() override { ++destroyed; }
    Mardel::CVersion getVersion() override { return Mardel::CVersion("C", 1, 0, 0, "", ""); }
};

struct TestFactory : IFactoryUnknown {
    Counted object;
    const char* getClassIdName() override { return "Local"; }
    IUnknown* create() override { return &object; }
};

IFactoryUnknown* lookUp(const char* name) {
    IUnknown* client = reinterpret_cast<IUnknown*>(0x1);  // must be overwritten
    IFactoryUnknown* f = CComponentHelper::getComponentFactory(name, Component::ClassID::local,
                                                               Component::ServerInfo::none, client);
    EXPECT_EQ(client, nullptr);
    return f;
}

TEST(Component, OneFactoryPerNameAndTheLastReleaseDestroys) {
    TestFactory a, b;
    EXPECT_EQ(lookUp("Test::A"), nullptr);
    EXPECT_TRUE(a.registerFactory("Test::A"));
    EXPECT_FALSE(b.registerFactory("Test::A"));
    EXPECT_FALSE(a.registerFactory(""));
    EXPECT_FALSE(a.registerFactory(nullptr));
    EXPECT_FALSE(b.unregisterFactory("Test::A"));
    EXPECT_EQ(lookUp("Test::A"), &a);
    EXPECT_TRUE(a.unregisterFactory("Test::A"));
    EXPECT_FALSE(a.unregisterFactory("Test::A"));
    EXPECT_EQ(lookUp("Test::A"), nullptr);
    EXPECT_EQ(lookUp(nullptr), nullptr);
    Counted& c = a.object;
    EXPECT_EQ(CComponentHelper::makeComponentInstance(&c), &c);
    EXPECT_EQ(c.addRef(), 2);
    EXPECT_EQ(c.release(), 1);
    EXPECT_EQ(c.destroyed, 0);
    CComponentHelper::release(&c);
    EXPECT_EQ(c.destroyed, 1);
    EXPECT_EQ(c.release(), 0);  // no reference left: nothing happens
    EXPECT_EQ(c.destroyed, 1);
    CComponentHelper::release(nullptr);
    EXPECT_EQ(CComponentHelper::makeComponentInstance(nullptr), nullptr);
}

// The one test that calls the library's init function: it sets up objects
// that live for the rest of the process.
TEST(Component, DnsManagerInitTwiceRegistersOnceAndHoldsOneReference) {
    {
        // Out of memory: nothing is set up, no exception leaves; the next
        // call sets up what is missing.
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        initCorvioDNSManagerComponentLibrary();
    }
    EXPECT_EQ(lookUp("Corvio::DNSManager"), nullptr);
    initCorvioDNSManagerComponentLibrary();
    IFactoryUnknown* first = lookUp("Corvio::DNSManager");
    initCorvioDNSManagerComponentLibrary();
    auto* factory = dynamic_cast<IDNSManager::IFactory*>(lookUp("Corvio::DNSManager"));
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory, first);
    EXPECT_STREQ(factory->getClassIdName(), "Local");
    IUnknown* made = factory->create();
    EXPECT_EQ(made, factory->create());
    EXPECT_EQ(made, static_cast<IUnknown*>(CDNSManager::getInstance()));
    EXPECT_EQ(made->addRef(), 2);  // the holder's reference and this one
    EXPECT_EQ(made->release(), 1);
    auto* manager = dynamic_cast<IDNSManager*>(CComponentHelper::makeComponentInstance(made));
    ASSERT_NE(manager, nullptr);
    std::string ip;
    EXPECT_TRUE(manager->getAddrInfo("127.0.0.1", 0, ip, 0, Corvio::DNSModeNetOnly));
    EXPECT_EQ(ip, "127.0.0.1");
    CComponentHelper::release(manager);
    EXPECT_EQ(CDNSManager::getInstance(), made);  // the holder keeps it alive
    // Destroyed under the holder's feet: at exit the holder must notice that
    // its manager is gone (the sanitizer build checks the exit).
    manager->destroy();
    IUnknown* none;
    {
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        none = factory->create();
    }
    EXPECT_EQ(none, nullptr);
    IUnknown* fresh = factory->create();
    ASSERT_NE(fresh, nullptr);
    fresh->destroy();
}

TEST(Component, DnsManagerDestroyThenCreateGivesAFreshOne) {
    CDNSManager* old = CDNSManager::getInstance();
    const uint64_t old_generation = CDNSManager::getInstanceGeneration();
    old->addCache("kept.test", corvio_test::kV4, "192.0.2.1");
    old->addCacheAll("kept.test", corvio_test::kV4, {"192.0.2.1"});
    old->destroy();
    EXPECT_EQ(CDNSManager::getInstanceGeneration(), 0u);
    CDNSManager* fresh = CDNSManager::getInstance();
    EXPECT_NE(CDNSManager::getInstanceGeneration(), old_generation);
    EXPECT_EQ(fresh->cacheSize() + fresh->allCacheSize(), 0u);
    for (int i = 0; i < Corvio::kRequestSlots; ++i)
        EXPECT_EQ(fresh->requestStatus(false, i) + fresh->requestStatus(true, i) +
                      fresh->requestRef(false, i),
                  Corvio::RequestIdle);
    fresh->destroy();
}

// Every operation the manager does not provide, and the interface's own
// bodies of the two it does, fail with kDNSManagerNotProvided.
struct Bare : IDNSManager {
    void destroy() override {}
    Mardel::CVersion getVersion() override { return Mardel::CVersion("Bare", 0, 0, 0, "", ""); }
};

TEST(Component, UnprovidedOperationsFailWithTheirCode) {
    IDNSManager* m = CDNSManager::getInstance();
    Bare bare;
    std::set<std::string> names{"a"};
    std::string ip;
#define CORVIO_OP(call) [&] { return call; }
#define CORVIO_REV(n) CORVIO_OP(m->rev_func##n())
    const std::function<bool()> calls[] = {
        CORVIO_OP(m->cacheReflush()),
        CORVIO_OP(m->creatCache(names)),
        CORVIO_OP(m->setDnsMode({Corvio::DNSModeNetOnly, 0})),
        CORVIO_OP(m->attach({})),
        CORVIO_OP(m->detach({})),
        CORVIO_OP(m->setDNSFailProc(3, {})),
        CORVIO_OP(bare.getAddrInfo("127.0.0.1", 0, ip, 0, Corvio::DNSModeNetOnly)),
        CORVIO_OP(bare.getAddrInfoAll("127.0.0.1", names, 0, Corvio::DNSModeNetOnly)),
        CORVIO_REV(1),
        CORVIO_REV(2),
        CORVIO_REV(3),
        CORVIO_REV(4),
        CORVIO_REV(5),
        CORVIO_REV(6),
        CORVIO_REV(7),
        CORVIO_REV(8),
        CORVIO_REV(9),
        CORVIO_REV(10),
        CORVIO_REV(11),
        CORVIO_REV(12),
        CORVIO_REV(13),
        CORVIO_REV(14),
        CORVIO_REV(15),
        CORVIO_REV(16),
        CORVIO_REV(17),
        CORVIO_REV(18),
        CORVIO_REV(19),
        CORVIO_REV(20),
        CORVIO_REV(21),
        CORVIO_REV(22),
        CORVIO_REV(23)};
    for (size_t i = 0; i < sizeof(calls) / sizeof(calls[0]); ++i) {
        Mardel::setLastError(0);
        EXPECT_FALSE(calls[i]()) << i;
        EXPECT_EQ(Mardel::getLastError(), Corvio::kDNSManagerNotProvided) << i;
    }
    EXPECT_EQ(names, std::set<std::string>{"a"});
    EXPECT_TRUE(ip.empty());
    m->destroy();
}

}  // namespace
