#include "Mardel/Process.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace Halvex {
namespace Mardel {

void quickExit(int status) {
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
#endif
    std::_Exit(status);
}

}  // namespace Mardel
}  // namespace Halvex
