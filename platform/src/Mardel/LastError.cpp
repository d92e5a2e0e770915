#include "Mardel/LastError.h"

namespace Halvex {
namespace Mardel {
namespace {
thread_local unsigned int t_last_error = 0;
}

void setLastError(unsigned int code) {
    t_last_error = code;
}

unsigned int getLastError() {
    return t_last_error;
}

}  // namespace Mardel
}  // namespace Halvex
