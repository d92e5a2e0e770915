// Monotonic clocks (not wall time): they never go back and start at an
// arbitrary origin, typically the machine's boot.
#pragma once

#include <cstdint>

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

class MARDEL_API CTime {
public:
    static uint64_t getCurrentMilliSecond();
    static uint64_t getCurrentMicroSecond();
};

class MARDEL_API CThread {
public:
    // Puts the calling thread to sleep for `ms` milliseconds.
    static void sleep(int ms);
};

}  // namespace Mardel
}  // namespace Halvex
