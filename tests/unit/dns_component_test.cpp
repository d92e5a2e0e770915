// The component framework and the DNS manager as a component: the registry,
// reference counts, the library's init function, getVersion, destroy and
// re-creation, and the operations the manager does not provide.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>
#include <string>

#include "Corvio/IDNSManager.h"
#include "DNSManager/DNSManagerImp.h"
#include "Mardel/Component.h"
#include "Mardel/LastError.h"
#include "support/FailAlloc.h"

using namespace Halvex;
using Component::IFactoryUnknown;
using Component::IUnknown;
using Component::Detail::CComponentHelper;
using Corvio::CDNSManager;
using Corvio::IDNSManager;

namespace {

struct Counted : IUnknown {
    int destroyed = 0;
    void destroy() override { ++destroyed; }
    Mardel::CVersion getVersion() override {
        return Mardel::CVersion("Counted", 2, 3, 4, "r", "d");
    }
};

struct TestFactory : IFactoryUnknown {
    Counted object;
    const char* getClassIdName() override { return "Local"; }
    IUnknown* create() override { return &object; }
};

IFactoryUnknown* lookUp(const char* name, IUnknown** client_out = nullptr) {
    IUnknown* client = reinterpret_cast<IUnknown*>(0x1);  // must be overwritten
    IFactoryUnknown* f = CComponentHelper::getComponentFactory(name, Component::ClassID::local,
                                                               Component::ServerInfo::none, client);
    EXPECT_EQ(client, nullptr);
    if (client_out)
        *client_out = client;
    return f;
}

TEST(ComponentRegistry, NamesHoldOneFactoryEach) {
    TestFactory a, b;
    EXPECT_EQ(lookUp("Test::A"), nullptr);
    EXPECT_TRUE(a.registerFactory("Test::A"));
    EXPECT_FALSE(b.registerFactory("Test::A"));
    EXPECT_FALSE(a.registerFactory(""));
    EXPECT_FALSE(a.registerFactory(nullptr));
    EXPECT_EQ(lookUp("Test::A"), &a);
    EXPECT_FALSE(b.unregisterFactory("Test::A"));
    EXPECT_EQ(lookUp("Test::A"), &a);
    EXPECT_TRUE(a.unregisterFactory("Test::A"));
    EXPECT_FALSE(a.unregisterFactory("Test::A"));
    EXPECT_EQ(lookUp("Test::A"), nullptr);
    EXPECT_EQ(lookUp(nullptr), nullptr);
}

TEST(ComponentRegistry, LastReleaseDestroys) {
    Counted c;
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
    Mardel::CVersion v = c.getVersion();
    EXPECT_STREQ(v.getName(), "Counted");
    EXPECT_EQ(v.getMajor() * 100 + v.getMinor() * 10 + v.getRevision(), 234);
    EXPECT_STREQ(v.getRevisionText(), "r");
    EXPECT_STREQ(v.getDate(), "d");
}

// The one test that calls the library's init function: it sets up objects
// that live for the rest of the process.
TEST(DnsComponent, InitTwiceRegistersOnceAndHoldsOneReference) {
    {
        // Out of memory: nothing is set up and no exception leaves; the next
        // call sets up what is missing.
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        initCorvioDNSManagerComponentLibrary();
    }
    EXPECT_EQ(lookUp("Corvio::DNSManager"), nullptr);
    initCorvioDNSManagerComponentLibrary();
    IFactoryUnknown* first = lookUp("Corvio::DNSManager");
    initCorvioDNSManagerComponentLibrary();
    IFactoryUnknown* found = lookUp("Corvio::DNSManager");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, first);
    auto* factory = dynamic_cast<IDNSManager::IFactory*>(found);
    ASSERT_NE(factory, nullptr);
    EXPECT_STREQ(factory->getClassIdName(), "Local");
    IUnknown* made = factory->create();
    EXPECT_EQ(made, factory->create());
    EXPECT_EQ(made, static_cast<IUnknown*>(CDNSManager::getInstance()));
    // The holder's reference and this one: 2.
    EXPECT_EQ(made->addRef(), 2);
    EXPECT_EQ(made->release(), 1);

    IUnknown* held = CComponentHelper::makeComponentInstance(made);
    auto* manager = dynamic_cast<IDNSManager*>(held);
    ASSERT_NE(manager, nullptr);
    std::string ip;
    EXPECT_TRUE(manager->getAddrInfo("127.0.0.1", 0, ip, 0, Corvio::DNSModeNetOnly));
    EXPECT_EQ(ip, "127.0.0.1");
    CComponentHelper::release(held);
    EXPECT_EQ(CDNSManager::getInstance(), made);  // the holder keeps it alive

    // Destroying under the holder's feet: at exit the holder must notice
    // that its manager is gone (the sanitizer build checks the exit).
    manager->destroy();
    IUnknown* none;
    {
        corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
        none = factory->create();  // the manager cannot be made: null
    }
    EXPECT_EQ(none, nullptr);
    IUnknown* fresh = factory->create();
    ASSERT_NE(fresh, nullptr);
    fresh->destroy();
}

TEST(DnsComponent, DestroyThenCreateGivesAFreshManager) {
    CDNSManager* old = CDNSManager::getInstance();
    uint64_t old_generation = CDNSManager::getInstanceGeneration();
    old->addCache("kept.test", Sablon::Inet::kFamilyIPv4, "192.0.2.1");
    old->destroy();
    EXPECT_EQ(CDNSManager::getInstanceGeneration(), 0u);
    CDNSManager* fresh = CDNSManager::getInstance();
    EXPECT_NE(CDNSManager::getInstanceGeneration(), old_generation);
    EXPECT_EQ(fresh->cacheSize(), 0u);
    EXPECT_EQ(fresh->allCacheSize(), 0u);
    for (int i = 0; i < Corvio::kRequestSlots; ++i) {
        EXPECT_EQ(fresh->requestStatus(false, i), Corvio::RequestIdle);
        EXPECT_EQ(fresh->requestStatus(true, i), Corvio::RequestIdle);
        EXPECT_EQ(fresh->requestRef(false, i), 0);
    }
    fresh->destroy();
}

TEST(DnsComponent, VersionRecord) {
    Mardel::CVersion v = CDNSManager::getInstance()->getVersion();
    EXPECT_STREQ(v.getName(), "DNSManager");
    EXPECT_EQ(v.getMajor(), 1);
    EXPECT_EQ(v.getMinor(), 0);
    EXPECT_EQ(v.getRevision(), 0);
    EXPECT_STREQ(v.getRevisionText(), "$Rev$");
    EXPECT_TRUE(std::regex_match(v.getDate(), std::regex("[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4}")))
        << v.getDate();
    EXPECT_STREQ(v.getDate(), __DATE__);
    CDNSManager::getInstance()->destroy();
}

TEST(DnsComponent, UnprovidedOperationsFailWithTheirCode) {
    IDNSManager* m = CDNSManager::getInstance();
    std::set<std::string> names{"a"};
    IDNSManager::DnsModeControl control{Corvio::DNSModeNetOnly, 0};
    Mardel::TFunction1<void, const std::string&> observer;
    Mardel::TFunction0<bool> fail_proc;
    struct Case {
        const char* name;
        std::function<bool()> call;
    } cases[] = {
        {"cacheReflush", [&] { return m->cacheReflush(); }},
        {"creatCache", [&] { return m->creatCache(names); }},
        {"setDnsMode", [&] { return m->setDnsMode(control); }},
        {"attach", [&] { return m->attach(observer); }},
        {"detach", [&] { return m->detach(observer); }},
        {"setDNSFailProc", [&] { return m->setDNSFailProc(3, fail_proc); }},
        {"rev_func23", [&] { return m->rev_func23(); }},
        {"rev_func22", [&] { return m->rev_func22(); }},
        {"rev_func21", [&] { return m->rev_func21(); }},
        {"rev_func20", [&] { return m->rev_func20(); }},
        {"rev_func19", [&] { return m->rev_func19(); }},
        {"rev_func18", [&] { return m->rev_func18(); }},
        {"rev_func17", [&] { return m->rev_func17(); }},
        {"rev_func16", [&] { return m->rev_func16(); }},
        {"rev_func15", [&] { return m->rev_func15(); }},
        {"rev_func14", [&] { return m->rev_func14(); }},
        {"rev_func13", [&] { return m->rev_func13(); }},
        {"rev_func12", [&] { return m->rev_func12(); }},
        {"rev_func11", [&] { return m->rev_func11(); }},
        {"rev_func10", [&] { return m->rev_func10(); }},
        {"rev_func9", [&] { return m->rev_func9(); }},
        {"rev_func8", [&] { return m->rev_func8(); }},
        {"rev_func7", [&] { return m->rev_func7(); }},
        {"rev_func6", [&] { return m->rev_func6(); }},
        {"rev_func5", [&] { return m->rev_func5(); }},
        {"rev_func4", [&] { return m->rev_func4(); }},
        {"rev_func3", [&] { return m->rev_func3(); }},
        {"rev_func2", [&] { return m->rev_func2(); }},
        {"rev_func1", [&] { return m->rev_func1(); }},
    };
    for (const Case& c : cases) {
        Mardel::setLastError(0);
        EXPECT_FALSE(c.call()) << c.name;
        EXPECT_EQ(Mardel::getLastError(), 0x10030010u) << c.name;
    }
    EXPECT_EQ(names, std::set<std::string>{"a"});
    m->destroy();
}

// The interface's own bodies of the two provided operations fail the same way.
struct Bare : IDNSManager {
    void destroy() override {}
    Mardel::CVersion getVersion() override { return Mardel::CVersion("Bare", 0, 0, 0, "", ""); }
};

TEST(DnsComponent, InterfaceDefaultsOfTheProvidedOperationsFailToo) {
    Bare bare;
    std::string ip;
    std::set<std::string> ips;
    Mardel::setLastError(0);
    EXPECT_FALSE(bare.getAddrInfo("127.0.0.1", 0, ip, 0, Corvio::DNSModeNetOnly));
    EXPECT_EQ(Mardel::getLastError(), 0x10030010u);
    Mardel::setLastError(0);
    EXPECT_FALSE(bare.getAddrInfoAll("127.0.0.1", ips, 0, Corvio::DNSModeNetOnly));
    EXPECT_EQ(Mardel::getLastError(), 0x10030010u);
    EXPECT_TRUE(ip.empty());
}

}  // namespace
