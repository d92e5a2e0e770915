#include <atomic>

#include "ProcessExit.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace Halvex {
namespace Mardel {
namespace detail {
namespace {
std::atomic<bool> g_exiting{false};
}  // namespace

bool processExiting() {
    return g_exiting.load(std::memory_order_acquire);
}

void setProcessExiting() {
    g_exiting.store(true, std::memory_order_release);
}

}  // namespace detail
}  // namespace Mardel
}  // namespace Halvex

#if defined(_WIN32)
// The library's entry on Windows: loading needs no per-thread set-up, so
// thread attach and detach notifications are turned off. A detach with
// `reserved` set is the process's exit: the C runtime runs the library's exit
// work right after this returns, with every other thread already ended.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    else if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        Halvex::Mardel::detail::setProcessExiting();
    return TRUE;
}
#endif
