#include "Mardel/Random.h"

#include <cstdio>

#if defined(_WIN32)
#include <openssl/rand.h>
#endif

namespace Halvex {
namespace Mardel {

#if defined(_WIN32)

// Windows has no "/dev/urandom": OpenSSL's generator, seeded by the system's
// own (BCryptGenRandom), stands in for it.
int CRandom::read(void* out, int size) {
    if (size <= 0)
        return 0;
    return RAND_bytes(static_cast<unsigned char*>(out), size) == 1 ? size : -1;
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
