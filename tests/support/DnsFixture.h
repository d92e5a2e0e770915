// A fresh process-wide DNS manager per test, with a fake resolver, a random
// source that yields 0 (no spread) and the system clock; everything is put
// back and the manager destroyed after the test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "DNSManager/DNSManagerImp.h"
#include "support/DnsFakes.h"

namespace corvio_test {

inline int zeroRandom(void* out, int size) {
    memset(out, 0, static_cast<size_t>(size));
    return size;
}

class DnsManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Halvex::Corvio::CDNSManager::setRandomSource(&zeroRandom);
        Halvex::Corvio::CDNSManager::setCacheClock(nullptr);
        resolver.reset(new FakeResolver);
        Halvex::Corvio::CDNSManager::getInstance()->destroy();
        mgr = Halvex::Corvio::CDNSManager::getInstance();
    }
    void TearDown() override {
        resolver->open();
        mgr->destroy();
        resolver.reset();
        Halvex::Corvio::CDNSManager::setRandomSource(nullptr);
        Halvex::Corvio::CDNSManager::setCacheClock(nullptr);
    }

    std::unique_ptr<FakeResolver> resolver;
    Halvex::Corvio::CDNSManager* mgr = nullptr;
};

}  // namespace corvio_test
