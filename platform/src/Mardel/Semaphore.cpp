#include "Mardel/Semaphore.h"

#include <chrono>

namespace Halvex {
namespace Mardel {

void CSemaphore::pend() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_count > 0; });
    --m_count;
}

bool CSemaphore::pend(uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [this] { return m_count > 0; }))
        return false;
    --m_count;
    return true;
}

void CSemaphore::post() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
    }
    m_cond.notify_one();
}

}  // namespace Mardel
}  // namespace Halvex
