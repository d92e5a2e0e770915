// The process-wide DNS manager: request slots run by timers, and two caches.
//
// Single-address resolution (getAddrInfo): 20 slots. A caller claims a free
// slot, or joins one in use for the same name and family, and polls it until
// it has an answer or the caller's limit runs out. The resolver runs in the
// slot's one-shot timer, never on a caller's thread. Slot states:
//   RequestIdle      never used
//   RequestRunning   a run is scheduled or under way
//   RequestSucceeded `ip` holds the answer of the last run
//   RequestFailed    the last run gave no answer; `failure` tells its kind
// A slot is in use while `ref` > 0 or it is running. When the failure is
// definitive (no such name, or a permanent resolver failure) every waiter
// leaves at once, with or without a limit; after a temporary failure the
// slot is run again one second after a waiter sees it, for as long as some
// caller waits.
//
// All-address resolution (getAddrInfoAll): 20 more slots, one family per
// slot. A failed slot is not run again; its waiters leave at once.
//
// A waiter gives its reference back on every path, also when copying the
// answer runs out of memory. A failed wait leaves its reason as the calling
// thread's last error (the kDNSManager codes of IDNSManager.h).
//
// Callers poll at least every 10 ms; the end of every run also wakes all
// waiters at once, so an answer reaches its caller without the poll delay.
//
// Caches: one address per (name, family), and a set of addresses per (name,
// family); 100 entries each; an entry lives one hour after its start time
// (its insertion moved by a random spread of up to about ten minutes either
// way) until the purge that runs once a minute.
//
// Locks: m_request_mutex for both slot tables; m_cache_mutex and
// m_all_cache_mutex for the caches; never two at once. The resolver runs with
// no lock held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "Corvio/IDNSManager.h"
#include "Mardel/Mutex.h"
#include "Mardel/Timer.h"
#include "Mardel/Version.h"
#include "Sablon/Resolver.h"

namespace Halvex {
namespace Corvio {

namespace Inet {
// Numeric text to the 4 or 16 address bytes of `family` in `out`: 1 on
// success, 0 when the text is no such address or the family is neither
// IPv4 nor IPv6, -1 when `text` or `out` is null. At most 65 characters of
// the text are considered.
int pton(int family, const char* text, void* out);
// The 4 or 16 bytes at `src` as numeric text into `dst` of `size` bytes;
// `dst`, or null on failure.
char* ntop(int family, const void* src, char* dst, unsigned int size);
}  // namespace Inet

enum RequestStatus {
    RequestIdle = 0,
    RequestRunning = 1,
    RequestSucceeded = 2,
    RequestFailed = 3,
};

constexpr int kRequestSlots = 20;
constexpr size_t kCacheCapacity = 100;

struct DNSRequest {
    DNSRequest();
    ~DNSRequest();
    DNSRequest(const DNSRequest&) = delete;
    DNSRequest& operator=(const DNSRequest&) = delete;

    std::string name;
    std::string ip;
    int32_t ref;
    int32_t family;
    Mardel::CTimer* timer;
    int32_t status;
    Sablon::ResolveError failure;  // kind of the last failed run
};

struct DNSRequestAll {
    DNSRequestAll();
    ~DNSRequestAll();
    DNSRequestAll(const DNSRequestAll&) = delete;
    DNSRequestAll& operator=(const DNSRequestAll&) = delete;

    std::string name;
    std::set<std::string> ips;
    int32_t ref;
    int32_t family;
    Mardel::CTimer* timer;
    int32_t status;
    Sablon::ResolveError failure;  // kind of the last failed run
};

struct DNSCacheKey {
    std::string name;
    int32_t family;
};

// A key to look up without copying the name.
struct DNSCacheKeyRef {
    std::string_view name;
    int32_t family;
};

// Orders keys by name (bytes), then family; transparent, so a look-up needs
// no key of its own (no allocation under the cache's lock).
struct DNSCacheKeyLess {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        int c = std::string_view(a.name).compare(std::string_view(b.name));
        return c != 0 ? c < 0 : a.family < b.family;
    }
};

struct DNSCacheEntry {
    uint64_t start;
    std::string ip;
};

struct DNSCacheEntryAll {
    uint64_t start;
    std::set<std::string> ips;
};

class CDNSManager : public IDNSManager {
public:
    class CFactory : public IDNSManager::IFactory {
    public:
        CFactory();
        ~CFactory() override;
        const char* getClassIdName() override;
        Component::IUnknown* create() override;
    };

    // The process-wide manager, created on first use.
    static CDNSManager* getInstance();
    // A number that changes whenever a new manager is created, so that a
    // holder can tell whether the manager it holds is still the current one.
    static uint64_t getInstanceGeneration();

    void destroy() override;
    Mardel::CVersion getVersion() override;
    bool getAddrInfo(const char* name, int family, std::string& ip, unsigned long long timeout,
                     DNSMode mode) override;
    bool getAddrInfoAll(const char* name, std::set<std::string>& ips, unsigned long long timeout,
                        DNSMode mode) override;

    // The steps below are internal; they are public so that tests can drive
    // them one by one.

    // Single-address requests.
    bool getByNet(const std::string& name, int family, std::string* ip, unsigned long long timeout);
    bool addRequest(int* index, const std::string& name, int family);
    // Claims or joins a slot of `table`; its lines are logged in the name of
    // the function whose signature is `caller`.
    template <typename Slot>
    bool claimSlot(Slot* table, int* index, const std::string& name, int family,
                   void (CDNSManager::*proc)(unsigned long), const char* caller);
    // Waits on slot `index` of `table`, polling with `poll(&failure)`, until
    // an answer, a failure that ends the wait (any failure when `retried` is
    // false, else a definitive one) or the end of `timeout`; then gives the
    // caller's reference back, on every path. `*ref` is the slot's count of
    // waiters before that. Without an answer the last error tells why.
    template <typename Slot, typename Poll>
    bool waitForSlot(Slot* table, int index, unsigned long long timeout, bool retried, Poll poll,
                     int* ref);
    void resolveProc(unsigned long index);
    // One poll. When the slot's last run failed, `*failure` is its kind;
    // after a temporary failure another run is scheduled one second later.
    bool getResult(int index, std::string* ip, Sablon::ResolveError* failure = nullptr);
    bool convert(const std::string& name, int family, std::string* ip,
                 Sablon::ResolveError* failure = nullptr);
    bool addrTostr(int family, const void* addr, std::string* ip);

    // All-address requests. getResultAll sets `*failure` to the kind of the
    // slot's failed run; such a slot is not run again.
    bool getByNetAllIp(const char* name, std::set<std::string>* ips, unsigned long long timeout);
    bool getByNetAll(const std::string& name, int family, unsigned long long timeout,
                     std::set<std::string>* ips);
    bool addRequestAll(int* index, const std::string& name, int family);
    void resolveAllProc(unsigned long index);
    bool getResultAll(int index, std::set<std::string>* ips,
                      Sablon::ResolveError* failure = nullptr);
    bool convertAll(const std::string& name, int family, std::set<std::string>* ips,
                    Sablon::ResolveError* failure = nullptr);

    // Caches.
    bool getByCache(const std::string& name, int family, std::string* ip);
    bool addCache(const std::string& name, int family, const std::string& ip);
    // True when at least one address was found for the name.
    bool getByCacheAll(const char* name, std::set<std::string>* ips);
    bool addCacheAll(const std::string& name, int family, const std::set<std::string>& ips);
    int getRandom();
    void cacheTimerProc(unsigned long param);
    bool printfCache();
    bool printfCacheIP(const std::set<std::string>& ips);

    // Test hooks. The cache's clock (milliseconds, monotonic) and its source
    // of random bytes (returns the bytes read, -1 when it cannot be opened);
    // null restores the system's.
    typedef uint64_t (*CacheClock)();
    typedef int (*RandomSource)(void* out, int size);
    static void setCacheClock(CacheClock clock);
    static void setRandomSource(RandomSource source);
    // Read-only views, each taken under its lock.
    int requestRef(bool all, int index);
    int requestStatus(bool all, int index);
    size_t cacheSize();
    size_t allCacheSize();
    bool cacheEntry(const std::string& name, int family, DNSCacheEntry* entry);

private:
    CDNSManager();
    ~CDNSManager() override;

    static uint64_t cacheNow();
    uint64_t newStartTime();
    // Wakes every waiting caller; called when a run ends.
    void wakeWaiters();
    // Waits up to `ms` (at most one 10 ms poll), or less when a run ends
    // after `seen` was read.
    void waitForRun(uint64_t seen, unsigned long long ms);
    uint64_t runsEnded();

    DNSRequestAll* m_all_requests;
    DNSRequest* m_requests;
    std::map<DNSCacheKey, DNSCacheEntry, DNSCacheKeyLess> m_cache;
    std::map<DNSCacheKey, DNSCacheEntryAll, DNSCacheKeyLess> m_all_cache;
    Mardel::CTimer m_cache_timer;
    Mardel::CMutex m_cache_mutex;
    Mardel::CMutex m_all_cache_mutex;
    Mardel::CMutex m_request_mutex;

    std::mutex m_wake_mutex;
    std::condition_variable m_wake_cond;
    uint64_t m_runs_ended;
};

}  // namespace Corvio
}  // namespace Halvex
