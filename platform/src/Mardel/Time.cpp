#include "Mardel/Time.h"

#include <chrono>
#include <thread>

namespace Halvex {
namespace Mardel {

uint64_t CTime::getCurrentMilliSecond() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint64_t CTime::getCurrentMicroSecond() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void CThread::sleep(int ms) {
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace Mardel
}  // namespace Halvex
