// The exported DNS manager header compiles on its own.
#include "Corvio/IDNSManager.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

TEST(CorvioDnsHeader, DeclaresTheInterfaceAndItsModes) {
    EXPECT_EQ(Halvex::Corvio::DNSModeNetOnly, 1);
    EXPECT_EQ(Halvex::Corvio::DNSModeCacheOnly, 2);
    EXPECT_EQ(Halvex::Corvio::DNSModeNetFirst, 3);
    EXPECT_EQ(Halvex::Corvio::DNSModeCacheFirst, 4);
    EXPECT_EQ(Halvex::Corvio::kDNSManagerNotProvided, 0x10030010u);
    static_assert(std::is_polymorphic<Halvex::Corvio::IDNSManager>::value, "interface");
    static_assert(std::is_base_of<Halvex::Component::IUnknown, Halvex::Corvio::IDNSManager>::value,
                  "component");
    static_assert(std::is_base_of<Halvex::Component::IFactoryUnknown,
                                  Halvex::Corvio::IDNSManager::IFactory>::value,
                  "factory");
    void (*init)() = &initCorvioDNSManagerComponentLibrary;
    EXPECT_NE(init, nullptr);
}

}  // namespace
