#include "Mardel/Random.h"

#include <cstdio>

namespace Halvex {
namespace Mardel {

int CRandom::read(void* out, int size) {
    FILE* f = fopen("/dev/urandom", "rb");
    if (!f)
        return -1;
    size_t n = size > 0 ? fread(out, 1, static_cast<size_t>(size), f) : 0;
    fclose(f);
    return static_cast<int>(n);
}

}  // namespace Mardel
}  // namespace Halvex
