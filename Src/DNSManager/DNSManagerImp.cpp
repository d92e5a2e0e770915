// The interface's default bodies, the factory, the process-wide instance and
// the manager's construction and destruction.
#include "DNSManager/DNSManagerImp.h"

#include <new>

#include "Mardel/LastError.h"
#include "Mardel/Log.h"

namespace Halvex {
namespace Corvio {

// ---- IDNSManager ---------------------------------------------------------

namespace {
bool notProvided() {
    Mardel::setLastError(kDNSManagerNotProvided);
    return false;
}
}  // namespace

IDNSManager::IFactory::~IFactory() = default;

IDNSManager::IDNSManager() = default;
IDNSManager::IDNSManager(const IDNSManager& other) : Component::IUnknown(other) {}
IDNSManager& IDNSManager::operator=(const IDNSManager& other) {
    Component::IUnknown::operator=(other);
    return *this;
}
IDNSManager::~IDNSManager() = default;

bool IDNSManager::getAddrInfo(const char*, int, std::string&, unsigned long long, DNSMode) {
    return notProvided();
}
bool IDNSManager::getAddrInfoAll(const char*, std::set<std::string>&, unsigned long long, DNSMode) {
    return notProvided();
}
bool IDNSManager::cacheReflush() {
    return notProvided();
}
bool IDNSManager::creatCache(std::set<std::string>&) {
    return notProvided();
}
bool IDNSManager::setDnsMode(DnsModeControl) {
    return notProvided();
}
bool IDNSManager::attach(Mardel::TFunction1<void, const std::string&>) {
    return notProvided();
}
bool IDNSManager::detach(Mardel::TFunction1<void, const std::string&>) {
    return notProvided();
}
bool IDNSManager::setDNSFailProc(unsigned int, Mardel::TFunction0<bool>) {
    return notProvided();
}
bool IDNSManager::rev_func23() {
    return notProvided();
}
bool IDNSManager::rev_func22() {
    return notProvided();
}
bool IDNSManager::rev_func21() {
    return notProvided();
}
bool IDNSManager::rev_func20() {
    return notProvided();
}
bool IDNSManager::rev_func19() {
    return notProvided();
}
bool IDNSManager::rev_func18() {
    return notProvided();
}
bool IDNSManager::rev_func17() {
    return notProvided();
}
bool IDNSManager::rev_func16() {
    return notProvided();
}
bool IDNSManager::rev_func15() {
    return notProvided();
}
bool IDNSManager::rev_func14() {
    return notProvided();
}
bool IDNSManager::rev_func13() {
    return notProvided();
}
bool IDNSManager::rev_func12() {
    return notProvided();
}
bool IDNSManager::rev_func11() {
    return notProvided();
}
bool IDNSManager::rev_func10() {
    return notProvided();
}
bool IDNSManager::rev_func9() {
    return notProvided();
}
bool IDNSManager::rev_func8() {
    return notProvided();
}
bool IDNSManager::rev_func7() {
    return notProvided();
}
bool IDNSManager::rev_func6() {
    return notProvided();
}
bool IDNSManager::rev_func5() {
    return notProvided();
}
bool IDNSManager::rev_func4() {
    return notProvided();
}
bool IDNSManager::rev_func3() {
    return notProvided();
}
bool IDNSManager::rev_func2() {
    return notProvided();
}
bool IDNSManager::rev_func1() {
    return notProvided();
}

// ---- process-wide instance -----------------------------------------------

namespace {
const char kComponentName[] = "Corvio::DNSManager";

// The manager pointer is published with release order and read with acquire
// order, so the lock-free read of getInstance sees a fully built manager.
// The creation lock is constant-initialised and so usable before any
// constructor of static storage has run.
std::atomic<CDNSManager*> g_instance{nullptr};
std::atomic<uint64_t> g_generation{0};
Mardel::CMutex g_creation_mutex;
}  // namespace

CDNSManager* CDNSManager::getInstance() {
    CDNSManager* manager = g_instance.load(std::memory_order_acquire);
    if (manager)
        return manager;
    Mardel::CGuard<Mardel::CMutex> lock(g_creation_mutex);
    manager = g_instance.load(std::memory_order_relaxed);
    if (!manager) {
        manager = new CDNSManager;
        g_generation.fetch_add(1, std::memory_order_relaxed);
        g_instance.store(manager, std::memory_order_release);
    }
    return manager;
}

uint64_t CDNSManager::getInstanceGeneration() {
    Mardel::CGuard<Mardel::CMutex> lock(g_creation_mutex);
    return g_instance.load(std::memory_order_relaxed) ? g_generation.load() : 0;
}

// Deletes the process-wide manager, whatever object it is called on. The
// creation lock keeps it apart from a first creation on another thread. The
// caller makes sure no other thread is inside an operation of the manager;
// runs of its own timers are waited for by the destructor, which therefore
// lasts as long as a resolver call still under way.
void CDNSManager::destroy() {
    Mardel::CGuard<Mardel::CMutex> lock(g_creation_mutex);
    CDNSManager* manager = g_instance.load(std::memory_order_relaxed);
    if (!manager)
        return;
    g_instance.store(nullptr, std::memory_order_release);
    delete manager;
}

Mardel::CVersion CDNSManager::getVersion() {
    return Mardel::CVersion("DNSManager", 1, 0, 0, "$Rev$", __DATE__);
}

// ---- factory ---------------------------------------------------------------

CDNSManager::CFactory::CFactory() {
    registerFactory(kComponentName);
}

CDNSManager::CFactory::~CFactory() {
    unregisterFactory(kComponentName);
}

const char* CDNSManager::CFactory::getClassIdName() {
    return "Local";
}

// Null when the manager cannot be made (out of memory).
Component::IUnknown* CDNSManager::CFactory::create() {
    try {
        return CDNSManager::getInstance();
    } catch (...) {
        MARDEL_LOG(2, "out of memory\n");
        return nullptr;
    }
}

// ---- construction ----------------------------------------------------------

DNSRequest::DNSRequest()
    : ref(0),
      family(0),
      timer(new Mardel::CTimer("DNSManager")),
      status(RequestIdle),
      failure(Sablon::ResolveError::none) {}

DNSRequest::~DNSRequest() {
    delete timer;
}

DNSRequestAll::DNSRequestAll()
    : ref(0),
      family(0),
      timer(new Mardel::CTimer("DNSManager")),
      status(RequestIdle),
      failure(Sablon::ResolveError::none) {}

DNSRequestAll::~DNSRequestAll() {
    delete timer;
}

CDNSManager::CDNSManager()
    : m_all_requests(nullptr), m_requests(nullptr), m_cache_timer("DNSCache"), m_runs_ended(0) {
    m_requests = new DNSRequest[kRequestSlots];
    try {
        m_all_requests = new DNSRequestAll[kRequestSlots];
        m_cache.clear();
        m_all_cache.clear();
        m_cache_timer.start(Mardel::CTimer::Procedure(&CDNSManager::cacheTimerProc, this), 1000,
                            60000, 0, 60000);
    } catch (...) {
        // Out of memory: nothing made here outlives the failed construction.
        delete[] m_all_requests;
        delete[] m_requests;
        throw;
    }
}

// The cache timer ends first and a purge under way is waited for; then every
// slot timer ends, each waiting for a run under way (a run touches the slot
// tables, the caches and the locks, all still alive here).
CDNSManager::~CDNSManager() {
    m_cache_timer.stop(true);
    for (int i = 0; i < kRequestSlots; ++i) {
        m_requests[i].timer->stop(true);
        m_all_requests[i].timer->stop(true);
    }
    delete[] m_requests;
    delete[] m_all_requests;
    m_requests = nullptr;
    m_all_requests = nullptr;
}

// ---- views for tests ---------------------------------------------------------

int CDNSManager::requestRef(bool all, int index) {
    if (index < 0 || index >= kRequestSlots)
        return 0;
    Mardel::CGuard<Mardel::CMutex> lock(m_request_mutex);
    return all ? m_all_requests[index].ref : m_requests[index].ref;
}

int CDNSManager::requestStatus(bool all, int index) {
    if (index < 0 || index >= kRequestSlots)
        return RequestIdle;
    Mardel::CGuard<Mardel::CMutex> lock(m_request_mutex);
    return all ? m_all_requests[index].status : m_requests[index].status;
}

}  // namespace Corvio
}  // namespace Halvex

// ---- component library entry -------------------------------------------------

namespace {

using Halvex::Component::IUnknown;
using Halvex::Component::Detail::CComponentHelper;
using Halvex::Corvio::CDNSManager;
using Halvex::Corvio::IDNSManager;

// One reference to the manager, held for the rest of the process. At exit it
// is given back only when the manager it holds is still the current one: a
// manager destroyed meanwhile is gone, and a new one was never held.
struct ManagerHolder {
    ManagerHolder() {
        Halvex::Component::IFactoryUnknown* found = CComponentHelper::getComponentFactory(
            "Corvio::DNSManager", Halvex::Component::ClassID::local,
            Halvex::Component::ServerInfo::none, client);
        auto* factory = dynamic_cast<IDNSManager::IFactory*>(found);
        if (!factory)
            return;
        IUnknown* made = factory->create();
        // Out of memory: no holder yet, so that the next call tries again.
        if (!made)
            throw std::bad_alloc();
        IUnknown* object = CComponentHelper::makeComponentInstance(made);
        manager = dynamic_cast<IDNSManager*>(object);
        if (manager)
            generation = CDNSManager::getInstanceGeneration();
    }
    ~ManagerHolder() {
        if (manager && CDNSManager::getInstanceGeneration() == generation)
            CComponentHelper::release(manager);
        CComponentHelper::release(client);
    }
    ManagerHolder(const ManagerHolder&) = delete;
    ManagerHolder& operator=(const ManagerHolder&) = delete;

    IDNSManager* manager = nullptr;
    IUnknown* client = nullptr;
    uint64_t generation = 0;
};

}  // namespace

// An object whose set-up runs out of memory is set up by a later call.
extern "C" void initCorvioDNSManagerComponentLibrary() {
    try {
        static CDNSManager::CFactory factory;
        static ManagerHolder holder;
    } catch (...) {
        MARDEL_LOG(2, "out of memory\n");
    }
}
