#include <gtest/gtest.h>

#include "Mardel/Component.h"
#include "support/DnsFixture.h"

using namespace Halvex;
using namespace Halvex::Component;
using namespace Halvex::Corvio;
using Detail::CComponentHelper;
using Ints = std::vector<int>;

TEST(Dns, Scripts) {
    corvio_test::RunScript("dns.txt", "unit");
}

struct Local : IUnknown, IFactoryUnknown {
    int destroyed = 0;
    void destroy() override { ++destroyed; }
    Mardel::CVersion getVersion() override { return Mardel::CVersion("C", 1, 0, 0, "", ""); }
    const char* getClassIdName() override { return "Local"; }
    IUnknown* create() override { return this; }
};

template <typename F>
auto refusingAll(F f) {
    corvio_test::FailAllocations refuse(corvio_test::FailAllocations::kEvery);
    return f();
}

IFactoryUnknown* lookUp(const char* name) {
    IUnknown* client = reinterpret_cast<IUnknown*>(0x1);  // must be overwritten
    auto* f = CComponentHelper::getComponentFactory(name, ClassID::local, ServerInfo::none, client);
    EXPECT_EQ(client, nullptr);
    return f;
}

TEST(Component, OneFactoryPerNameAndTheLastReleaseDestroys) {
    Local a, b;
    EXPECT_EQ(lookUp("Test::A"), nullptr);
    EXPECT_TRUE(a.registerFactory("Test::A"));
    EXPECT_FALSE(b.registerFactory("Test::A") || a.registerFactory("") ||
                 a.registerFactory(nullptr) || b.unregisterFactory("Test::A"));
    EXPECT_EQ(lookUp("Test::A"), &a);
    EXPECT_EQ((Ints{a.unregisterFactory("Test::A"), a.unregisterFactory("Test::A")}), (Ints{1, 0}));
    EXPECT_EQ(lookUp("Test::A"), nullptr);
    EXPECT_EQ(lookUp(nullptr), nullptr);
    EXPECT_EQ(CComponentHelper::makeComponentInstance(&a), &a);
    EXPECT_EQ((Ints{a.addRef(), a.release(), a.destroyed}), (Ints{2, 1, 0}));
    CComponentHelper::release(&a);  // then no reference is left: release does nothing
    EXPECT_EQ((Ints{a.destroyed, a.release(), a.destroyed}), (Ints{1, 0, 1}));
    CComponentHelper::release(nullptr);
    EXPECT_EQ(CComponentHelper::makeComponentInstance(nullptr), nullptr);
}

TEST(Component, DnsManagerInitTwiceRegistersOnceAndHoldsOneReference) {
    refusingAll([] { initCorvioDNSManagerComponentLibrary(); });
    EXPECT_EQ(lookUp("Corvio::DNSManager"), nullptr);
    initCorvioDNSManagerComponentLibrary();
    IFactoryUnknown* first = lookUp("Corvio::DNSManager");
    initCorvioDNSManagerComponentLibrary();
    auto* factory = dynamic_cast<IDNSManager::IFactory*>(lookUp("Corvio::DNSManager"));
    ASSERT_TRUE(factory != nullptr && factory == first);
    EXPECT_STREQ(factory->getClassIdName(), "Local");
    IUnknown* made = factory->create();
    EXPECT_EQ(made, factory->create());
    EXPECT_EQ(made, static_cast<IUnknown*>(CDNSManager::getInstance()));
    EXPECT_EQ((Ints{made->addRef(), made->release()}), (Ints{2, 1}));
    auto* manager = dynamic_cast<IDNSManager*>(CComponentHelper::makeComponentInstance(made));
    ASSERT_NE(manager, nullptr);
    std::string ip;
    EXPECT_TRUE(manager->getAddrInfo("127.0.0.1", 0, ip, 0, DNSModeNetOnly));
    EXPECT_EQ(ip, "127.0.0.1");
    CComponentHelper::release(manager);
    EXPECT_EQ(CDNSManager::getInstance(), made);  // the holder keeps it alive
    // Destroyed under the holder's feet: at exit it must notice (ASan checks).
    manager->destroy();
    EXPECT_EQ(refusingAll([factory] { return factory->create(); }), nullptr);
    IUnknown* fresh = factory->create();
    ASSERT_NE(fresh, nullptr);
    fresh->destroy();
}

struct Bare : IDNSManager {
    void destroy() override {}
    Mardel::CVersion getVersion() override { return Mardel::CVersion("Bare", 0, 0, 0, "", ""); }
};

TEST(Component, UnprovidedOperationsFailWithTheirCode) {
    IDNSManager* m = CDNSManager::getInstance();
    Bare bare;
    std::set<std::string> names{"a"};
    std::string ip;
    int failed = 0;
    const auto f = [&failed](bool result) {
        failed += !result && Mardel::getLastError() == kDNSManagerNotProvided;
        Mardel::setLastError(0);
    };
    (f(m->cacheReflush()), f(m->creatCache(names)), f(m->setDnsMode({DNSModeNetOnly, 0})),
     f(m->attach({})), f(m->detach({})), f(m->setDNSFailProc(3, {})),
     f(bare.getAddrInfo("127.0.0.1", 0, ip, 0, DNSModeNetOnly)),
     f(bare.getAddrInfoAll("127.0.0.1", names, 0, DNSModeNetOnly)), f(m->rev_func1()),
     f(m->rev_func2()), f(m->rev_func3()), f(m->rev_func4()), f(m->rev_func5()), f(m->rev_func6()),
     f(m->rev_func7()), f(m->rev_func8()), f(m->rev_func9()), f(m->rev_func10()),
     f(m->rev_func11()), f(m->rev_func12()), f(m->rev_func13()), f(m->rev_func14()),
     f(m->rev_func15()), f(m->rev_func16()), f(m->rev_func17()), f(m->rev_func18()),
     f(m->rev_func19()), f(m->rev_func20()), f(m->rev_func21()), f(m->rev_func22()),
     f(m->rev_func23()));
    EXPECT_EQ(failed, 31);
    EXPECT_EQ(names, std::set<std::string>{"a"});
    EXPECT_TRUE(ip.empty());
    m->destroy();
}
