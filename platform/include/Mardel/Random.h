// The system's source of random bytes ("/dev/urandom"; on Windows,
// BCryptGenRandom).
#pragma once

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

class MARDEL_API CRandom {
public:
    // Reads up to `size` random bytes into `out`. Returns the number read, or
    // -1 when the source cannot be opened.
    static int read(void* out, int size);
};

}  // namespace Mardel
}  // namespace Halvex
