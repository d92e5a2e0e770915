// A per-thread error code, as errno is for the C library. Operations that
// document a code set it on failure; nothing clears it but setLastError.
#pragma once

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

MARDEL_API void setLastError(unsigned int code);
MARDEL_API unsigned int getLastError();

}  // namespace Mardel
}  // namespace Halvex
