#include "Mardel/Random.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>

#include <bcrypt.h>
#endif

namespace Halvex {
namespace Mardel {

#if defined(_WIN32)

// Windows has no "/dev/urandom": the system's preferred generator stands in
// for it. (bcrypt is bound when the library loads, so no call here loads a
// DLL on a timer thread while the process may be exiting.)
int CRandom::read(void* out, int size) {
    if (size <= 0)
        return 0;
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0
               ? size
               : -1;
}

#else

int CRandom::read(void* out, int size) {
    FILE* f = fopen("/dev/urandom", "rb");
    if (!f)
        return -1;
    size_t n = size > 0 ? fread(out, 1, static_cast<size_t>(size), f) : 0;
    fclose(f);
    return static_cast<int>(n);
}

#endif

}  // namespace Mardel
}  // namespace Halvex
