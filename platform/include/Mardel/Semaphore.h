// A counting semaphore. post() adds one count, also before anyone waits;
// pend() waits without time limit and takes one count.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

class MARDEL_API CSemaphore {
public:
    explicit CSemaphore(int initial = 0) : m_count(initial) {}
    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

    void pend();
    // Waits at most `timeout_ms`; true when a count was taken.
    bool pend(uint32_t timeout_ms);
    void post();

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_count;
};

}  // namespace Mardel
}  // namespace Halvex
