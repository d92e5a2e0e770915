// The DNS manager component: host names to numeric address text, within a
// time limit, from the network, from a process-wide cache, or both.
//
// Reaching it: call initCorvioDNSManagerComponentLibrary() once (more calls
// do nothing), ask the component framework for the factory named
// "Corvio::DNSManager" with ClassID::local and ServerInfo::none, convert it
// to IDNSManager::IFactory, take create() through
// CComponentHelper::makeComponentInstance, and give the reference back with
// CComponentHelper::release. Every holder gets the same process-wide manager.
//
// Operations may be called from many threads at once. Those the manager does
// not provide return false and set the calling thread's last error
// (Mardel::getLastError) to kDNSManagerNotProvided. After a false result of
// getAddrInfo or getAddrInfoAll the last error tells why (the codes below).
// No exception leaves an operation.
#pragma once

#include <set>
#include <string>

#include "Corvio/Export.h"
#include "Mardel/Component.h"
#include "Mardel/Function.h"
#include "Mardel/Version.h"

namespace Halvex {
namespace Corvio {

// Last error of an operation the manager does not provide.
constexpr unsigned int kDNSManagerNotProvided = 0x10030010;
// Last errors of a failed getAddrInfo / getAddrInfoAll:
// a null or empty name, a family other than 0 and 1, or a mode outside 1 to 4;
constexpr unsigned int kDNSManagerBadArgument = 0x10030011;
// every request slot is busy with other names (or a worker could not start);
constexpr unsigned int kDNSManagerNoFreeSlot = 0x10030012;
// the time limit ran out before the resolver answered;
constexpr unsigned int kDNSManagerTimedOut = 0x10030013;
// the name has no address (of the family), or a cache step found no entry;
constexpr unsigned int kDNSManagerNotFound = 0x10030014;
// the resolver failed for now (a later call may succeed); getAddrInfo gives
// it when its limit ran out while it was trying again after such a failure;
constexpr unsigned int kDNSManagerTemporaryFailure = 0x10030015;
// the resolver failed for good, or its answer could not be rendered;
constexpr unsigned int kDNSManagerPermanentFailure = 0x10030016;
// memory ran out.
constexpr unsigned int kDNSManagerOutOfMemory = 0x10030017;
// When both families of getAddrInfoAll fail, the code is the first in this
// order: out of memory, no free slot, time limit, temporary, permanent, not
// found.

// Where an answer may come from. No other value is valid; the fixed
// underlying type lets any int reach the operations, which refuse it.
enum DNSMode : int {
    DNSModeNetOnly = 1,     // the network only
    DNSModeCacheOnly = 2,   // the cache only
    DNSModeNetFirst = 3,    // the network; without an answer, the cache
    DNSModeCacheFirst = 4,  // the cache; without an entry, the network
};

class CORVIO_API IDNSManager : public Component::IUnknown {
public:
    // Settings for setDnsMode; passed by value, read by no code of the library.
    struct DnsModeControl {
        DNSMode mode;
        unsigned long long timeout;
    };

    class CORVIO_API IFactory : public Component::IFactoryUnknown {
    public:
        ~IFactory() override;
        const char* getClassIdName() override = 0;
        Component::IUnknown* create() override = 0;
    };

    IDNSManager();
    IDNSManager(const IDNSManager&);
    IDNSManager& operator=(const IDNSManager&);
    ~IDNSManager() override;

    // One address of `family` (0 IPv4, 1 IPv6) for `name` into `ip`, waiting
    // at most `timeout` ms (0: no limit). A numeric address of the family is
    // its own answer whatever the mode. `ip` is written only on success.
    // A wait, with or without a limit, ends with false as soon as the resolver
    // says the name does not exist or fails for good; after a temporary
    // failure the name is tried again about every second, within the limit
    // (without one, for as long as the caller waits).
    virtual bool getAddrInfo(const char* name, int family, std::string& ip,
                             unsigned long long timeout, DNSMode mode);
    // Up to three IPv4 and three IPv6 addresses of `name` into `ips`; each
    // family may take up to `timeout` ms (0: no limit). A family whose
    // resolution fails ends its wait at once. `ips` is cleared once the
    // arguments are accepted.
    virtual bool getAddrInfoAll(const char* name, std::set<std::string>& ips,
                                unsigned long long timeout, DNSMode mode);
    virtual bool cacheReflush();
    virtual bool creatCache(std::set<std::string>& names);
    virtual bool setDnsMode(DnsModeControl control);
    virtual bool attach(Mardel::TFunction1<void, const std::string&> proc);
    virtual bool detach(Mardel::TFunction1<void, const std::string&> proc);
    virtual bool setDNSFailProc(unsigned int count, Mardel::TFunction0<bool> proc);
    // Reserved slots.
    virtual bool rev_func23();
    virtual bool rev_func22();
    virtual bool rev_func21();
    virtual bool rev_func20();
    virtual bool rev_func19();
    virtual bool rev_func18();
    virtual bool rev_func17();
    virtual bool rev_func16();
    virtual bool rev_func15();
    virtual bool rev_func14();
    virtual bool rev_func13();
    virtual bool rev_func12();
    virtual bool rev_func11();
    virtual bool rev_func10();
    virtual bool rev_func9();
    virtual bool rev_func8();
    virtual bool rev_func7();
    virtual bool rev_func6();
    virtual bool rev_func5();
    virtual bool rev_func4();
    virtual bool rev_func3();
    virtual bool rev_func2();
    virtual bool rev_func1();
};

}  // namespace Corvio
}  // namespace Halvex

// Registers the "Corvio::DNSManager" factory and takes one reference to the
// manager, both for the rest of the process; later calls do nothing.
extern "C" CORVIO_API void initCorvioDNSManagerComponentLibrary();
