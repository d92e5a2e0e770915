// Locks. CMutex may not be entered again by its holder; CRecursiveMutex may,
// and must be left as often as it was entered. Neither is copyable.
#pragma once

#include <mutex>

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

class MARDEL_API CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void enter() { m_mutex.lock(); }
    void leave() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

class MARDEL_API CRecursiveMutex {
public:
    CRecursiveMutex() = default;
    CRecursiveMutex(const CRecursiveMutex&) = delete;
    CRecursiveMutex& operator=(const CRecursiveMutex&) = delete;

    void enter() { m_mutex.lock(); }
    void leave() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

// Scope guard for either lock: enters on construction, leaves on destruction.
template <typename Lock>
class CGuard {
public:
    explicit CGuard(Lock& lock) : m_lock(lock) { m_lock.enter(); }
    ~CGuard() { m_lock.leave(); }
    CGuard(const CGuard&) = delete;
    CGuard& operator=(const CGuard&) = delete;

private:
    Lock& m_lock;
};

}  // namespace Mardel
}  // namespace Halvex
