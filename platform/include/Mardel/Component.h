// The component framework: reference-counted components made by factories
// that are registered under a name.
//
// Registry: one process-wide table from name to factory, guarded by a lock.
// A name holds at most one factory; registering a taken name fails, and only
// the factory registered under a name can unregister it. The table outlives
// every object with static storage, so factories with static storage may
// unregister while the process exits.
//
// References: a component starts with no reference. makeComponentInstance
// adds one for the holder it hands the component to, and release drops it.
// When the last reference is dropped the component's destroy() runs; what
// destroy() does (delete itself, or a shared instance) is the component's
// own rule.
//
// Local look-ups: for ClassID::local with ServerInfo::none the component
// lives in this process and the client object given back is null; release
// accepts null and does nothing with it.
#pragma once

#include <atomic>

#include "Mardel/Export.h"
#include "Mardel/Version.h"

namespace Halvex {
namespace Component {

enum class ClassID { local = 0 };
enum class ServerInfo { none = 0 };

class MARDEL_API IUnknown {
public:
    IUnknown();
    // A copy starts with no reference of its own.
    IUnknown(const IUnknown&);
    IUnknown& operator=(const IUnknown&);
    virtual ~IUnknown();

    virtual void destroy() = 0;
    virtual Mardel::CVersion getVersion() = 0;
    // Adds one reference; returns the new count.
    virtual int addRef();
    // Drops one reference and returns the new count; at 0 the component's
    // destroy() runs. Without any reference it does nothing and returns 0.
    virtual int release();

private:
    std::atomic<int> m_ref_count;
};

class MARDEL_API IFactoryUnknown {
public:
    IFactoryUnknown();
    IFactoryUnknown(const IFactoryUnknown&) = delete;
    IFactoryUnknown& operator=(const IFactoryUnknown&) = delete;
    virtual ~IFactoryUnknown();

    // The class identity the factory serves, such as "Local".
    virtual const char* getClassIdName() = 0;
    // A component, or null when none can be made. The caller takes a
    // reference with CComponentHelper::makeComponentInstance.
    virtual IUnknown* create() = 0;

    // False when `name` is null or empty or already holds a factory.
    bool registerFactory(const char* name);
    // False when `name` does not hold this factory.
    bool unregisterFactory(const char* name);
};

namespace Detail {

class MARDEL_API CComponentHelper {
public:
    // The factory registered under `name`, or null. `client` receives the
    // client object of the look-up (null for a local component).
    static IFactoryUnknown* getComponentFactory(const char* name, ClassID class_id,
                                                ServerInfo server, IUnknown*& client);
    // Adds a reference to `object` for its new holder and returns it; null
    // stays null.
    static IUnknown* makeComponentInstance(IUnknown* object);
    // Drops the holder's reference; null is ignored.
    static void release(IUnknown* object);
};

}  // namespace Detail
}  // namespace Component
}  // namespace Halvex
