// Resolution through request slots: single-address and all-address requests,
// the waits of their callers, and numeric address text.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "DNSManager/DNSManagerImp.h"
#include "Mardel/LastError.h"
#include "Mardel/Log.h"
#include "Mardel/Time.h"

namespace Halvex {
namespace Corvio {

using Mardel::CGuard;
using Mardel::CMutex;
using Mardel::CTime;
using Sablon::ResolveError;
using Sablon::Inet::kFamilyIPv4;
using Sablon::Inet::kFamilyIPv6;

namespace {

constexpr unsigned long long kPollMs = 10;
constexpr uint32_t kRetryDelayMs = 1000;
constexpr int kMaxAddressesPerFamily = 3;

// A failure that another run would repeat: the name does not exist, or the
// resolver failed for good. Only a temporary failure is worth a retry.
bool isDefinitive(ResolveError failure) {
    return failure == ResolveError::notFound || failure == ResolveError::permanent;
}

// The last error of a wait that ended without an answer after `failure`.
unsigned int failureCode(ResolveError failure) {
    switch (failure) {
        case ResolveError::notFound:
            return kDNSManagerNotFound;
        case ResolveError::temporary:
            return kDNSManagerTemporaryFailure;
        case ResolveError::permanent:
            return kDNSManagerPermanentFailure;
        case ResolveError::none:
            break;
    }
    return kDNSManagerTimedOut;
}

// Of two reasons, the one a later call is least likely to meet again.
unsigned int moreTelling(unsigned int a, unsigned int b) {
    static const unsigned int kOrder[] = {kDNSManagerOutOfMemory, kDNSManagerNoFreeSlot,
                                          kDNSManagerTimedOut, kDNSManagerTemporaryFailure,
                                          kDNSManagerPermanentFailure};
    for (unsigned int code : kOrder)
        if (a == code || b == code)
            return code;
    return a;
}

bool fail(unsigned int code) {
    Mardel::setLastError(code);
    return false;
}

// True when a caller that began at `start` with `timeout` (0: none) is out of
// time; otherwise `*left` is the time it may still wait (capped at one poll).
bool outOfTime(uint64_t start, unsigned long long timeout, unsigned long long* left) {
    *left = kPollMs;
    if (timeout == 0)
        return false;
    uint64_t spent = CTime::getCurrentMilliSecond() - start;
    if (spent >= timeout)
        return true;
    *left = std::min<unsigned long long>(kPollMs, timeout - spent);
    return false;
}

}  // namespace

// ---- numeric text ---------------------------------------------------------

namespace Inet {

int pton(int family, const char* text, void* out) {
    if (!text || !out)
        return -1;
    // No numeric address is longer than 45 characters, so a cut text is
    // never taken for one.
    char copy[66];
    size_t len = strnlen(text, 65);
    memcpy(copy, text, len);
    copy[len] = '\0';
    unsigned char bytes[16];
    if (Sablon::Inet::parseNumeric(family, copy, bytes) != 1)
        return 0;
    memcpy(out, bytes, family == kFamilyIPv4 ? 4 : 16);
    return 1;
}

char* ntop(int family, const void* src, char* dst, unsigned int size) {
    if (!src || !dst || (family != kFamilyIPv4 && family != kFamilyIPv6))
        return nullptr;
    return Sablon::Inet::formatNumeric(family, src, dst, size) ? dst : nullptr;
}

}  // namespace Inet

bool CDNSManager::addrTostr(int family, const void* addr, std::string* ip) {
    if (family != kFamilyIPv4 && family != kFamilyIPv6)
        return false;
    char buffer[64];
    memset(buffer, 0, sizeof(buffer));
    if (!Inet::ntop(family, addr, buffer, sizeof(buffer))) {
        MARDEL_LOG(2, "Inet::ntop failed caused by:%d!\n", Sablon::Inet::lastSocketError());
        return false;
    }
    *ip = buffer;
    return true;
}

// ---- waking waiters -------------------------------------------------------

uint64_t CDNSManager::runsEnded() {
    std::lock_guard<std::mutex> lock(m_wake_mutex);
    return m_runs_ended;
}

void CDNSManager::wakeWaiters() {
    {
        std::lock_guard<std::mutex> lock(m_wake_mutex);
        ++m_runs_ended;
    }
    m_wake_cond.notify_all();
}

void CDNSManager::waitForRun(uint64_t seen, unsigned long long ms) {
    std::unique_lock<std::mutex> lock(m_wake_mutex);
    m_wake_cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_runs_ended != seen; });
}

// ---- single-address requests ------------------------------------------------

bool CDNSManager::getAddrInfo(const char* name, int family, std::string& ip,
                              unsigned long long timeout, DNSMode mode) {
    if (!name || !*name || family < 0 || family > 1) {
        MARDEL_LOG(2, "Invalid param!\n");
        return fail(kDNSManagerBadArgument);
    }
    try {
        int af = family == 0 ? kFamilyIPv4 : kFamilyIPv6;
        unsigned char bytes[16];
        if (Inet::pton(af, name, bytes) > 0) {
            ip = name;
            return true;
        }
        std::string host(name);
        // A network step that fails leaves its own reason; a cache miss
        // after it does not replace that.
        switch (mode) {
            case DNSModeNetOnly:
                return getByNet(host, af, &ip, timeout);
            case DNSModeCacheOnly:
                return getByCache(host, af, &ip) || fail(kDNSManagerNotFound);
            case DNSModeNetFirst:
                return getByNet(host, af, &ip, timeout) || getByCache(host, af, &ip);
            case DNSModeCacheFirst:
                return getByCache(host, af, &ip) || getByNet(host, af, &ip, timeout);
            default:
                return fail(kDNSManagerBadArgument);
        }
    } catch (...) {
        MARDEL_LOG(2, "out of memory\n");
        return fail(kDNSManagerOutOfMemory);
    }
}

bool CDNSManager::getByNet(const std::string& name, int family, std::string* ip,
                           unsigned long long timeout) {
    int index = -1;
    if (!addRequest(&index, name, family))
        return false;
    int ref = 0;
    bool answered = waitForSlot(
        m_requests, index, timeout, true,
        [&](ResolveError* failure) { return getResult(index, ip, failure); }, &ref);
    if (answered)
        MARDEL_LOG(6, "[%s:%d]gethost from net\n", "Halvex::Corvio::CDNSManager::getByNet",
                   __LINE__);
    else
        MARDEL_LOG(3, "getAddrInfo failed!request:%d,timeout ref:%d times!\n", index, ref);
    return answered;
}

// Claims a free slot of `table` for (name, family), or joins the first slot
// in use that resolves the same; holds the request lock throughout. The
// claimed slot's timer runs `proc` at once. Both slot tables share it.
template <typename Slot>
bool CDNSManager::claimSlot(Slot* table, int* index, const std::string& name, int family,
                            void (CDNSManager::*proc)(unsigned long), const char* caller) {
    CGuard<CMutex> lock(m_request_mutex);
    int candidate = -1;
    for (int i = 0; i < kRequestSlots; ++i) {
        Slot& slot = table[i];
        bool in_use = slot.ref > 0 || slot.status == RequestRunning;
        if (in_use) {
            if (slot.name == name && slot.family == family) {
                ++slot.ref;
                *index = i;
                return true;
            }
        } else if (candidate == -1) {
            candidate = i;
        }
    }
    if (candidate == -1) {
        MARDEL_LOG_AS(3, caller,
                      "Index:%d addRequest failed, there is no more resouce to deal the request!\n",
                      -1);
        return fail(kDNSManagerNoFreeSlot);
    }
    Slot& slot = table[candidate];
    slot.name = name;
    slot.family = family;
    if (!slot.timer->start(Mardel::CTimer::Procedure(proc, this), 0, 0,
                           static_cast<unsigned long>(candidate), 0)) {
        MARDEL_LOG_AS(3, caller,
                      "Index:%d addRequest failed, there is no more resouce to deal the request!\n",
                      candidate);
        return fail(kDNSManagerNoFreeSlot);
    }
    *index = candidate;
    slot.ref = 1;
    slot.status = RequestRunning;
    return true;
}

bool CDNSManager::addRequest(int* index, const std::string& name, int family) {
    return claimSlot(m_requests, index, name, family, &CDNSManager::resolveProc,
                     MARDEL_FUNCTION_SIGNATURE);
}

template <typename Slot, typename Poll>
bool CDNSManager::waitForSlot(Slot* table, int index, unsigned long long timeout, bool retried,
                              Poll poll, int* ref) {
    uint64_t start = CTime::getCurrentMilliSecond();
    bool answered = false;
    ResolveError failure = ResolveError::none;
    unsigned int code = 0;
    try {
        unsigned long long left = kPollMs;
        while (!outOfTime(start, timeout, &left)) {
            uint64_t seen = runsEnded();
            if (poll(&failure)) {
                answered = true;
                break;
            }
            if (failure != ResolveError::none && (!retried || isDefinitive(failure)))
                break;
            waitForRun(seen, left);
        }
    } catch (...) {
        // Copying the answer ran out of memory: the reference still goes back.
        MARDEL_LOG(2, "out of memory\n");
        code = kDNSManagerOutOfMemory;
    }
    {
        CGuard<CMutex> lock(m_request_mutex);
        *ref = table[index].ref;
        --table[index].ref;
    }
    if (!answered)
        Mardel::setLastError(code != 0 ? code : failureCode(failure));
    return answered;
}

// Runs on the slot's timer thread. The slot's name and family are read under
// the lock; the resolver runs without it.
void CDNSManager::resolveProc(unsigned long index) {
    DNSRequest& slot = m_requests[index];
    std::string name;
    int family;
    {
        CGuard<CMutex> lock(m_request_mutex);
        name = slot.name;
        family = slot.family;
    }
    std::string ip;
    ResolveError failure = ResolveError::none;
    bool ok = false;
    try {
        ok = convert(name, family, &ip, &failure);
    } catch (...) {
        // Out of memory, or a resolver that threw: the slot must still end,
        // or its waiters would wait for ever. Treated as worth another try.
        failure = ResolveError::temporary;
    }
    slot.timer->stop(false);
    {
        CGuard<CMutex> lock(m_request_mutex);
        slot.ip = ok ? ip : std::string();
        slot.status = ok ? RequestSucceeded : RequestFailed;
        slot.failure = ok ? ResolveError::none : failure;
    }
    wakeWaiters();
}

bool CDNSManager::getResult(int index, std::string* ip, ResolveError* failure) {
    CGuard<CMutex> lock(m_request_mutex);
    DNSRequest& slot = m_requests[index];
    if (slot.status == RequestSucceeded) {
        *ip = slot.ip;
        return true;
    }
    if (slot.status == RequestFailed) {
        if (failure)
            *failure = slot.failure;
        if (isDefinitive(slot.failure))
            return false;
        if (!slot.timer->isStarted() &&
            slot.timer->start(Mardel::CTimer::Procedure(&CDNSManager::resolveProc, this),
                              kRetryDelayMs, 0, static_cast<unsigned long>(index), 0))
            slot.status = RequestRunning;
    }
    return false;
}

bool CDNSManager::convert(const std::string& name, int family, std::string* ip,
                          ResolveError* failure) {
    ResolveError dummy;
    if (!failure)
        failure = &dummy;
    Sablon::ResolveResult result = Sablon::resolve(name, family);
    if (result.error != ResolveError::none) {
        MARDEL_LOG(3, "getaddrinfo failed, error:%s!\n", result.error_text.c_str());
        *failure = result.error;
        return false;
    }
    for (const Sablon::ResolvedAddress& entry : result.addresses) {
        if (entry.family != family || entry.length == 0)
            continue;
        if (!addrTostr(family, entry.bytes, ip)) {
            MARDEL_LOG(2, "addrToStr failed!\n");
            *failure = ResolveError::permanent;
            return false;
        }
        addCache(name, family, *ip);
        return true;
    }
    *failure = ResolveError::notFound;
    return false;
}

// ---- all-address requests ---------------------------------------------------

bool CDNSManager::getAddrInfoAll(const char* name, std::set<std::string>& ips,
                                 unsigned long long timeout, DNSMode mode) {
    if (!name || !*name || mode < DNSModeNetOnly || mode > DNSModeCacheFirst) {
        MARDEL_LOG(2, "Invalid param!\n");
        return fail(kDNSManagerBadArgument);
    }
    try {
        ips.clear();
        unsigned char bytes[16];
        if (Inet::pton(kFamilyIPv4, name, bytes) > 0 || Inet::pton(kFamilyIPv6, name, bytes) > 0) {
            ips.insert(name);
            return true;
        }
        switch (mode) {
            case DNSModeNetOnly:
                return getByNetAllIp(name, &ips, timeout);
            case DNSModeCacheOnly:
                return getByCacheAll(name, &ips) || fail(kDNSManagerNotFound);
            case DNSModeNetFirst:
                return getByNetAllIp(name, &ips, timeout) || getByCacheAll(name, &ips);
            case DNSModeCacheFirst:
                return getByCacheAll(name, &ips) || getByNetAllIp(name, &ips, timeout);
        }
        return fail(kDNSManagerBadArgument);
    } catch (...) {
        MARDEL_LOG(2, "out of memory\n");
        return fail(kDNSManagerOutOfMemory);
    }
}

bool CDNSManager::getByNetAllIp(const char* name, std::set<std::string>* ips,
                                unsigned long long timeout) {
    std::set<std::string> tmp;
    std::string host(name);
    bool v4 = getByNetAll(host, kFamilyIPv4, timeout, &tmp);
    unsigned int v4_code = v4 ? 0 : Mardel::getLastError();
    if (v4)
        ips->insert(tmp.begin(), tmp.end());
    else
        MARDEL_LOG(3, "getAddrInfoAll IPV4 failed!\n");
    tmp.clear();
    bool v6 = getByNetAll(host, kFamilyIPv6, timeout, &tmp);
    if (v6)
        ips->insert(tmp.begin(), tmp.end());
    else
        MARDEL_LOG(3, "getAddrInfoAll IPV6 failed!\n");
    if (!v4 && !v6) {
        MARDEL_LOG(2, "getAddrInfoAll failed!\n");
        return fail(moreTelling(v4_code, Mardel::getLastError()));
    }
    return true;
}

bool CDNSManager::getByNetAll(const std::string& name, int family, unsigned long long timeout,
                              std::set<std::string>* ips) {
    ips->clear();
    int index = -1;
    if (!addRequestAll(&index, name, family))
        return false;
    int ref = 0;
    bool answered = waitForSlot(
        m_all_requests, index, timeout, false,
        [&](ResolveError* failure) { return getResultAll(index, ips, failure); }, &ref);
    if (answered)
        MARDEL_LOG(6, "gethost from net!\n");
    else
        MARDEL_LOG(3, "getAddrInfo failed, request:%d,timeout,ref:%d times!\n", index, ref);
    return answered;
}

bool CDNSManager::addRequestAll(int* index, const std::string& name, int family) {
    return claimSlot(m_all_requests, index, name, family, &CDNSManager::resolveAllProc,
                     MARDEL_FUNCTION_SIGNATURE);
}

void CDNSManager::resolveAllProc(unsigned long index) {
    DNSRequestAll& slot = m_all_requests[index];
    std::string name;
    int family;
    {
        CGuard<CMutex> lock(m_request_mutex);
        name = slot.name;
        family = slot.family;
    }
    std::set<std::string> ips;
    ResolveError failure = ResolveError::none;
    bool ok = false;
    try {
        ok = convertAll(name, family, &ips, &failure);
    } catch (...) {
        // As in resolveProc: the slot ends as failed.
        ips.clear();
        failure = ResolveError::temporary;
    }
    slot.timer->stop(false);
    {
        CGuard<CMutex> lock(m_request_mutex);
        slot.ips.swap(ips);
        slot.status = ok ? RequestSucceeded : RequestFailed;
        slot.failure = ok ? ResolveError::none : failure;
    }
    wakeWaiters();
}

// A failed slot is finished: `*failure` tells the waiter to leave at once.
bool CDNSManager::getResultAll(int index, std::set<std::string>* ips, ResolveError* failure) {
    CGuard<CMutex> lock(m_request_mutex);
    const DNSRequestAll& slot = m_all_requests[index];
    if (slot.status == RequestSucceeded) {
        *ips = slot.ips;
        return true;
    }
    if (slot.status == RequestFailed && failure)
        *failure = slot.failure;
    return false;
}

bool CDNSManager::convertAll(const std::string& name, int family, std::set<std::string>* ips,
                             ResolveError* failure) {
    ResolveError dummy;
    if (!failure)
        failure = &dummy;
    Sablon::ResolveResult result = Sablon::resolve(name, family);
    if (result.error != ResolveError::none) {
        MARDEL_LOG(3, "getaddrinfo failed, error:%s!\n", result.error_text.c_str());
        *failure = result.error;
        return false;
    }
    bool found = false;
    int count = 0;
    std::set<std::string> added;
    for (const Sablon::ResolvedAddress& entry : result.addresses) {
        if (entry.family != family || entry.length == 0)
            continue;
        std::string text;
        if (!addrTostr(family, entry.bytes, &text)) {
            MARDEL_LOG(2, "addrToStr failed\n");
            *failure = ResolveError::permanent;
            return false;
        }
        found = true;
        if (count < kMaxAddressesPerFamily) {
            ips->insert(text);
            added.insert(text);
            ++count;
        }
    }
    addCacheAll(name, family, added);
    if (!found)
        *failure = ResolveError::notFound;
    return found;
}

}  // namespace Corvio
}  // namespace Halvex
