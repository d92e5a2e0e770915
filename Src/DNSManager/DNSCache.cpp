// The two address caches: start times with a random spread, eviction of one
// entry when full, the minute purge, and the diagnostic dumps.
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>

#include "DNSManager/DNSManagerImp.h"
#include "Mardel/Log.h"
#include "Mardel/Random.h"
#include "Mardel/Time.h"

namespace Halvex {
namespace Corvio {

using Mardel::CGuard;
using Mardel::CMutex;
using Sablon::Inet::kFamilyIPv4;
using Sablon::Inet::kFamilyIPv6;

namespace {

constexpr uint64_t kEntryLifeMs = 3600000;   // an entry lives one hour past its start
constexpr uint64_t kFutureSlackMs = 600000;  // a start further ahead than this is bogus
constexpr int32_t kSpreadSteps = 1000;
constexpr int32_t kSpreadStepMs = 600;

std::atomic<CDNSManager::CacheClock> g_cache_clock{nullptr};
std::atomic<CDNSManager::RandomSource> g_random_source{nullptr};

// The last random value read, shared by every manager of the process; a short
// read overwrites only the bytes it delivered.
std::mutex g_random_mutex;
int32_t g_last_random = 0;

// Evicts one entry of a full map: the entry with the earliest start among
// those walked, where the walk begins at the first entry in key order and
// ends once the earliest found starts no earlier than `start`.
template <typename Map>
void evictOne(Map& map, uint64_t start) {
    auto min = map.begin();
    for (auto it = std::next(min); it != map.end() && min->second.start < start; ++it)
        if (it->second.start < min->second.start)
            min = it;
    map.erase(min);
}

// Keeps the entries with start + life >= now and start <= now + slack.
template <typename Map>
void purge(Map& map, uint64_t now) {
    for (auto it = map.begin(); it != map.end();) {
        uint64_t start = it->second.start;
        if (start + kEntryLifeMs >= now && start <= now + kFutureSlackMs)
            ++it;
        else
            it = map.erase(it);
    }
}

}  // namespace

void CDNSManager::setCacheClock(CacheClock clock) {
    g_cache_clock.store(clock);
}

void CDNSManager::setRandomSource(RandomSource source) {
    g_random_source.store(source);
}

uint64_t CDNSManager::cacheNow() {
    CacheClock clock = g_cache_clock.load();
    return clock ? clock() : Mardel::CTime::getCurrentMilliSecond();
}

int CDNSManager::getRandom() {
    RandomSource source = g_random_source.load();
    if (!source)
        source = &Mardel::CRandom::read;
    std::lock_guard<std::mutex> lock(g_random_mutex);
    unsigned char bytes[4];
    int n = source(bytes, 4);
    if (n < 0) {
        MARDEL_LOG(3, "Could not open /dev/urandom.");
        return g_last_random;
    }
    if (n > 4)
        n = 4;
    memcpy(&g_last_random, bytes, static_cast<size_t>(n));
    if (n < 4)
        MARDEL_LOG(3, "fread 4 byte failed");
    return g_last_random;
}

// The insertion time moved by (r % 1000) * 600 ms, r a signed random value:
// up to 599.4 s either way. Computed in signed 64 bits and floored at 0, so a
// clock that began less than ten minutes ago gives a start of 0 rather than
// one that wrapped far into the future (which the next purge would drop).
uint64_t CDNSManager::newStartTime() {
    int32_t spread = (getRandom() % kSpreadSteps) * kSpreadStepMs;
    int64_t start = static_cast<int64_t>(cacheNow()) + static_cast<int64_t>(spread);
    return start < 0 ? 0 : static_cast<uint64_t>(start);
}

bool CDNSManager::addCache(const std::string& name, int family, const std::string& ip) {
    uint64_t start = newStartTime();
    CGuard<CMutex> lock(m_cache_mutex);
    if (m_cache.size() >= kCacheCapacity)
        evictOne(m_cache, start);
    DNSCacheEntry& entry = m_cache[DNSCacheKey{name, family}];
    entry.start = start;
    entry.ip = ip;
    return true;
}

bool CDNSManager::addCacheAll(const std::string& name, int family,
                              const std::set<std::string>& ips) {
    uint64_t start = newStartTime();
    CGuard<CMutex> lock(m_all_cache_mutex);
    if (m_all_cache.size() >= kCacheCapacity)
        evictOne(m_all_cache, start);
    DNSCacheEntryAll& entry = m_all_cache[DNSCacheKey{name, family}];
    entry.start = start;
    entry.ips = ips;
    return true;
}

bool CDNSManager::getByCache(const std::string& name, int family, std::string* ip) {
    {
        CGuard<CMutex> lock(m_cache_mutex);
        auto it = m_cache.find(DNSCacheKeyRef{name, family});
        if (it == m_cache.end())
            return false;
        *ip = it->second.ip;
    }
    MARDEL_LOG(6, "gethost from cache sucess!\n");
    return true;
}

// An entry with an empty set (a resolution that found no address of its
// family) adds nothing and so does not count as a hit.
bool CDNSManager::getByCacheAll(const char* name, std::set<std::string>* ips) {
    bool added = false;
    DNSCacheKeyRef key{name, kFamilyIPv4};
    CGuard<CMutex> lock(m_all_cache_mutex);
    for (int family : {kFamilyIPv4, kFamilyIPv6}) {
        key.family = family;
        auto it = m_all_cache.find(key);
        if (it == m_all_cache.end() || it->second.ips.empty())
            continue;
        ips->insert(it->second.ips.begin(), it->second.ips.end());
        added = true;
    }
    return added;
}

void CDNSManager::cacheTimerProc(unsigned long /*param*/) {
    uint64_t now = cacheNow();
    {
        CGuard<CMutex> lock(m_cache_mutex);
        purge(m_cache, now);
    }
    CGuard<CMutex> lock(m_all_cache_mutex);
    purge(m_all_cache, now);
}

bool CDNSManager::printfCache() {
    CGuard<CMutex> lock(m_all_cache_mutex);
    for (const auto& item : m_all_cache) {
        MARDEL_LOG(4, "dominame:%s,family:%d\n", item.first.name.c_str(), item.first.family);
        for (const std::string& ip : item.second.ips)
            MARDEL_LOG(4, "IP:%s\n", ip.c_str());
    }
    return true;
}

bool CDNSManager::printfCacheIP(const std::set<std::string>& ips) {
    for (const std::string& ip : ips)
        MARDEL_LOG(4, "ip_addreess:%s\n", ip.c_str());
    return true;
}

size_t CDNSManager::cacheSize() {
    CGuard<CMutex> lock(m_cache_mutex);
    return m_cache.size();
}

size_t CDNSManager::allCacheSize() {
    CGuard<CMutex> lock(m_all_cache_mutex);
    return m_all_cache.size();
}

bool CDNSManager::cacheEntry(const std::string& name, int family, DNSCacheEntry* entry) {
    CGuard<CMutex> lock(m_cache_mutex);
    auto it = m_cache.find(DNSCacheKeyRef{name, family});
    if (it == m_cache.end())
        return false;
    *entry = it->second;
    return true;
}

}  // namespace Corvio
}  // namespace Halvex
