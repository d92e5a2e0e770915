// Whether the process is past the point where its other threads still run.
// On Windows a DLL's exit work (its atexit list and static destructors) runs
// after ExitProcess has ended every other thread: a wait for one of them
// (a timer procedure, a reactor loop) would never end, so such waits are
// skipped then. Elsewhere, and in programs that link the library statically,
// exit work runs while the threads are alive and this stays false.
#pragma once

namespace Halvex {
namespace Mardel {
namespace detail {

bool processExiting();
void setProcessExiting();

}  // namespace detail
}  // namespace Mardel
}  // namespace Halvex
