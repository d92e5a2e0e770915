// Leaving the process at once.
#pragma once

#include "Mardel/Export.h"

namespace Halvex {
namespace Mardel {

// Ends the process with `status` as _Exit does: no exit handlers, no static
// destructors, no wait for other threads; the caller flushes its streams
// first. On Windows the process is terminated without the DLL detach pass,
// which a thread the system is still starting could hold up for good.
[[noreturn]] MARDEL_API void quickExit(int status);

}  // namespace Mardel
}  // namespace Halvex
