#include "Mardel/Component.h"

#include <map>
#include <mutex>
#include <string>

namespace Halvex {
namespace Component {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, IFactoryUnknown*> factories;
};

// Never destroyed: factories with static storage unregister during exit, in
// an order relative to this table that nobody controls.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

}  // namespace

IUnknown::IUnknown() : m_ref_count(0) {}

IUnknown::IUnknown(const IUnknown&) : m_ref_count(0) {}

IUnknown& IUnknown::operator=(const IUnknown&) {
    return *this;
}

IUnknown::~IUnknown() = default;

int IUnknown::addRef() {
    return m_ref_count.fetch_add(1, std::memory_order_relaxed) + 1;
}

int IUnknown::release() {
    int count = m_ref_count.load(std::memory_order_relaxed);
    do {
        if (count <= 0)
            return 0;
    } while (!m_ref_count.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                                std::memory_order_relaxed));
    if (count == 1)
        destroy();
    return count - 1;
}

IFactoryUnknown::IFactoryUnknown() = default;

IFactoryUnknown::~IFactoryUnknown() = default;

bool IFactoryUnknown::registerFactory(const char* name) {
    if (!name || !*name)
        return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.factories.emplace(name, this).second;
}

bool IFactoryUnknown::unregisterFactory(const char* name) {
    if (!name)
        return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.factories.find(name);
    if (it == r.factories.end() || it->second != this)
        return false;
    r.factories.erase(it);
    return true;
}

namespace Detail {

IFactoryUnknown* CComponentHelper::getComponentFactory(const char* name, ClassID /*class_id*/,
                                                       ServerInfo /*server*/, IUnknown*& client) {
    client = nullptr;
    if (!name)
        return nullptr;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.factories.find(name);
    return it == r.factories.end() ? nullptr : it->second;
}

IUnknown* CComponentHelper::makeComponentInstance(IUnknown* object) {
    if (object)
        object->addRef();
    return object;
}

void CComponentHelper::release(IUnknown* object) {
    if (object)
        object->release();
}

}  // namespace Detail
}  // namespace Component
}  // namespace Halvex
